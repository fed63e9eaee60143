#!/bin/sh
# The example playbook over two local hosts, each with its own device root and stand-in module on
# COM3; the bad host's adapter is pulled at the fifth line. The run fails, the good module ends
# updated with exactly the firmware, the bad host's failure names the fault.
#   playbook_test.sh PLAYBOOK VMOD_UPDATE KV615MQ_SIM VMOD_PACK WORKDIR
set -eu
playbook=$1 update=$2 sim=$3 pack=$4 work=$5

if ! command -v ansible-playbook >/dev/null 2>&1; then
    echo "SKIP: ansible-playbook is not installed (scripts/deps installs ansible-core)"
    exit 77
fi
python=$(ansible-playbook --version | sed -n 's/^ *python version = .*(\(.*\))$/\1/p')
rm -rf "$work" && mkdir -p "$work"

# 24 records of 16 bytes, then the end record; the boot block is the first and the last.
awk 'BEGIN { for (a = 0; a < 384; a += 16) {
    line = sprintf("S315%08X", a); sum = 21 + int(a / 256) + a % 256
    for (b = 0; b < 16; b++) { line = line sprintf("%02X", (a + b) % 256); sum += (a + b) % 256 }
    printf "%s%02X\r\n", line, 255 - sum % 256 }
    printf "S70500000000FA\r\n" }' >"$work/main.srec"
sed -n '1p;$p' "$work/main.srec" >"$work/boot.srec"
"$pack" build --main "$work/main.srec" --boot "$work/boot.srec" --version 1.04 \
    -o "$work/package" >/dev/null

module() { # HOST FAULT...
    host=$1
    shift
    "$sim" --root "$work/$host" --port 3 --boot 1.05 --log "$work/$host.log" "$@" \
        >"$work/$host.out" 2>&1 &
}
module good --expect "$work/main.srec"
good_sim=$!
module bad --pull-at main:5
bad_sim=$!
trap 'kill $good_sim $bad_sim 2>/dev/null || true' EXIT
for _ in $(seq 300); do
    [ -L "$work/good/dev/COM3" ] && [ -L "$work/bad/dev/COM3" ] && break
    sleep 0.01
done
cat >"$work/inventory.yml" <<EOF
all:
  vars: {ansible_connection: local, ansible_python_interpreter: "$python", vmod_ports: [COM3],
         vmod_update_program: "$update", vmod_package: "$work/package"}
  hosts: {good: {vmod_root: "$work/good"}, bad: {vmod_root: "$work/bad"}}
EOF

status=0
(cd "$work" && ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_REMOTE_TEMP="$work/tmp" \
    ansible-playbook -i inventory.yml "$playbook") >"$work/playbook.out" 2>&1 || status=$?
cat "$work/playbook.out"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
[ $status -ne 0 ] || fail "ansible-playbook exited 0 with a host failed"
sed -n '/^ok: \[good\] => {/,/^}/p' "$work/playbook.out" | grep -q '"COM3: updated (main-only)"' ||
    fail "the good host's report lacks COM3: updated"
grep -q '^good *: .* failed=0 ' "$work/playbook.out" || fail "the good host is not reported OK"
grep -q '^fatal: \[bad\]: FAILED!.*exited 6 .*COM3: failed (main-only) - .*line 5 ' \
    "$work/playbook.out" || fail "the bad host's failure lacks its status, outcome or reason"
kill -TERM $good_sim
wait $good_sim || fail "the good module's image is not the firmware: $(cat "$work/good.out")"
[ $failures -eq 0 ] || { tail -n 4 "$work/good.log" "$work/bad.log" >&2; exit 1; }
echo "PASS"
