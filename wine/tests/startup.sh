#!/usr/bin/env bash
# Start-up on the default board: the trace and the channels (wires,
# display, LED, events) under Wine equal scsim's for the same board, line
# for line. Polls that fall due before the comparison are left out of it
# and checked whole.
source "$(dirname "$0")/harness.sh"
wine_begin startup
install_kit
w sc start TAMRIXSC >"$dir/start.txt" || { cat "$dir/start.txt"; fail "sc start"; }
grep -q 'RUNNING' "$dir/start.txt" || fail "the service is not running: $(cat "$dir/start.txt")"
echo load | scsim_run >"$dir/scsim.out"
stream dbg <"$dir/scsim.out" >"$dir/dbg.scsim"
dbg_lines | without_poll >"$dir/dbg.wine"
expect_same trace "$dir/dbg.scsim" "$dir/dbg.wine"
stream channels <"$dir/scsim.out" >"$dir/channels.scsim"
without_poll <"$channels" >"$dir/channels.wine"
expect_same channels "$dir/channels.scsim" "$dir/channels.wine"
frames_whole "$channels" || fail "a frame on the wires is not whole"
echo "startup: passed"
