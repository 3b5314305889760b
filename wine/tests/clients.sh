#!/usr/bin/env bash
# Four scctl.exe clients at once, each sending a stream of requests: all
# complete, and every frame on the wires is whole, the poll's among them
# (the start-I/O queue and the link lock keep the conversations apart).
# The poll runs as often as the driver lets it (a period of 1 ms is raised
# to the longest poll), so that requests often find the link held by it
# and are served by the worker once the poll lets it go.
source "$(dirname "$0")/harness.sh"
wine_begin clients
install_kit
read -ra timing <<<"$(timing_group 1 1)"
set_dwords "${timing[@]}"
w sc start TAMRIXSC >/dev/null || fail "sc start"
w scctl.exe cardlan disconnect >/dev/null || fail "cardlan disconnect"
client() {
  local n=$1 i
  shift
  for i in 1 2 3 4 5; do
    wine scctl.exe "$@" </dev/null >>"$dir/client$n.out" 2>&1 || echo "client $n: exit $?" >>"$dir/failures"
  done
}
: >"$dir/failures"
client 1 led on &
client 2 version &
client 3 display status &
client 4 command4 &
wait
if [[ -s $dir/failures ]]; then
  cat "$dir/failures" "$dir"/client*.out >&2
  fail "a client did not complete"
fi
for n in 1 2 3 4; do
  [[ $(grep -c . "$dir/client$n.out") == 5 ]] || fail "client $n printed $(cat "$dir/client$n.out")"
done
frames_whole "$channels" || fail "a frame on the wires is not whole"
requests=$(grep -cE '^wire: host> (03 05|03 04|03 0E)' "$channels")
[[ $requests == 15 ]] || fail "$requests of the 15 requests that reach the controller are on the wires"
echo "clients: passed ($(grep -c '^wire: host>' "$channels") frames whole," \
  "$(grep -c '^wire: host> 03 03 FA$' "$channels") of them polls)"
