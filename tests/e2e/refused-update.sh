#!/bin/sh
# Start pressed on a package the tool must refuse: serves a KV615MQ on COM3 under the device
# root WORK/root (whose package is already in place), runs vmod-versionup on it under Xvfb,
# presses Start and waits for the box the tool answers with. Then it dismisses the box and
# makes sure the tool is still up, waiting for Exit, before it ends everything.
#
#   refused-update.sh --bin BUILD_DIR --work DIR
#
# Leaves in DIR the module's log (module.log) and the tool's standard error (tool.log).
# Exit status 0 when a box came up and the tool stayed up after it; 1 otherwise.
set -eu

bin="" work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin=$2; shift ;;
    --work) work=$2; shift ;;
    *) echo "usage: refused-update.sh --bin BUILD_DIR --work DIR" >&2; exit 2 ;;
  esac
  shift
done
root="$work/root"
log="$work/module.log"

sim_pid="" xvfb_pid="" tool_pid=""
cleanup() {
  for p in $tool_pid $sim_pid $xvfb_pid; do
    kill "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT
fail() {
  echo "refused-update: $*" >&2
  exit 1
}
# wait_for TENTHS WHAT COMMAND...: polls COMMAND ten times a second.
wait_for() {
  limit=$1 what=$2
  shift 2
  n=0
  until "$@"; do
    n=$((n + 1))
    [ $n -le "$limit" ] || fail "$what: not within $((limit / 10)) s"
    if [ -n "$tool_pid" ] && ! kill -0 "$tool_pid" 2>/dev/null; then fail "$what: the tool ended"; fi
    sleep 0.1
  done
}
logged() { grep -q "$1" "$log" 2>/dev/null; }
find_dialog() {
  dialog=$(xdotool search --all --onlyvisible --pid "$tool_pid" --name '^KV615MQ VersionUp Tool$' \
    2>/dev/null | head -n 1)
}
box_shown() {
  box=$(xdotool search --onlyvisible --pid "$tool_pid" 2>/dev/null | grep -v "^$dialog\$" |
    tail -n 1)
  [ -n "$box" ]
}

"$bin/tools/sim/kv615mq-sim" --root "$root" --port 3 --firmware 1.03 --boot 1.01 --log "$log" \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for 100 "the stand-in module's port" test -e "$root/dev/COM3"

: >"$work/display"
Xvfb -displayfd 5 -screen 0 480x640x24 -nolisten tcp 5>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 100 "Xvfb's display" test -s "$work/display"
DISPLAY=":$(cat "$work/display")"
export DISPLAY QT_QPA_PLATFORM=xcb VMOD_ROOT="$root" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

"$bin/app/vmod-versionup" >/dev/null 2>"$work/tool.log" &
tool_pid=$!
dialog=""
wait_for 600 "the module's identification" logged 'command "!!version'
wait_for 100 "the dialog" find_dialog
[ -n "$dialog" ] || fail "the dialog is not on the screen"
sleep 1.5

# Start (開始) at the centre of its place in the portrait template, as scripts/sim-update
# presses it; a press the dialog was not yet ready for is repeated.
eval "$(xdotool getwindowgeometry --shell "$dialog")"
presses=0
until box_shown; do
  presses=$((presses + 1))
  [ $presses -le 3 ] || fail "no box came up after Start"
  xdotool mousemove $((X + WIDTH * 78 / 139)) $((Y + HEIGHT * 166 / 180)) click 1
  n=0
  while [ $n -lt 100 ] && ! box_shown; do
    n=$((n + 1))
    sleep 0.1
  done
done
echo "box: $(xdotool getwindowname "$box" 2>/dev/null || true)"
sleep 1
xdotool windowfocus "$box" key Return
sleep 1
kill -0 "$tool_pid" 2>/dev/null || fail "the tool ended after the box instead of waiting for Exit"
echo "the tool waits for Exit"
