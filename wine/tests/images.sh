#!/usr/bin/env bash
# Each damaged image of the image tests (tests/image_test.cpp) fails
# `sc start` under Wine's loader, and leaves no winedevice.exe running.
source "$(dirname "$0")/harness.sh"

image=$TARGET_DIR/tamrixsc.sys
size=$(stat -c %s "$image")
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
put16() { printf "\\x$(printf %02x $(($3 & 255)))\\x$(printf %02x $(($3 >> 8)))" |
  dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# Offsets of the PE header fields the image tests damage.
file_header=$(($(u32 "$image" 60) + 4))
rename() { # FILE OLD NEW: the first OLD in the file becomes NEW (same length)
  local at
  at=$(grep -obUaF "$2" "$1" | head -n1 | cut -d: -f1)
  [[ -n $at ]] || fail "$2 is not in the image"
  printf '%s' "$3" | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}

make_damaged() { # NAME FILE
  local out=$2
  case $1 in
    truncated-half) head -c $((size / 2)) "$image" >"$out" ;;
    truncated-header) head -c $((0x90)) "$image" >"$out" ;;
    two-bytes) head -c 2 "$image" >"$out" ;;
    empty) : >"$out" ;;
    text) head -c 4096 /dev/zero | tr '\0' A >"$out" ;;
    amd64)
      cp "$image" "$out"
      put16 "$out" "$file_header" $((0x8664))
      ;;
    windows-gui)
      cp "$image" "$out"
      put16 "$out" $((file_header + 20 + 68)) 2
      ;;
    relocations-stripped)
      cp "$image" "$out"
      put16 "$out" $((file_header + 18)) $(($(u16 "$image" $((file_header + 18))) | 1))
      ;;
    missing-import)
      cp "$image" "$out"
      rename "$out" KeSetTimerEx KeSetXimerEx
      ;;
    wrong-module)
      cp "$image" "$out"
      rename "$out" HAL.dll XAL.dll
      ;;
  esac
}
damaged=(truncated-half truncated-header two-bytes empty text amd64 windows-gui relocations-stripped
  missing-import wrong-module)

wine_begin images
install_kit
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
failed=0
hosts=$(count_processes winedevice.exe)
for d in "${damaged[@]}"; do
  make_damaged "$d" "$drivers/tamrixsc.sys"
  if w sc start TAMRIXSC >"$dir/$d.txt"; then
    echo "$d: sc start succeeded: $(tr '\n' ' ' <"$dir/$d.txt")" >&2
    w sc stop TAMRIXSC >/dev/null || true
    failed=1
  elif ! comes_to winedevice.exe "$hosts"; then
    echo "$d: a winedevice.exe runs after the failed start" >&2
    failed=1
  else
    echo "refused: $d"
  fi
done
((failed == 0)) || fail "a damaged image was not refused"
echo "images: passed"
