#!/usr/bin/env bash
# Every scctl.exe subcommand against the running driver: what it prints and
# its exit status, the trace and the channels equal what scsim's `scctl`
# command gives for the same commands on the same board. Usage errors exit
# 2 and send nothing; with the service stopped the tool says the driver is
# not started and exits as for an absent device.
#
# The poll runs in real time beside the requests: its frames and trace are
# left out of the comparison and checked whole. A poll that holds the link
# when a request starts has the request served later by the worker: the
# same frames, but the flow trace at level 5 in another order. So the poll
# period is set to an hour (the eight timing values together, the other
# seven at their defaults, in scsim too), the requests begin once the
# start-up's first poll, due 0.5 s after its connect, has run, and the
# requests at level 5 come before any connect request arms the poll again.
source "$(dirname "$0")/harness.sh"
read -ra timing <<<"$(timing_group 3600000 3600000)"
commands=(
  "version"
  "led on"
  "led off"
  "command4"
  "display status"
  "trace 5"
  "led on"
  "trace 2"
  "cardlan disconnect"
  "display status"
  "display set-status 5"
  "display clear-status"
  "display refresh-rate 3"
  "display reset"
  "display group-add"
  "display message-add 1 ABCD"
  "display message-exchange 1 \" OK \""
  "display message-delete 1"
  "display group-delete 1"
  "cardlan connect --registry"
  "cardlan connect --card-id 12 --signalling-type 1 --tn-mapping-type 2"
  "cardlan connect --current"
  "cardlan connect --defaults"
  "--help"
  "display --help"
  "bogus"
  "led"
  "led dim"
  "display message-add 1 TOOLONG"
  "trace 9"
)
wine_begin scctl
install_kit
set_dwords "${timing[@]}"
w sc start TAMRIXSC >/dev/null || fail "sc start"
for ((i = 0; i < 200; i++)); do
  grep -q '^wire: host> 03 03 FA$' "$channels" && break
  sleep 0.1
done
grep -q '^wire: host> 03 03 FA$' "$channels" || fail "no poll after the start-up"
dbg_from=$(debug_count)
channels_from=$(($(channel_count) + 1))
{
  for c in "${commands[@]}"; do
    eval "scctl $c"
  done
} >"$dir/tool.wine"
dbg_to=$(debug_count)
channels_to=$(channel_count)
w sc stop TAMRIXSC >/dev/null || fail "sc stop"
scctl version >"$dir/stopped.wine"

{
  for pair in "${timing[@]}"; do echo "registry set ${pair%%:*} ${pair#*:}"; done
  echo load
  for c in "${commands[@]}"; do echo "scctl $c"; done
} | scsim_run >"$dir/scsim.out"
sed -n '/^load: /,$p' "$dir/scsim.out" | tail -n +2 >"$dir/requests.scsim"
stream tool <"$dir/requests.scsim" >"$dir/tool.scsim"
expect_same tool "$dir/tool.scsim" "$dir/tool.wine"
stream dbg <"$dir/requests.scsim" >"$dir/dbg.scsim"
dbg_lines | head -n "$dbg_to" | tail -n "+$((dbg_from + 1))" | without_poll >"$dir/dbg.wine"
expect_same trace "$dir/dbg.scsim" "$dir/dbg.wine"
stream channels <"$dir/requests.scsim" >"$dir/channels.scsim"
head -n "$channels_to" "$channels" | tail -n "+$channels_from" | without_poll >"$dir/channels.wine"
expect_same channels "$dir/channels.scsim" "$dir/channels.wine"
frames_whole "$channels" || fail "a frame on the wires is not whole"

# The tool names what the system answered: a status inside scsim, the
# Windows error code on Windows.
printf 'load\nunload\nscctl version\n' | scsim_run | sed -n '/^unload: /,$p' | stream tool |
  sed "s/ (status 0x[0-9A-F]*)/ (DETAIL)/" >"$dir/stopped.scsim"
sed -i "s/ (Windows error [0-9]*)/ (DETAIL)/" "$dir/stopped.wine"
expect_same stopped "$dir/stopped.scsim" "$dir/stopped.wine"
grep -q '^scctl-exit: 2$' "$dir/tool.wine" || fail "no usage error"
echo "scctl: passed"
