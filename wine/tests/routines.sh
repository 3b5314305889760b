#!/usr/bin/env bash
# The list of routines that are ours and not Wine's, as halctl.exe prints
# it from the HAL's own table. The HAL rows are exactly what hal.dll
# exports and cover every HAL.dll import of the image and the two Wine's
# ntoskrnl.exe takes from it; every kernel row names a real ntoskrnl.exe
# export (mingw-w64's import library lists them).
source "$(dirname "$0")/harness.sh"
wine_begin routines
w "$kit\\halctl.exe" routines >"$dir/routines.txt" || fail "halctl routines"
cat "$dir/routines.txt"
listed() { sed -n "s/^$1!\\([A-Za-z_]*\\)\$/\\1/p" "$dir/routines.txt" | sort; }
listed HAL.dll >"$dir/hal-rows"
listed ntoskrnl.exe >"$dir/kernel-rows"
"$OBJDUMP" -p "$TARGET_DIR/hal.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' |
  sort >"$dir/hal-exports"
expect_same hal-exports "$dir/hal-rows" "$dir/hal-exports"
{
  sed -n 's/^HAL\.dll!//p' "$DRIVER_IMPORTS"
  printf '%s\n' KeAcquireSpinLock KeReleaseSpinLock
} | sort >"$dir/hal-needed"
missing=$(comm -23 "$dir/hal-needed" "$dir/hal-rows")
[[ -z $missing ]] || fail "the HAL does not export: $missing"
"$NM" "$IMPORT_LIB_NTOSKRNL" | sed -n 's/^.* I __imp_[_@]\([A-Za-z_]*\).*$/\1/p' | sort -u >"$dir/kernel-exports"
unknown=$(comm -23 "$dir/kernel-rows" "$dir/kernel-exports")
[[ -z $unknown ]] || fail "not routines of ntoskrnl.exe: $unknown"
echo "routines: passed ($(wc -l <"$dir/hal-rows") of the HAL, $(wc -l <"$dir/kernel-rows") of the kernel)"
