#!/usr/bin/env bash
# A stop while the driver's work item is queued: the work item queued as a
# request completes holds the device, so the unload routine runs only once
# the item has run (Wine's own unload does not wait; the HAL's does). The
# HAL holds every work item until the unload is asked for, so the item is
# certainly queued when it is: the unload waits for it, and then "UNLD",
# MSG_DRIVER_STOPPED and the request before them equal scsim's, with no
# verifier report (an item run after the unload routine is one) and no
# winedevice.exe left.
source "$(dirname "$0")/harness.sh"
wine_begin unload "hal hold-work-items"
install_kit
hosts=$(count_processes winedevice.exe)
w sc start TAMRIXSC >/dev/null || fail "sc start"
from=$(($(channel_count) + 1))
scctl led on >"$dir/tool.wine"
grep -qx 'scctl-exit: 0' "$dir/tool.wine" || fail "led on: $(cat "$dir/tool.wine")"
# The worker is queued just after the request completes.
for ((i = 0; i < 200; i++)); do
  grep -q '^hal: work item held' "$channels" && break
  sleep 0.1
done
grep -q '^hal: work item held' "$channels" || fail "no work item was queued after the request"
w sc stop TAMRIXSC >/dev/null || fail "sc stop"
comes_to winedevice.exe "$hosts" || fail "the driver's winedevice.exe is still running"
channels_from "$from" >"$dir/stop.wine"
cat "$dir/stop.wine"
grep -n '^hal: the unload waits for 1 queued work item' "$dir/stop.wine" >/dev/null ||
  fail "the unload did not wait for the queued work item"
waited=$(grep -n '^hal: the unload waits' "$dir/stop.wine" | cut -d: -f1)
unld=$(grep -n '^wire: host> 08 02 55 4E 4C 44 ' "$dir/stop.wine" | cut -d: -f1)
[[ -n $unld && $unld -gt $waited ]] || fail "UNLD is not on the wires after the wait"
printf 'load\nscctl led on\nunload\n' | scsim_run | sed -n '/^load: /,$p' | tail -n +2 | stream channels \
  >"$dir/stop.scsim"
grep -v '^hal: ' "$dir/stop.wine" | without_poll >"$dir/stop.compared"
expect_same stop "$dir/stop.scsim" "$dir/stop.compared"
frames_whole "$channels" || fail "a frame on the wires is not whole, or a verifier report"
echo "unload: passed"
