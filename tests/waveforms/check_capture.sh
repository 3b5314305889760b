#!/usr/bin/env bash
# Reads a capture of the GPIO wires back with sigrok-cli, an independent
# reader of the Value Change Dump format, and checks it against the frames
# scsim printed:
#  - every byte moves in four steps: TRDY asserted, then the strobe
#    asserted with the byte on the data lines (driven by the host for a
#    command, by the controller for a reply), then TRDY released while the
#    strobe is held, then the strobe released;
#  - the bytes so moved inside host-request periods, in order, are exactly
#    the bytes of the wire: lines.
# The control lines are active low: level 0 is asserted.
#
#   check_capture.sh SCSIM SCRIPT WORKDIR
set -euo pipefail

scsim=$1
script=$2
work=$3
mkdir -p "$work"

"$scsim" --vcd "$work/capture.vcd" "$script" >"$work/capture.out"
# Watching the wires changes nothing the script prints.
"$scsim" "$script" >"$work/plain.out"
if ! cmp -s "$work/capture.out" "$work/plain.out"; then
  echo "check_capture: the output with --vcd differs from the output without it" >&2
  exit 1
fi

# The bytes of the frames, in order, with the direction of each.
awk '/^wire: (host|ctl)> / {
       dir = ($2 == "host>") ? "host" : "ctl"
       for (i = 3; i <= NF; i++) print dir, $i
     }' "$work/capture.out" >"$work/expected.txt"
if [[ ! -s $work/expected.txt ]]; then
  echo "check_capture: the script put no frame on the wires" >&2
  exit 1
fi

# One row per sample, one column per wire under its name; idle stretches
# compressed so that waiting costs no rows.
sigrok-cli -i "$work/capture.vcd" -I vcd:compress=1000 -O csv:label=channel:header=false >"$work/capture.csv"

awk -F, -v out="$work/actual.txt" '
  function fail(msg) {
    printf "check_capture: sample %d: %s\n", n, msg > "/dev/stderr"
    bad = 1
    exit 1
  }
  /^META/ || /^;/ { next }
  !names {
    for (i = 1; i <= NF; i++) col[$i] = i
    split("host_request strobe trdy d0 d1 d2 d3 d4 d5 d6 d7 data_out", wanted, " ")
    for (k in wanted) if (!(wanted[k] in col)) fail("no wire named " wanted[k])
    names = 1
    next
  }
  {
    n++
    req = $col["host_request"]; stb = $col["strobe"]; trdy = $col["trdy"]; dout = $col["data_out"]
    if (n > 1 && req == 0 && stb == 0 && pstb == 1) {
      # Step 2, the strobe asserted: step 1, TRDY asserted, came before.
      if (ptrdy != 0) fail("strobe asserted while TRDY was not")
      byte = 0
      for (b = 7; b >= 0; b--) byte = byte * 2 + $col["d" b]
      printf "%s %02X\n", (dout == 1 ? "host" : "ctl"), byte > out
      inbyte = 1
      released = (trdy == 1)
    } else if (inbyte && stb == 0 && trdy == 1) {
      released = 1  # step 3, TRDY released while the strobe is held
    } else if (inbyte && stb == 1) {
      # Step 4, the strobe released: only once TRDY was.
      if (!released) fail("strobe released before TRDY was")
      inbyte = 0
      bytes++
    }
    pstb = stb
    ptrdy = trdy
  }
  END {
    if (bad) exit 1
    if (inbyte) {
      print "check_capture: the capture ends inside a byte" > "/dev/stderr"
      exit 1
    }
    printf "check_capture: %d bytes, each in four steps\n", bytes
  }
' "$work/capture.csv"

if ! diff -u "$work/expected.txt" "$work/actual.txt"; then
  echo "check_capture: the bytes on the data lines differ from the wire: lines" >&2
  exit 1
fi
echo "check_capture: every frame byte of the wire: lines is on the data lines"
