#!/usr/bin/env bash
# Runs the demonstration: the driver on the simulated board, through scsim
# and examples/demo.scs. Installs what is missing and builds the host build
# first, quietly. Extra arguments go to scsim after the script.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/test.sh --deps-only

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset host && cmake --build --preset host --target scsim; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo.sh: the host build failed" >&2
  exit 1
fi
exec build/host/scsim examples/demo.scs "$@"
