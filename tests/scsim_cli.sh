#!/usr/bin/env bash
# The scsim command line: --help, and output that reaches a reader line by
# line while the script is still running.
set -euo pipefail
scsim=$1

help=$("$scsim" --help)
grep -q '^usage: scsim ' <<<"$help" || { echo "--help prints no usage"; exit 1; }
for command in registry pci superio resources clock kernel controller load ioctl advance; do
  grep -qE "^  $command( |$)" <<<"$help" || { echo "--help does not list '$command'"; exit 1; }
done
if "$scsim" --no-such-option >/dev/null 2>&1; then
  echo "an unknown option was taken as a file"; exit 1
fi

# A reader sees each line as soon as it is made, not when scsim ends: the
# first answer must come while scsim still waits for its next command.
coproc SIM { "$scsim" -; }
echo time >&"${SIM[1]}"
if ! IFS= read -r -t 10 line <&"${SIM[0]}"; then
  echo "no line arrived while scsim was running"; kill "$SIM_PID"; exit 1
fi
eval "exec ${SIM[1]}>&-"
wait "$SIM_PID" || true
[[ $line == "time: 0 us" ]] || { echo "unexpected first line: $line"; exit 1; }
echo "scsim command line: ok"
