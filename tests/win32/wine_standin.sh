# Sourced by the Wine tests: a package of firmware made on the spot, the stand-in module on a
# pseudo-terminal mapped to COM3, and an X server of the test's own. Needs WINEPREFIX set.

# make_package PACK WORK: a main image of 96 records and a boot image of 8, as srec_cat would
# write them, in WORK/main.srec and WORK/boot.srec, packed as version 1.04 into WORK/package.
make_package() {
    _srec() { # RECORDS BASE
        awk -v n="$1" -v base="$2" 'BEGIN { for (i = 0; i < n; i++) { a = base + 16 * i
            line = sprintf("S315%08X", a); sum = 21
            for (k = a; k > 0; k = int(k / 256)) sum += k % 256
            for (b = 0; b < 16; b++) { v = (a + 3 * b) % 256; line = line sprintf("%02X", v); sum += v }
            printf "%s%02X\r\n", line, 255 - sum % 256 }
            printf "S70500000000FA\r\n" }'
    }
    _srec 96 0 >"$2/main.srec"
    _srec 8 65536 >"$2/boot.srec"
    "$1" build --main "$2/main.srec" --boot "$2/boot.srec" --version 1.04 \
        -o "$2/package" >/dev/null
}

# start_standin SIM WORK: the stand-in (firmware 1.03, boot block 1.01: both passes) checking
# both images against the firmware; its pid in sim_pid, its link in WORK/root/dev/COM3.
start_standin() {
    "$1" --root "$2/root" --port 3 --boot 1.01 --log "$2/sim.log" \
        --expect "$2/main.srec" --expect-boot "$2/boot.srec" --exit-after-update \
        >"$2/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 300); do
        [ -L "$2/root/dev/COM3" ] && break
        sleep 0.01
    done
}

# map_com3 LINK: COM3 is the stand-in's link, not the pseudo-terminal behind it (the module's
# reset gives it a new one). mountmgr makes the dosdevices link from the registry when the
# server starts again.
map_com3() {
    wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$1" /f >/dev/null
    wineserver -w
    wine cmd /c exit >/dev/null 2>&1
    for _ in $(seq 100); do
        [ "$(readlink "$WINEPREFIX/dosdevices/com3")" = "$1" ] && return 0
        sleep 0.1
    done
    echo "FAIL: Wine did not map COM3 to the stand-in"
    return 1
}

# start_xvfb WIDTHxHEIGHT: an X server on a display it finds free itself and names once it
# takes connections (-displayfd), so that no server still ending on a display is taken for it;
# DISPLAY set to it, its pid in xvfb_pid.
start_xvfb() {
    command -v Xvfb >/dev/null 2>&1 || { echo "SKIP: Xvfb is not installed"; exit 77; }
    _fd_file=$(mktemp)
    Xvfb -displayfd 1 -screen 0 "${1}x24" -nolisten tcp >"$_fd_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        if [ -s "$_fd_file" ]; then
            export DISPLAY=":$(tr -d '\n' <"$_fd_file")"
            rm -f "$_fd_file"
            return 0
        fi
        kill -0 $xvfb_pid 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$_fd_file"
    echo "FAIL: no X server could be started"
    return 1
}

# use_dialog_look: "MS UI Gothic" of the dialog's templates drawn with the IPA gothic fonts
# (Debian: fonts-ipafont-gothic), as on Linux (a Japanese Windows has the font itself); and the
# windows' captions and frames drawn by Wine, as Windows draws them, since Xvfb has no window
# manager to draw them.
use_dialog_look() {
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "MS UI Gothic" /t REG_SZ \
        /d IPAPGothic /f >/dev/null
}
