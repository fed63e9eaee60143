# Sourced by the Wine tests: the run's prefix under the build tree, Wine kept quiet, and a
# wine64 that is there. WINE_PREFIX_DIR names the prefix; skip (77) when Wine is missing.
if ! command -v wine >/dev/null 2>&1; then
    echo "SKIP: wine is not installed (scripts/deps installs wine64)"
    exit 77
fi
export WINEPREFIX="$WINE_PREFIX_DIR" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's own programs speak to the console in its code page; ours print UTF-8 through it.
export LC_ALL=C.UTF-8
