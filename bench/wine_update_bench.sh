#!/bin/sh
# The console update under Wine beside the Linux program: both update the same stand-in module
# (boot block 1.01, so both passes; paced at 115200 baud) with the same package; prints each
# wall time and the Linux time over the Wine time. Not a test: it judges nothing.
#   bench/wine_update_bench.sh LINUX_BUILD WINDOWS_BUILD [RECORDS] [RUNS]
set -eu
#   MODE=cold: Wine's server starts within the timed run
linux=$(realpath "$1") windows=$(realpath "$2") records=${3:-400} runs=${4:-1} mode=${MODE:-warm}
work=$windows/bench/wine-update
rm -rf "$work" && mkdir -p "$work"
WINE_PREFIX_DIR=$work/prefix
. "$(dirname "$0")/../tests/win32/wine_env.sh"
sh "$(dirname "$0")/../tests/win32/wine_prefix.sh" "$WINE_PREFIX_DIR" >/dev/null

awk -v n="$records" 'BEGIN { for (i = 0; i < n; i++) { a = 16 * i
    line = sprintf("S315%08X", a); sum = 21
    for (k = a; k > 0; k = int(k / 256)) sum += k % 256
    for (b = 0; b < 16; b++) { v = (a + 3 * b) % 256; line = line sprintf("%02X", v); sum += v }
    printf "%s%02X\r\n", line, 255 - sum % 256 }
    printf "S70500000000FA\r\n" }' >"$work/main.srec"
head -n 8 "$work/main.srec" >"$work/boot.srec" && tail -n 1 "$work/main.srec" >>"$work/boot.srec"
"$linux/tools/pack/vmod-pack" build --main "$work/main.srec" --boot "$work/boot.srec" \
    --version 1.04 -o "$work/package" >/dev/null

now() { date +%s.%N; }
# One update by "$@" of a fresh stand-in under $work/$1; prints the seconds it took.
run() { # NAME COMMAND...
    name=$1
    shift
    rm -rf "$work/$name" && mkdir -p "$work/$name"
    "$linux/tools/sim/kv615mq-sim" --root "$work/$name" --port 3 --boot 1.01 --pace \
        --expect "$work/main.srec" --expect-boot "$work/boot.srec" --exit-after-update \
        --log "$work/$name.log" \
        >"$work/$name.sim" 2>&1 &
    sim=$!
    while [ ! -L "$work/$name/dev/COM3" ]; do sleep 0.01; done
    if [ "$name" = wine ]; then
        wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$work/$name/dev/COM3" \
            /f >/dev/null
        wineserver -w
        # Wine's server and services started before the clock does, as a Windows host's are
        # running when a user starts the program; "cold" below counts their start too.
        [ "$mode" = cold ] || wine cmd /c exit >/dev/null 2>&1
    fi
    start=$(now)
    "$@" --port COM3 --package "$pkg" >"$work/$name.out" 2>&1 ||
        { echo "$name: update failed" >&2; cat "$work/$name.out" >&2; kill $sim; exit 1; }
    end=$(now)
    wait $sim || { echo "$name: image differs" >&2; exit 1; }
    echo "$end - $start" | bc
}

for i in $(seq "$runs"); do
    pkg=$work/package
    t_linux=$(run linux env VMOD_ROOT="$work/linux" "$linux/cli/vmod-update")
    pkg="Z:$work/package"
    t_wine=$(run wine wine "$windows/cli/vmod-update.exe")
    printf 'run %s (%s): %s main records; Linux %.2f s, Wine %.2f s, Linux/Wine %.3f\n' "$i" \
        "$mode" "$records" "$t_linux" "$t_wine" "$(echo "$t_linux / $t_wine" | bc -l)"
done
