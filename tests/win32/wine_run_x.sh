#!/bin/sh
# Runs a Windows test program that makes windows under Wine, on an Xvfb of its own:
#   wine_run_x.sh PREFIX PROGRAM [ARG...]
set -eu
WINE_PREFIX_DIR=$1
shift
. "$(dirname "$0")/wine_env.sh"
. "$(dirname "$0")/wine_standin.sh"
xvfb_pid=
trap '[ -n "$xvfb_pid" ] && kill $xvfb_pid 2>/dev/null || true' EXIT
# The display first: Wine's desktop process takes the display of the session's first program.
wineserver -k 2>/dev/null || true
start_xvfb 800x600
status=0
wine "$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
