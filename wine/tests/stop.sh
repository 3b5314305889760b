#!/usr/bin/env bash
# Stop and shutdown: `sc stop` puts "UNLD" on the wires and logs
# MSG_DRIVER_STOPPED; the shutdown request, delivered by halctl.exe, puts
# "DOWN" and the LED on the wires; each equal to scsim's. DefaultUninstall
# then removes the service and its image, and no winedevice.exe is left.
source "$(dirname "$0")/harness.sh"
wine_begin stop
install_kit
after_load() { sed -n '/^load: /,$p' | tail -n +2 | stream channels; }

hosts=$(count_processes winedevice.exe)
w sc start TAMRIXSC >/dev/null || fail "sc start"
comes_to winedevice.exe $((hosts + 1)) || fail "no winedevice.exe of its own for the driver"
from=$(($(channel_count) + 1))
w sc stop TAMRIXSC >/dev/null || fail "sc stop"
channels_from "$from" | without_poll >"$dir/unload.wine"
printf 'load\nunload\n' | scsim_run | after_load >"$dir/unload.scsim"
expect_same unload "$dir/unload.scsim" "$dir/unload.wine"
grep -q '^wire: host> 08 02 55 4E 4C 44 ' "$dir/unload.wine" || fail "no UNLD on the wires"
grep -q '^event: MSG_DRIVER_STOPPED ' "$dir/unload.wine" || fail "no MSG_DRIVER_STOPPED"

w sc start TAMRIXSC >/dev/null || fail "sc start, again"
from=$(($(channel_count) + 1))
w "$halctl" shutdown || fail "the shutdown was not delivered"
channels_from "$from" | without_poll >"$dir/shutdown.wine"
printf 'load\nshutdown\n' | scsim_run | after_load >"$dir/shutdown.scsim"
expect_same shutdown "$dir/shutdown.scsim" "$dir/shutdown.wine"
grep -q '^wire: host> 08 02 44 4F 57 4E ' "$dir/shutdown.wine" || fail "no DOWN on the wires"
grep -q '^led: on$' "$dir/shutdown.wine" || fail "the LED is not on"

# A stop after the shutdown talks to the controller no more.
from=$(($(channel_count) + 1))
w sc stop TAMRIXSC >/dev/null || fail "sc stop after the shutdown"
channels_from "$from" >"$dir/late-stop.wine"
if grep -q '^wire:' "$dir/late-stop.wine"; then fail "a stop after the shutdown talked to the controller"; fi
frames_whole "$channels" || fail "a frame on the wires is not whole"

uninstall_kit
if w reg query 'HKLM\System\CurrentControlSet\Services\TAMRIXSC' >/dev/null 2>&1; then
  fail "the service key is still there after DefaultUninstall"
fi
[[ ! -e $WINEPREFIX/drive_c/windows/system32/drivers/tamrixsc.sys ]] || fail "the image is still there"
comes_to winedevice.exe "$hosts" || fail "the driver's winedevice.exe is still running"
echo "stop: passed"
