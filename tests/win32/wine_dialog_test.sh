#!/bin/sh
# vmod-versionup.exe under Wine and Xvfb updates a stand-in module on COM3 as a user would: the
# package in %ProgramFiles%\V-MOD VersionUp Tool, the module identified, Start pressed, the
# completion box answered; the window's close button mid-update asks first, and No goes on with
# the update (Wine sends the dialog its cancel command, as Windows does). Boot block 1.01, so both passes; the stand-in's exit status says
# whether both images it programmed equal the firmware.
#   wine_dialog_test.sh PREFIX VERSIONUP_EXE PROBE_EXE SIM PACK WORK [SCREENSHOT]
set -eu
WINE_PREFIX_DIR=$1 versionup=$2 probe=$3 sim=$4 pack=$5 work=$6 shot=${7:-}
. "$(dirname "$0")/wine_env.sh"
. "$(dirname "$0")/wine_standin.sh"
[ -d "$WINEPREFIX/drive_c" ] || { echo "FAIL: no Wine prefix (the wine_prefix test makes it)"; exit 1; }
for program in "$sim" "$pack"; do
    [ -x "$program" ] || { echo "SKIP: $program not built (the Linux build, VMOD_LINUX_BUILD_DIR)"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work"

make_package "$pack" "$work"
install_dir="$WINEPREFIX/drive_c/Program Files/V-MOD VersionUp Tool"
mkdir -p "$install_dir"
cp "$work/package/"* "$install_dir/"
xvfb_pid=
app_pid=
sim_pid=
cleanup() {
    [ -n "$app_pid" ] && kill $app_pid 2>/dev/null || true
    [ -n "$sim_pid" ] && kill $sim_pid 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill $xvfb_pid 2>/dev/null || true
}
trap cleanup EXIT
# The display first: Wine's desktop process, started by the first program of the session, takes
# the display it is given then.
wineserver -k 2>/dev/null || true
start_xvfb 1024x768
use_dialog_look
start_standin "$sim" "$work"
map_com3 "$work/root/dev/COM3"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
wine "$versionup" >"$work/app.out" 2>&1 &
app_pid=$!

if wine "$probe" identified 60 >"$work/identified.txt" 2>&1; then
    grep -q 'model=KV615MQ current=1.03 new=1.04' "$work/identified.txt" ||
        fail "identified as: $(cat "$work/identified.txt")"
    # The query held the loop; the dialog draws itself again once it is back.
    [ -z "$shot" ] || { sleep 1; import -display "$DISPLAY" -window root "$shot" 2>/dev/null || true; }
    wine "$probe" start
    sleep 2
    wine "$probe" close
    wine "$probe" answer 30 no >"$work/ask.txt" 2>&1 || fail "no question on close mid-update"
    grep -q 'caption=注意 text=バージョンアップ中です' "$work/ask.txt" ||
        fail "the close button mid-update: $(cat "$work/ask.txt")"
    wine "$probe" answer 120 >"$work/box.txt" 2>&1 || fail "no completion box"
    grep -q 'caption=vmod-versionup' "$work/box.txt" || fail "the box: $(cat "$work/box.txt")"
else
    fail "the module was not identified: $(cat "$work/identified.txt")"
fi

sim_status=0
[ $failures -eq 0 ] || kill $sim_pid 2>/dev/null || true
wait $sim_pid || sim_status=$?
[ $sim_status -eq 0 ] || fail "the stand-in's images are not the firmware (exit $sim_status)"
# The program ends by itself after the completion box (and asks Windows for the restart).
for _ in $(seq 300); do
    kill -0 $app_pid 2>/dev/null || break
    sleep 0.1
done
kill -0 $app_pid 2>/dev/null && fail "the program did not end after the completion box"
if [ $failures -ne 0 ]; then
    cat "$work/app.out" "$work/box.txt" "$work/sim.out" >&2 || true
    tail -n 6 "$work/sim.log" >&2 || true
    exit 1
fi
echo "PASS"
