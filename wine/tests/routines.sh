#!/usr/bin/env bash
# The list of routines that are ours and not Wine's, as halctl.exe prints
# it from the HAL's own table. The HAL rows are exactly what hal.dll
# exports and cover every HAL.dll import of the image and the two Wine's
# ntoskrnl.exe takes from it; every kernel row names a real ntoskrnl.exe
# export (mingw-w64's import library lists them); and every ntoskrnl.exe
# import of the image that Wine's ntoskrnl.exe does not export, or exports
# as a stub that aborts the process, is a kernel row (the loader would bind
# it to a thunk that aborts winedevice.exe when the driver calls it).
source "$(dirname "$0")/harness.sh"
wine_begin routines
w "$halctl" routines >"$dir/routines.txt" || fail "halctl routines"
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
wine_kernel=$WINEPREFIX/drive_c/windows/system32/ntoskrnl.exe
"$OBJDUMP" -p "$wine_kernel" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' |
  sort >"$dir/wine-exports"
# Wine names the stub of a routine it does not implement __wine_stub_NAME.
strings -a "$wine_kernel" | sed -n 's/^__wine_stub_//p' | sort -u >"$dir/wine-stubs"
comm -23 "$dir/wine-exports" "$dir/wine-stubs" >"$dir/wine-implemented"
sed -n 's/^ntoskrnl\.exe!//p' "$DRIVER_IMPORTS" | sort >"$dir/kernel-needed"
comm -23 "$dir/kernel-needed" "$dir/wine-implemented" >"$dir/wine-lacks"
echo "Wine's ntoskrnl.exe lacks, or has a stub for: $(tr '\n' ' ' <"$dir/wine-lacks")"
uncovered=$(comm -23 "$dir/wine-lacks" "$dir/kernel-rows")
[[ -z $uncovered ]] || fail "imported, missing or a stub in Wine, and not supplied: $uncovered"
echo "routines: passed ($(wc -l <"$dir/hal-rows") of the HAL, $(wc -l <"$dir/kernel-rows") of the kernel)"
