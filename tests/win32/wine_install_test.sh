#!/bin/sh
# The setup program CPack makes installs silently (/S) into the Wine prefix: both programs in
# %ProgramFiles%\V-MOD VersionUp Tool\bin, the package note in the folder itself, the dialog in
# the Start menu; the installed vmod-update.exe runs; the silent uninstaller removes the programs
# and leaves package files a user put in the folder.
#   wine_install_test.sh PREFIX BUILD_DIR CPACK WORK
set -eu
WINE_PREFIX_DIR=$1 build=$2 cpack=$3 work=$4
. "$(dirname "$0")/wine_env.sh"
command -v makensis >/dev/null 2>&1 || { echo "SKIP: makensis is not installed (Debian: nsis)"; exit 77; }
[ -d "$WINEPREFIX/drive_c" ] || { echo "FAIL: no Wine prefix (the wine_prefix test makes it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
(cd "$build" && "$cpack" -G NSIS -B "$work" >"$work/cpack.out" 2>&1) ||
    { cat "$work/cpack.out"; echo "FAIL: cpack"; exit 1; }
setup=$(ls "$work"/*-setup.exe)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
dir="$WINEPREFIX/drive_c/Program Files/V-MOD VersionUp Tool"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/V-MOD VersionUp Tool"
wine "$setup" /S || fail "the setup exited $?"
wineserver -w
for f in bin/vmod-versionup.exe bin/vmod-update.exe firmware-package.txt Uninstall.exe; do
    [ -f "$dir/$f" ] || fail "not installed: $f"
done
[ -f "$menu/V-MOD VersionUp Tool.lnk" ] || fail "no Start menu entry for the dialog"
if wine "$dir/bin/vmod-update.exe" --help >"$work/help.out" 2>&1; then
    grep -q -- '--package' "$work/help.out" || fail "vmod-update --help: $(cat "$work/help.out")"
else
    fail "the installed vmod-update.exe does not run: $(cat "$work/help.out")"
fi

: >"$dir/kv615mq.data"
wine "$dir/Uninstall.exe" /S || fail "the uninstaller exited $?"
wineserver -w
for _ in $(seq 100); do [ -f "$dir/bin/vmod-update.exe" ] || break; sleep 0.1; done
[ ! -e "$dir/bin/vmod-update.exe" ] || fail "the uninstaller left vmod-update.exe"
[ -f "$dir/kv615mq.data" ] || fail "the uninstaller removed a package file"
rm -f "$dir/kv615mq.data"
[ $failures -eq 0 ] || exit 1
echo "PASS"
