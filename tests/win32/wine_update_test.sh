#!/bin/sh
# vmod-update.exe under Wine updates a stand-in module on a pseudo-terminal mapped to COM3:
# boot block 1.01, so both passes; the stand-in's exit status says whether both images it
# programmed equal the firmware.
#   wine_update_test.sh PREFIX UPDATE_EXE SIM PACK WORK
set -eu
WINE_PREFIX_DIR=$1 update=$2 sim=$3 pack=$4 work=$5
. "$(dirname "$0")/wine_env.sh"
[ -d "$WINEPREFIX/drive_c" ] || { echo "FAIL: no Wine prefix (the wine_prefix test makes it)"; exit 1; }
for program in "$sim" "$pack"; do
    [ -x "$program" ] || { echo "SKIP: $program not built (the Linux build, VMOD_LINUX_BUILD_DIR)"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work"

. "$(dirname "$0")/wine_standin.sh"
make_package "$pack" "$work"
start_standin "$sim" "$work"
trap 'kill $sim_pid 2>/dev/null || true' EXIT
map_com3 "$work/root/dev/COM3" || { kill $sim_pid; exit 1; }

status=0
wine "$update" --port COM3 --package "Z:$work/package" --json >"$work/update.out" \
    2>"$work/update.err" || status=$?
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
[ $status -eq 0 ] || { fail "vmod-update.exe exited $status"; kill $sim_pid 2>/dev/null || true; }
grep -q '"event":"summary"' "$work/update.out" || fail "no summary event"
grep -q '"boot-block-first"' "$work/update.out" || fail "the update was not of both passes (boot block first)"
sim_status=0
wait $sim_pid || sim_status=$?
trap - EXIT
[ $sim_status -eq 0 ] || fail "the stand-in's images are not the firmware (exit $sim_status)"
if [ $failures -ne 0 ]; then
    cat "$work/update.out" "$work/update.err" "$work/sim.out" >&2
    tail -n 6 "$work/sim.log" >&2
    exit 1
fi
echo "PASS"
