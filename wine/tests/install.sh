#!/usr/bin/env bash
# The install kit as an administrator uses it: after DefaultInstall the
# service key holds a kernel driver, started automatically, normal error
# control, the image in system32\drivers, and an empty Parameters key.
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
[[ -f $WINEPREFIX/drive_c/windows/system32/drivers/tamrixsc.sys ]] || fail "the image was not copied"
cmp "$WINEPREFIX/drive_c/windows/system32/drivers/tamrixsc.sys" "$TARGET_DIR/tamrixsc.sys" ||
  fail "the copied image is not the built one"
w reg query "$params" >"$dir/parameters.txt" || fail "no Parameters key"
cat "$dir/parameters.txt"
if grep -q 'REG_' "$dir/parameters.txt"; then fail "the Parameters key is not empty"; fi
echo "install: passed"
