#!/usr/bin/env bash
# The fixture of the Wine tests: the template prefix (32-bit, no display)
# in which winedevice.exe loads a native hal.dll; each test copies it. Made
# once per Wine version.
WORK=$1
source "$(dirname "$0")/harness.sh"
dir=$WORK
version=$(wine --version)
if [[ -f $template/.made-by && $(cat "$template/.made-by") == "$version" ]]; then
  echo "prefix template of $version is there"
  exit 0
fi
rm -rf "$template"
mkdir -p "$WORK"
export WINEPREFIX=$template
trap wine_end EXIT
wineboot --init >/dev/null 2>&1
w reg add 'HKCU\Software\Wine\AppDefaults\winedevice.exe\DllOverrides' /v hal /t REG_SZ /d native,builtin /f
wine_end
trap - EXIT
echo "$version" >"$template/.made-by"
echo "prefix template made with $version"
