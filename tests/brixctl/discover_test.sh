#!/usr/bin/env bash
# brixctl discover on three interfaces: veth pairs in this private namespace, the default route
# on the first, the simulated modem in a child namespace behind the second. Runs inside
# tools/netns-run (ctest does that); creates nothing outside its namespaces.
#   discover_test.sh BRIXCTL BRIX_MODEM_SIM WORK_DIR
set -euo pipefail
brixctl=$1
sim=$2
work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
export XDG_RUNTIME_DIR=$work
fail() { echo "FAIL: $*" >&2; exit 1; }

for n in a b c; do
  ip link add ${n}0 type veth peer name ${n}1
  ip link set ${n}0 up
done
ip addr add 10.1.0.1/24 dev a0
ip addr add 10.2.0.1/24 dev b0
ip addr add 10.3.0.1/24 dev c0
ip link set a1 up; ip link set c1 up
ip route replace default dev a0

unshare -n bash -c '
  while ! ip link show b1 >/dev/null 2>&1; do sleep 0.02; done
  ip link set lo up
  ip addr add 10.2.0.2/24 dev b1
  ip link set b1 up
  ip route add default dev b1
  exec "$0" --seed 3 --link-test 0 --debug 0 --interface b1' "$sim" \
  >modem.log 2>&1 &
modem=$!
trap 'kill $modem $serve 2>/dev/null || true' EXIT
serve=
for _ in $(seq 100); do
  [ "$(readlink /proc/$modem/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.02
done
ip link set b1 netns "$modem"
for _ in $(seq 100); do grep -q listening modem.log 2>/dev/null && break; sleep 0.05; done
grep -q listening modem.log || fail "the modem did not start: $(cat modem.log)"

"$brixctl" discover --timeout 2 >out.txt 2>err.txt || fail "discover: exit $?: $(cat err.txt)"
cat out.txt
grep -Eq '^b0 +modem answers: receive 452\.5 MHz  9\.45 Mbit/s \(code 4\)$' out.txt ||
  fail "b0 not reported: $(cat out.txt)"
for n in a0 c0 a1 c1; do
  grep -Eq "^$n +no answer$" out.txt || fail "$n: $(cat out.txt)"
done
! grep -q '^lo ' out.txt || fail "loopback was tried"

"$brixctl" --json discover --timeout 2 >out.json || fail "discover --json: exit $?"
/usr/bin/python3 - out.json <<'PY' || fail "json: $(cat out.json)"
import json, sys
d = {e["interface"]: e for e in json.load(open(sys.argv[1]))}
assert d["b0"]["answered"] and d["b0"]["receive"]["frequency_mhz"] == 452.5, d
assert not any(e["answered"] for n, e in d.items() if n != "b0"), d
PY

# What discover found is what --interface needs.
"$brixctl" --interface b0 status --timeout 2 >status.txt || fail "status on b0: $(cat status.txt)"

# A program that holds the port: discover cannot hear there, and says who has it.
"$brixctl" serve --metrics 127.0.0.1:9339 >serve.log 2>&1 &
serve=$!
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/brix/"link-* ] 2>/dev/null && break; sleep 0.05; done
rc=0
"$brixctl" discover --timeout 1 >out.txt 2>err.txt || rc=$?
[ "$rc" -eq 4 ] && grep -q "port 30587 is in use by brixctl (pid $serve)" err.txt ||
  fail "discover beside serve: exit $rc, $(cat err.txt)"
kill $serve; wait $serve 2>/dev/null || true; serve=
# ...also when it is another user's, on one interface only: discover, whose own probes on the
# other interfaces hold the port too, names the holder it can tell, never itself.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  as() { uid=$1; shift; setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; }
  mkdir -p other mine && chown 65534 other && chown 65533 mine && chmod 700 other mine
  XDG_RUNTIME_DIR=$work/other setpriv --reuid=65534 --regid=65534 --clear-groups "$brixctl" \
    --interface c0 serve --metrics 127.0.0.1:9339 >serve.log 2>&1 &
  serve=$!
  for _ in $(seq 100); do [ -S "$work/other/brix/"link-*-c0 ] 2>/dev/null && break; sleep 0.05; done
  rc=0
  XDG_RUNTIME_DIR=$work/mine as 65533 "$brixctl" discover --timeout 1 >out.txt 2>err.txt || rc=$?
  [ "$rc" -eq 4 ] && grep -q "port 30587 is in use by .*uid 65534" err.txt ||
    fail "discover beside another user's serve on c0: exit $rc, $(cat err.txt)"
  kill $serve; wait $serve 2>/dev/null || true; serve=
fi

kill $modem; wait $modem 2>/dev/null || true
rc=0
"$brixctl" discover --timeout 1 >out.txt 2>err.txt || rc=$?
[ "$rc" -eq 3 ] || fail "without a modem: exit $rc, expected 3: $(cat out.txt)"
! grep -q "modem answers" out.txt || fail "an answer without a modem: $(cat out.txt)"
echo "PASS: discover finds the modem behind b0 only"
