#!/bin/bash
# tarovue-scan one router away from the devices: client <-> router <-> devices, forwarding
# on, no multicast routing. A plain scan finds nothing; --target with the devices' /28 finds
# every device; an --interface the host lacks ends with status 2 listing the usable ones;
# unicast searches keep to --rate as the simulator saw them arrive.
# Usage: scan_routed_test.sh BUILD_DIR. Needs root; exits 77 (skipped) without it.
set -u
build=$1
source "$(dirname "$0")/../net/netns.sh"
tv_routed_net_up || exit 77

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
scan() { tv_in_client "$build/tarovue-scan" "$@"; }

# The devices subnet's first 30 hosts exist: .1 the router, .2 the veth end, .3-.7 the five
# simulated devices, the rest silent hosts that only receive.
for ((host = 3; host <= 30; host++)); do
  echo "addr add $TV_NET_DEVICES.$host/24 dev $TV_IF_DEVICES"
done | ip -n "$TV_NS_DEVICES" -batch - || exit 1

log=$(mktemp /tmp/tvrouted-XXXXXX)
trap 'tv_net_down; rm -f "$log" "$log".*' EXIT
tv_in_devices "$build/tarovue-sim" --devices 5 --spread --address "$TV_NET_DEVICES.3" \
  --verbose >"$log" 2>&1 &
for ((i = 0; i < 100; i++)); do
  grep -q 'ready:' "$log" && break
  sleep 0.05
done
grep -q 'ready:' "$log" || { cat "$log"; fail "the simulator did not start"; exit 1; }

# An interface the host does not have: status 2, the usable ones listed, nothing sent.
scan --interface eth9 --time 0.5 >"$log.out" 2>&1
status=$?
[ "$status" -eq 2 ] || fail "--interface eth9 exited $status, not 2"
grep -q "no usable interface 'eth9'; usable: tvc0 ($TV_ADDR_CLIENT)" "$log.out" ||
  fail "--interface eth9 did not list the usable interfaces: $(cat "$log.out")"

# Pacing: a /27 (30 hosts) at 20 a second takes about 1.45 s from the first search to the
# last; the devices' side receives those for .2 to .30.
scan --target "$TV_NET_DEVICES.0/27" --rate 20 --no-multicast --time 4 --format json \
  >"$log.out" 2>&1 || fail "the paced scan failed: $(cat "$log.out")"
python3 - "$log" <<'PY' || fail "unicast searches did not keep to --rate 20"
import re, sys
times = [int(m.group(1)) for m in re.finditer(r"received search t=(\d+) unicast", open(sys.argv[1]).read())]
assert len(times) == 29, f"{len(times)} searches arrived, not 29"
span = times[-1] - times[0]
# 28 intervals of 50 ms: never faster than the rate, and not much slower.
assert 1260 <= span <= 1900, f"29 searches over {span} ms"
worst = max(sum(1 for u in times if t <= u < t + 1000) for t in times)
# 20 a second, plus one at the edge of a window that timing jitter may let in.
assert worst <= 21, f"{worst} searches within one second"
print(f"pacing: 29 searches over {span} ms, at most {worst} in any second")
PY
before=$(grep -c 'received search' "$log")

# Multicast does not cross the router: a plain scan finds nothing, and no search arrives.
scan --time 1.5 --format json >"$log.out" 2>"$log.err" || fail "the plain scan failed"
[ "$(tr -d ' \n' <"$log.out")" = "[]" ] || fail "the plain scan found devices: $(cat "$log.out")"
[ "$(grep -c 'received search' "$log")" -eq "$before" ] || fail "a multicast search crossed the router"

# The /28 finds all five, answering at once; the burst left through the chosen interface.
scan --target "$TV_NET_DEVICES.0/28" --interface tvc0 --time 2 --format json --stats \
  >"$log.out" 2>"$log.err" || fail "the /28 scan failed: $(cat "$log.err")"
python3 - "$log.out" "$TV_NET_DEVICES" <<'PY' || fail "the /28 scan did not list the five devices"
import json, sys
devices = json.load(open(sys.argv[1]))
found = sorted(d["address"] for d in devices)
expected = sorted(f"{sys.argv[2]}.{h}" for h in range(3, 8))
assert found == expected, f"found {found}"
assert all(d["status"] in ("new", "online") for d in devices), devices
# Their descriptions come across the router too.
assert all(d["hostname"] and d["fetch"] in ("ok", "cached") for d in devices), devices
PY
grep -qx 'searches.unicast 14' "$log.err" || fail "searches.unicast is not 14: $(cat "$log.err")"
grep -qx "searches.port_1900.$TV_ADDR_CLIENT 4" "$log.err" ||
  fail "the burst did not leave through tvc0: $(grep searches "$log.err")"

[ "$failures" -eq 0 ] && echo "scan_routed_test: all checks passed"
exit $((failures != 0))
