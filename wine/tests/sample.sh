#!/usr/bin/env bash
# The sample application, scsample.exe, as an application developer runs it
# against the installed driver: it opens the device, reads the firmware
# version, lights the LED, adds a group and a message and reads the
# display's result code, and puts the LED out with overlapped I/O. Its
# requests reach the wires as whole frames and the LED follows them. With
# the service stopped it exits 3 and names the causes of a missing device.
source "$(dirname "$0")/harness.sh"
wine_begin sample
install_kit
cp "$TARGET_DIR/scsample.exe" "$kit_dir/"

# sample ARG...: scsample.exe from the kit folder; its standard output and
# standard error (without Wine's own complaints) in sample.out and
# sample.err, its exit status in $status.
sample() {
  status=0
  (cd "$kit_dir" && wine scsample.exe "$@") </dev/null >"$dir/sample.out" 2>"$dir/sample.err" || status=$?
  tr -d '\r' <"$dir/sample.out" >"$dir/sample.out.txt"
  tr -d '\r' <"$dir/sample.err" | grep -v '^[0-9a-f]*:\(fixme\|err\|warn\):' >"$dir/sample.err.txt" || true
}
has() { grep -qE "$2" "$dir/$1" || fail "scsample's ${1%%.*} lacks /$2/: $(cat "$dir/$1")"; }

w sc start TAMRIXSC >/dev/null || fail "sc start"
# The display takes requests only while the Cardlan is active or
# disconnected; the board model's cards never become active, so the
# Cardlan the start-up connected is let go first, as scctl.exe does it.
scctl cardlan disconnect | grep -qx 'scctl-exit: 0' || fail "scctl cardlan disconnect"
from=$(($(channel_count) + 1))
sample WAVE
((status == 0)) || fail "scsample exited $status: $(cat "$dir/sample.err.txt")"
has sample.out.txt '^firmware version: .+$'
has sample.out.txt '^status LED: on$'
has sample.out.txt '^display: new group [0-9]+$'
has sample.out.txt '^display: new message [0-9]+ "WAVE" in group [0-9]+, result code 0x0000 '
has sample.out.txt '^status LED: off$'
channels_from "$from" >"$dir/sample.channels"
# The LED on, then off; the message's text went to the controller.
[[ $(grep -E '^led: ' "$dir/sample.channels" | tr '\n' ' ') == "led: on led: off " ]] ||
  fail "the LED did not go on and then off: $(grep -E '^led: ' "$dir/sample.channels" | tr '\n' ' ')"
grep -q '^wire: host> .* 57 41 56 45 ' "$dir/sample.channels" || fail "the text WAVE never reached the wires"
frames_whole "$dir/sample.channels" || fail "a frame on the wires is not whole"

# Bad arguments: nothing is opened or sent.
from=$(($(channel_count) + 1))
sample TOOLONG
((status == 2)) || fail "scsample TOOLONG exited $status, not 2"
has sample.err.txt '^usage: scsample'
channels_from "$from" | without_poll | grep -q '^wire:' && fail "a usage error sent something"

w sc stop TAMRIXSC >/dev/null || fail "sc stop"
sample
((status == 3)) || fail "scsample with the driver stopped exited $status, not 3"
has sample.err.txt 'no such device; the TAMRIXSC driver is not installed, not started, or found no board'
echo "sample: passed"
