#!/bin/sh
# The Windows programs measured: the sizes of vmod-versionup.exe, vmod-update.exe and the setup
# program; and the dialog under Wine and Xvfb in each of its four layouts, every static's and
# push button's text read against its control from a screenshot.
#
#   bench/wine_dialog_bench.sh WINDOWS_BUILD LINUX_BUILD [KEEP_DIR]
#
# For each screen the dialog identifies a stand-in module on COM3 (so that it stays up with its
# texts filled), the percentage gets its widest text, "100 ％完了", and the probe names each
# text control's rectangle and the width its text needs in its font against the width the
# control gives it. In the screenshot, the ink of each text must lie inside its control with a
# clear column at the control's right edge: a text cut by its control runs to the edge. Prints
# one line per control and `fit TEMPLATE OK/ALL` per layout; exits 1 if any text does not fit.
set -eu
win=$(cd "$1" && pwd) linux=$(cd "$2" && pwd)
keep=${3:-}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
[ -n "$keep" ] && mkdir -p "$keep"
WINE_PREFIX_DIR=$work/prefix
. "$here/tests/win32/wine_env.sh"
. "$here/tests/win32/wine_standin.sh"
command -v import >/dev/null 2>&1 || { echo "ImageMagick's import is needed"; exit 77; }

versionup=$win/app/vmod-versionup.exe
update=$win/cli/vmod-update.exe
probe=$win/tests/win32/dialog_probe.exe
(cd "$win" && cpack -G NSIS -B "$work/setup" >/dev/null)
setup=$(ls "$work"/setup/*-setup.exe)
for f in "$versionup" "$update" "$setup"; do
    printf 'size %-40s %9d bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done

sh "$here/tests/win32/wine_prefix.sh" "$WINE_PREFIX_DIR" >/dev/null
make_package "$linux/tools/pack/vmod-pack" "$work"
mkdir -p "$WINEPREFIX/drive_c/Program Files/V-MOD VersionUp Tool"
cp "$work/package/"* "$WINEPREFIX/drive_c/Program Files/V-MOD VersionUp Tool/"

status=0
# screen, the template the dialog's layout rule gives it
for layout in 600x800:102 480x800:141 1024x768:103 800x480:142; do
    screen=${layout%:*} tpl=${layout#*:}
    wineserver -k 2>/dev/null || true
    xvfb_pid=
    start_xvfb "$screen"
    use_dialog_look
    rm -rf "$work/root"
    start_standin "$linux/tools/sim/kv615mq-sim" "$work"
    map_com3 "$work/root/dev/COM3"
    wine "$versionup" >"$work/app_$tpl.out" 2>&1 &
    app_pid=$!
    if wine "$probe" identified 60 >"$work/probe_$tpl.out" 2>&1; then
        wine "$probe" text 1005 "100 ％完了"
        sleep 1
        import -display "$DISPLAY" -window root "$work/layout_$tpl.png"
        wine "$probe" fit | tr -d '\r' >"$work/fit_$tpl.txt"
        ok=0 all=0
        while read -r id left top right bottom needed room text; do
            all=$((all + 1))
            # The ink of the text inside the control, from the screenshot: dark pixels, trimmed.
            w=$((right - left)) h=$((bottom - top))
            inset=0
            [ "$id" = 1006 ] || [ "$id" = 1007 ] && inset=3
            ink=$(convert "$work/layout_$tpl.png" -crop "$((w - 2 * inset))x$((h - 2 * inset))+$((left + inset))+$((top + inset))" \
                +repage -colorspace gray -threshold 50% -negate -format '%@' info: 2>/dev/null)
            inkw=${ink%%x*} inkx=${ink#*+}
            inkx=${inkx%%+*}
            inkright=$((inkx + inkw))
            verdict=cut
            [ "$needed" -le "$room" ] && [ "$inkright" -lt "$((w - 2 * inset))" ] && verdict=fits
            [ $verdict = fits ] && ok=$((ok + 1))
            printf '  %s %4s needs %3d px of %3d, ink to %3d of %3d: %s  %s\n' "$tpl" "$id" \
                "$needed" "$room" "$inkright" "$((w - 2 * inset))" "$verdict" "$text"
        done <"$work/fit_$tpl.txt"
        echo "fit $tpl $ok/$all (screen $screen)"
        [ $ok -eq $all ] && [ $all -gt 0 ] || status=1
    else
        echo "fit $tpl: the dialog did not come up (screen $screen): $(cat "$work/probe_$tpl.out")"
        tail -n 3 "$work/sim.log" "$work/app_$tpl.out"
        import -display "$DISPLAY" -window root "$work/layout_$tpl.png" || true
        status=1
    fi
    kill $app_pid $sim_pid 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    kill $xvfb_pid 2>/dev/null || true
    wait 2>/dev/null || true
done
[ -z "$keep" ] || cp "$work"/layout_*.png "$work"/fit_*.txt "$work"/*.out "$keep/" 2>/dev/null || true
rm -rf "$work"
exit $status
