#!/usr/bin/env bash
# The install kit as an administrator uses it (install/README.md): the
# INF, the image and scctl.exe side by side in the kit folder, and the
# INF's own command run there. After DefaultInstall the service key holds
# a kernel driver, started automatically, normal error control, the image
# in system32\drivers, and an empty Parameters key; the image and the tool
# are the built ones and are the only files added. DefaultUninstall then
# leaves the services' keys and the Windows folder as they were.
source "$(dirname "$0")/harness.sh"
wine_begin install
install_kit
key='HKLM\System\CurrentControlSet\Services\TAMRIXSC'
w reg query "$key" >"$dir/service.txt" || fail "no service key after DefaultInstall"
cat "$dir/service.txt"
expect_value() {
  grep -qE "^ +$1 +$2 +$3\$" "$dir/service.txt" || fail "$1 is not $2 $3"
}
expect_value Type REG_DWORD 0x1
expect_value Start REG_DWORD 0x2
expect_value ErrorControl REG_DWORD 0x1
expect_value ImagePath REG_SZ '.*\\system32\\drivers\\tamrixsc\.sys'
w reg query "$params" >"$dir/parameters.txt" || fail "no Parameters key"
cat "$dir/parameters.txt"
if grep -q 'REG_' "$dir/parameters.txt"; then fail "the Parameters key is not empty"; fi

system32=$WINEPREFIX/drive_c/windows/system32
snapshot after-install
comm -13 "$dir/before-install.files" "$dir/after-install.files" >"$dir/added"
printf '%s\n' ./system32/drivers/tamrixsc.sys ./system32/scctl.exe >"$dir/added.expected"
diff -u "$dir/added.expected" "$dir/added" >&2 || fail "DefaultInstall added other files (- expected, + added)"
cmp "$system32/drivers/tamrixsc.sys" "$TARGET_DIR/tamrixsc.sys" || fail "the copied image is not the built one"
cmp "$system32/scctl.exe" "$TARGET_DIR/scctl.exe" || fail "the copied scctl.exe is not the built one"

uninstall_kit
echo "install: passed"
