#!/bin/sh
# Makes the Wine prefix the Windows tests of this run share: once per run, from nothing, so no
# port mapping or registry value of an earlier run is left in it.
set -eu
WINE_PREFIX_DIR=$1
. "$(dirname "$0")/wine_env.sh"
if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
wineboot -i >/dev/null 2>&1
wineserver -w
[ -d "$WINEPREFIX/drive_c/windows" ] || { echo "FAIL: no prefix made in $WINEPREFIX" >&2; exit 1; }
echo "PASS"
