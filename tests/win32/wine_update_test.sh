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

# A main image of 96 records and a boot image of 8, as srec_cat would write them.
srec() { # RECORDS BASE
    awk -v n="$1" -v base="$2" 'BEGIN { for (i = 0; i < n; i++) { a = base + 16 * i
        line = sprintf("S315%08X", a); sum = 21
        for (k = a; k > 0; k = int(k / 256)) sum += k % 256
        for (b = 0; b < 16; b++) { v = (a + 3 * b) % 256; line = line sprintf("%02X", v); sum += v }
        printf "%s%02X\r\n", line, 255 - sum % 256 }
        printf "S70500000000FA\r\n" }'
}
srec 96 0 >"$work/main.srec"
srec 8 65536 >"$work/boot.srec"
"$pack" build --main "$work/main.srec" --boot "$work/boot.srec" --version 1.04 \
    -o "$work/package" >/dev/null

"$sim" --root "$work/root" --port 3 --boot 1.01 --log "$work/sim.log" \
    --expect "$work/main.srec" --expect-boot "$work/boot.srec" --exit-after-update \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 300); do
    [ -L "$work/root/dev/COM3" ] && break
    sleep 0.01
done

# COM3 is the stand-in's link, not the pseudo-terminal behind it: the module's reset gives it a
# new one. mountmgr makes the dosdevices link from the registry when the server starts again.
wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$work/root/dev/COM3" /f >/dev/null
wineserver -w
wine cmd /c exit >/dev/null 2>&1
for _ in $(seq 100); do
    [ "$(readlink "$WINEPREFIX/dosdevices/com3")" = "$work/root/dev/COM3" ] && break
    sleep 0.1
done
[ "$(readlink "$WINEPREFIX/dosdevices/com3")" = "$work/root/dev/COM3" ] ||
    { echo "FAIL: Wine did not map COM3 to the stand-in"; kill $sim_pid; exit 1; }

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
