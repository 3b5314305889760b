#!/usr/bin/env bash
# The driver's registry reads judged by Wine's own RtlQueryRegistryValues:
# for each case the Parameters values are written with `reg add`, the
# driver is started and stopped, and its start-up trace is compared with
# scsim's for the same values (the same bytes, written with scsim's
# registry commands).
#
# Where the two kernels disagree, the documentation decides (docs/wine.md,
# "Where Wine and the simulated kernel disagree"); a disagreement found and
# not yet mended in the simulated kernel is listed in `known` below, with
# Wine's side being the documented one. A listed case that no longer
# differs fails the test too, so that the list follows the mend.
source "$(dirname "$0")/harness.sh"

utf16() { # the UTF-16LE bytes of each argument and its terminator, as scsim's byte words
  local s c
  for s in "$@"; do
    for ((i = 0; i < ${#s}; i++)); do
      printf -v c '%d' "'${s:i:1}"
      printf '%d 0 ' "$c"
    done
    printf '0 0 '
  done
}

read -ra group <<<"$(timing_group 1000 30000)"
dword_case() { # NAME:VALUE... as reg add and as scsim lines
  local pair
  for pair in "$@"; do
    echo "reg|${pair%%:*}|REG_DWORD|${pair#*:}"
  done
}

# Each case: lines "reg|NAME|TYPE|DATA" for reg add, "sim|LINE" for scsim.
case_text() {
  case $1 in
    group-one-missing)
      dword_case DebugLevel:4 "${group[@]:0:7}"
      ;;
    minus-one-stored)
      dword_case DebugLevel:4 "${group[@]:1}"
      echo "reg|DevTimeoutCommMS|REG_DWORD|0xffffffff"
      ;;
    string-for-dword)
      echo "reg|DebugLevel|REG_SZ|4"
      ;;
    empty-multi-string)
      echo "reg|DebugLevel|REG_MULTI_SZ|"
      echo "sim|registry set-typed DebugLevel 7 0 0"
      ;;
    two-string-multi-string)
      echo "reg|DebugLevel|REG_MULTI_SZ|4\\05"
      echo "sim|registry set-typed DebugLevel 7 $(utf16 4 5)0 0"
      ;;
    expandable-string)
      echo "reg|DebugLevel|REG_EXPAND_SZ|%SystemRoot%"
      echo "sim|registry set-typed DebugLevel 2 $(utf16 %SystemRoot%)"
      ;;
  esac
}
cases=(group-one-missing minus-one-stored string-for-dword empty-multi-string two-string-multi-string
  expandable-string)
# Disagreements found, with the rule that decides them (docs/wine.md).
declare -A known=(
)

wine_begin registry
install_kit
failed=0
for c in "${cases[@]}"; do
  w reg delete "$params" /va /f >/dev/null
  sim=()
  while IFS='|' read -r kind name type data; do
    if [[ $kind == reg ]]; then
      w reg add "$params" /v "$name" /t "$type" /d "$data" /f >/dev/null || fail "$c: reg add $name"
      case $type in
        REG_DWORD) sim+=("registry set $name $((data))") ;;
        REG_SZ) sim+=("registry set-string $name $data") ;;
      esac
    else
      sim+=("$name")
    fi
  done < <(case_text "$c")
  from=$(debug_count)
  w sc start TAMRIXSC >/dev/null || fail "$c: sc start"
  w sc stop TAMRIXSC >/dev/null || fail "$c: sc stop"
  dbg_lines | tail -n "+$((from + 1))" | without_poll | sed '/DriverUnload() Enter/,$d' >"$dir/$c.wine"
  { printf '%s\n' "${sim[@]}"; echo load; } | scsim_run | stream dbg >"$dir/$c.scsim"
  if diff -u "$dir/$c.scsim" "$dir/$c.wine" >"$dir/$c.diff"; then
    if [[ -n ${known[$c]:-} ]]; then
      echo "$c: listed as a disagreement, but Wine and scsim now agree: take it off the list" >&2
      failed=1
    else
      echo "same: $c ($(wc -l <"$dir/$c.scsim") lines)"
    fi
  elif [[ -n ${known[$c]:-} ]]; then
    echo "known disagreement: $c: ${known[$c]}"
    sed 's/^/    /' "$dir/$c.diff"
  else
    echo "$c: Wine and scsim differ (- scsim, + Wine):" >&2
    cat "$dir/$c.diff" >&2
    failed=1
  fi
done
((failed == 0)) || fail "the registry reads differ"
echo "registry: passed"
