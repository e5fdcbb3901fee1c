#!/usr/bin/env bash
# The modem on a segment the default route does not lead to: two veth pairs in this private
# namespace, the default route on the first, the simulated modem in a child namespace behind
# the second. Without the interface nothing reaches the modem; with it everything works.
# Runs inside tools/netns-run (ctest does that); creates nothing outside its namespaces.
#   interface_test.sh BRIXCTL BRIX_MODEM_SIM WORK_DIR
set -euo pipefail
brixctl=$1
sim=$2
work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

ip link add a0 type veth peer name a1
ip link add b0 type veth peer name b1
ip addr add 10.1.0.1/24 dev a0
ip addr add 10.2.0.1/24 dev b0
ip link set a0 up; ip link set a1 up; ip link set b0 up
ip route replace default dev a0

# The modem's namespace: a child of unshare -n that waits for its end of the second pair.
unshare -n bash -c '
  while ! ip link show b1 >/dev/null 2>&1; do sleep 0.02; done
  ip link set lo up
  ip addr add 10.2.0.2/24 dev b1
  ip link set b1 up
  ip route add default dev b1
  exec "$0" --seed 3 --link-test 0 --debug 0 --interface b1' "$sim" \
  >modem.log 2>&1 &
modem=$!
trap 'kill $modem 2>/dev/null || true' EXIT
# Moved only once the child is in its own namespace, not while it is still in ours.
for _ in $(seq 100); do
  [ "$(readlink /proc/$modem/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.02
done
ip link set b1 netns "$modem"
for _ in $(seq 100); do grep -q listening modem.log 2>/dev/null && break; sleep 0.05; done
grep -q listening modem.log || fail "the modem did not start: $(cat modem.log)"

echo "default route: $(ip route get 255.255.255.255 | head -1)"
rc=0
"$brixctl" status --timeout 1 >out.txt 2>err.txt || rc=$?
[ "$rc" -eq 3 ] || fail "without the interface: exit $rc, expected 3: $(cat err.txt)"
# The message names the interfaces that are up besides the default route's.
hint="leave only through a0, the interface of the default route; if the modem is on"
grep -Eq "$hint (a1 or b0|b0 or a1), name it with --interface" err.txt ||
  fail "no hint of the other interfaces: $(cat err.txt)"
! grep -q " recv " modem.log || fail "the modem heard a frame sent without the interface"

"$brixctl" --interface b0 status --json >status.json || fail "status on b0: $(cat status.json)"
grep -q '"frequency_mhz": 452.5' status.json || fail "status on b0: $(cat status.json)"
BRIX_INTERFACE=b0 "$brixctl" tune 555.2 6.82 >tune.txt || fail "tune on b0: $(cat tune.txt)"
grep -q "recv TuneChannel (18) 16 bytes: frequency 5552 rate code 3" modem.log ||
  fail "the modem did not get the tune"

rc=0
"$brixctl" --interface eth9 status 2>err.txt || rc=$?
[ "$rc" -eq 2 ] && [ "$(cat err.txt)" = "brixctl: no such interface: eth9" ] ||
  fail "eth9: exit $rc, $(cat err.txt)"
rc=0
"$sim" --interface eth9 2>err.txt || rc=$?
[ "$rc" -ne 0 ] && grep -q "no such interface: eth9" err.txt || fail "sim on eth9: $(cat err.txt)"
echo "PASS: brixctl reaches the modem only through its interface"
