#!/usr/bin/env bash
# Builds the host preset quietly and runs the demonstration: the System
# Controller simulator on examples/demo.scs, or the link demo where the
# simulator is not built. Extra arguments go to the program.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  bash scripts/test.sh --deps-only
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset host && cmake --build --preset host; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo.sh: the host build failed" >&2
  exit 1
fi

find_program() {
  if [[ -x build/host/$1 ]]; then
    echo "build/host/$1"
  else
    find build/host -type f -name "$1" -perm -u+x -print -quit
  fi
}

scsim=$(find_program scsim)
if [[ -n $scsim ]]; then
  exec "$scsim" examples/demo.scs "$@"
fi
linkdemo=$(find_program linkdemo)
if [[ -n $linkdemo ]]; then
  exec "$linkdemo" "$@"
fi
echo "demo.sh: the host build has neither scsim nor linkdemo" >&2
exit 1
