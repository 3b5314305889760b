#!/usr/bin/env bash
# scsim --image: only the 32-bit build runs an image; any other build must
# refuse the option with exit status 2 and say why, and every build must
# refuse a file it cannot read the same way.
set -uo pipefail
scsim=$1
image=$2
runs_images=$3  # 1 for the 32-bit build

err=$("$scsim" --image "$image" /dev/null 2>&1 >/dev/null)
status=$?
if [[ $runs_images == 1 ]]; then
  [[ $status == 0 ]] || { echo "the 32-bit build refused the image ($status): $err"; exit 1; }
else
  [[ $status == 2 ]] || { echo "--image gave exit status $status, expected 2"; exit 1; }
  grep -q "needs the 32-bit build" <<<"$err" || { echo "no reason given: $err"; exit 1; }
fi

err=$("$scsim" --image /nonexistent/driver.sys /dev/null 2>&1 >/dev/null)
status=$?
[[ $status == 2 ]] || { echo "a missing image gave exit status $status, expected 2"; exit 1; }
[[ -n $err ]] || { echo "a missing image was refused without a message"; exit 1; }
echo "scsim --image: ok"
