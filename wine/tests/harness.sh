# The harness of the Wine tests: sourced by each test script.
#
# Each test gets a 32-bit prefix of its own in the build folder, copied
# from a template the fixture test made (wine/tests/prefix.sh), with the
# HAL for Wine in system32 and the override that makes winedevice.exe load
# it. It starts one Wine session (wineserver, services.exe) whose debug
# channel `debugstr` (DbgPrint) goes to a log, and ends every process of
# that session when the test ends, whether it passed or not.
#
# Environment from CTest: TARGET_DIR (tamrixsc.sys, scctl.exe, hal.dll,
# halctl.exe), INF (the install kit's tamrixsc.inf, with the rest of the
# kit beside it), SCSIM (scsim of the 32-bit build, which runs the image),
# WORK (this build's Wine folder).
set -euo pipefail

export WINEARCH=win32
export WINEDEBUG=-all
# No display: nothing of the run opens a window.
unset DISPLAY WAYLAND_DISPLAY

template=$WORK/prefix-template
# The HAL's folder: its board description and output, and halctl.exe.
halctl='C:\tamrixsc-hal\halctl.exe'

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Ends the session: every process of the prefix, then the server.
wine_end() {
  if [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-} ]]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
}

# wine_begin NAME [BOARD-LINE...]: a fresh prefix and session for the test
# NAME, on the board the lines describe (scsim's set-up commands).
wine_begin() {
  local name=$1
  shift
  [[ -d $template ]] || fail "no prefix template at $template: the fixture wine_prefix did not run"
  dir=$WORK/$name
  rm -rf "$dir"
  mkdir -p "$dir"
  export WINEPREFIX=$dir/prefix
  # Files are shared with the template by hard links, except those the
  # session writes: the registry, and the HAL, which follows the build.
  cp -al "$template" "$WINEPREFIX"
  local f
  for f in "$template"/*.reg; do
    cp --remove-destination "$f" "$WINEPREFIX/"
  done
  local c=$WINEPREFIX/drive_c
  cp --remove-destination "$TARGET_DIR/hal.dll" "$c/windows/system32/hal.dll"
  # The kit folder, as install/README.md names it: the install kit's four
  # files side by side, as an administrator copies them onto the board.
  kit_dir=$c/TAMRIXSC
  mkdir -p "$kit_dir" "$c/tamrixsc-hal"
  cp "$INF" "$(dirname "$INF")/tamrixsc-timing.reg" "$TARGET_DIR/tamrixsc.sys" "$TARGET_DIR/scctl.exe" "$kit_dir/"
  cp "$TARGET_DIR/halctl.exe" "$c/tamrixsc-hal/"
  board_lines=("$@")
  printf '%s\n' "${board_lines[@]+"${board_lines[@]}"}" >"$c/tamrixsc-hal/board.txt"
  channels=$c/tamrixsc-hal/channels.log
  : >"$channels"
  debug_log=$dir/debug.log
  trap wine_end EXIT
  # The server stays until wine_end, however long the gaps between commands.
  wineserver -p
  # The session's first process starts services.exe, which passes its
  # standard error and its debug channels on to every winedevice.exe.
  WINEDEBUG=-all,warn+debugstr wine cmd /c exit >/dev/null 2>"$debug_log" </dev/null
}

# Runs a Windows program of the session; its output without CR.
w() {
  wine "$@" </dev/null 2>>"$dir/wine-stderr.log" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# What the install may change: the services' keys, and the files of the
# Windows folder.
snapshot() {
  w reg export 'HKLM\System\CurrentControlSet\Services' "C:\\snapshot.reg" /y >/dev/null ||
    fail "reg export of the services"
  iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/drive_c/snapshot.reg" | tr -d '\r' >"$dir/$1.reg"
  rm "$WINEPREFIX/drive_c/snapshot.reg"
  (cd "$WINEPREFIX/drive_c/windows" && find . -type f | sort) >"$dir/$1.files"
}

# The INF's own command, in the kit folder, as install/README.md gives it:
# %CD% makes the INF's path a full one.
setup_section() {
  (cd "$kit_dir" && w cmd /c "rundll32.exe setupapi.dll,InstallHinfSection $1 132 %CD%\\tamrixsc.inf") ||
    fail "rundll32 setupapi $1"
}

install_kit() {
  snapshot before-install
  setup_section DefaultInstall
}

# DefaultUninstall takes away all that DefaultInstall added: the services'
# keys and the Windows folder are as they were before it.
uninstall_kit() {
  setup_section DefaultUninstall
  snapshot after-uninstall
  local what
  for what in reg files; do
    if ! diff -u "$dir/before-install.$what" "$dir/after-uninstall.$what" >"$dir/uninstall.$what.diff"; then
      cat "$dir/uninstall.$what.diff" >&2
      fail "DefaultUninstall left this behind (- before the install, + after the uninstall)"
    fi
  done
}

params='HKLM\System\CurrentControlSet\Services\TAMRIXSC\Parameters'

# timing_group CARDLAN-MS NORMAL-MS: the eight timing values, which count
# only together, as NAME:VALUE words: the driver's defaults, but for the
# two poll periods.
timing_group() {
  echo DevTimeoutCommMS:60 DevTimeoutPollS:62 DevTimeoutWatchdogMS:600 CmdReplyTimerUS:5000 \
    CmdRetryDelayUS:1000 CmdMaxRetries:3 "TimerPollCardlanMS:$1" "TimerPollNormalMS:$2"
}

# set_dwords NAME:VALUE...: REG_DWORD values in the Parameters key.
set_dwords() {
  local pair
  for pair in "$@"; do
    w reg add "$params" /v "${pair%%:*}" /t REG_DWORD /d "${pair#*:}" /f >/dev/null || fail "reg add $pair"
  done
}

# scctl ARG...: scctl.exe as scsim's `scctl` command prints it: "scctl: "
# before each line of standard output, "scctl-err: " before each of
# standard error, then "scctl-exit: N".
scctl() {
  local out=$dir/scctl.out err=$dir/scctl.err status=0
  wine scctl.exe "$@" </dev/null >"$out" 2>"$err" || status=$?
  tr -d '\r' <"$out" | sed 's/^/scctl: /'
  # Wine's own complaints are not the tool's.
  tr -d '\r' <"$err" | grep -v '^[0-9a-f]*:\(fixme\|err\|warn\):' | sed 's/^/scctl-err: /' || true
  echo "scctl-exit: $status"
}

# The driver's trace as the debugger shows it: Wine prints each DbgPrint
# call as a line of its own, after its prefix ("TID:warn:debugstr:FUNCTION
# ID:LEVEL: "); the driver's "TAMRIXSC: " prefix and the message after it
# are two calls, joined here per thread.
dbg_lines() {
  awk '
    match($0, /^[0-9a-f]+:warn:debugstr:[^ ]* [0-9a-f]+:[0-9a-f]+: /) {
      tid = substr($0, 1, index($0, ":") - 1)
      text = substr($0, RLENGTH + 1)
      if (text == "TAMRIXSC: ") { held[tid] = text; next }
      print "dbg: " held[tid] text
      held[tid] = ""
    }' "$debug_log"
}

# The lines the poll prints on its own: its frames (POLL and the reply),
# and its trace. The poll runs on Wine's thread pool in real time, so where
# a comparison is about requests these are left out, and checked whole
# apart (frames_whole).
without_poll() {
  awk '
    /^wire: host> 03 03 FA$/ { skip = 1; next }
    skip && /^wire: ctl> / { skip = 0; next }
    { skip = 0 }
    /CDeviceExt::hcPoll\(\)|CDeviceExt::runPoll\(\)/ { next }
    { print }'
}

# Every frame on the wires whole: command and reply alternate, each as long
# as its length byte says, summing to 0, the reply answering the command's
# code; no frame cut off and no verifier report.
frames_whole() {
  awk '
    function hex(t,   v, i) {
      v = 0
      for (i = 1; i <= length(t); i++) v = v * 16 + index("0123456789ABCDEF", substr(t, i, 1)) - 1
      return v
    }
    /^verifier:/ { print "a verifier report: " $0; bad = 1 }
    /^wire: / {
      dir = $2; n = NF - 2
      if ($NF == "...") { print "cut-off frame: " $0; bad = 1; next }
      len = hex($3); sum = 0
      for (i = 3; i <= NF; i++) sum += hex($i)
      if (len != n) { print "length byte " len " for " n " bytes: " $0; bad = 1 }
      if (sum % 256 != 0) { print "checksum: " $0; bad = 1 }
      if (dir == "host>") {
        if (open) { print "a command while one was open: " $0; bad = 1 }
        open = 1; code = $4
      } else {
        if (!open) { print "a reply without its command: " $0; bad = 1 }
        else if ($4 != code) { print "reply to " $4 " after command " code ": " $0; bad = 1 }
        open = 0
      }
    }
    END { if (open) { print "a command without its reply"; bad = 1 } exit bad }' "$@"
}

# The channel lines from line FROM (1-based) of the HAL's output on.
channels_from() { tail -n "+$1" "$channels"; }
channel_count() { wc -l <"$channels"; }
debug_count() { dbg_lines | wc -l; }

# scsim_run SCRIPT: the 32-bit scsim with the shipped image; the clock
# interval Wine's kernel reports (KeQueryTimeIncrement: 10,000 units).
scsim_run() {
  { echo "clock increment 10000"; cat; } | "$SCSIM" --image "$TARGET_DIR/tamrixsc.sys"
}

# expect_same WHAT EXPECTED ACTUAL: the two files equal, or the test fails
# with their difference.
expect_same() {
  if ! diff -u "$2" "$3" >"$dir/$1.diff"; then
    cat "$dir/$1.diff" >&2
    fail "$1: Wine and scsim differ (- scsim, + Wine)"
  fi
  echo "same: $1 ($(wc -l <"$2") lines)"
}

# The processes of this session running the Windows program NAME (Wine's
# own drivers run in winedevice.exe processes too).
processes() {
  local pid
  for pid in $(pgrep -f "$1" || true); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$pid"; fi
  done
}
count_processes() { processes "$1" | wc -l; }
# Whether the count of NAME's processes comes to N: a process that is
# ending may take a moment to go, so this waits up to 20 s for it.
comes_to() {
  local i
  for ((i = 0; i < 200; i++)); do
    (($(count_processes "$1") == $2)) && return 0
    sleep 0.1
  done
  return 1
}

# One stream of scsim's output: tool (what scctl prints), dbg, or channels
# (what the HAL's output holds).
stream() {
  case $1 in
    tool) grep -E '^scctl(-err|-exit)?: ' || true ;;
    dbg) grep -E '^dbg: ' || true ;;
    channels) grep -E '^(wire|display|led|event|verifier): ' || true ;;
  esac
}
