#!/usr/bin/env bash
# Draws the manual's transaction picture from a real capture:
#   docs/transaction.sh SCSIM VCDSVG OUT.svg
# scsim runs transaction.scs with --vcd; vcdsvg draws the window between
# the script's two `time` lines. The test docs_picture checks that the
# committed transaction.svg is what this makes.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scsim=$1
vcdsvg=$2
out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$scsim" --vcd "$work/capture.vcd" "$here/transaction.scs" >"$work/capture.out"
mapfile -t window < <(sed -n 's/^time: \([0-9]*\) us$/\1/p' "$work/capture.out")
if ((${#window[@]} != 2)); then
  echo "transaction.sh: expected two time lines from transaction.scs" >&2
  exit 1
fi
"$vcdsvg" "$work/capture.vcd" "${window[0]}" "${window[1]}" >"$out"
