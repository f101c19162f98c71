#!/bin/bash
# The fleet page end to end: three simulated indicators whose host names carry markup, the
# agent in the client namespace of a private network, and headless Chromium beside it that
# opens only the agent's address (tests/agent/fleet_page_browser.py has the checks). The
# agent asks for basic auth (a web configuration), which the page's updates must get past.
# Usage: fleet_page_browser_test.sh BUILD_DIR [--screenshots DIR]: with --screenshots, ordinary host
# names instead, and the page's pictures written to DIR. Exits 77 (skipped) without root,
# Chromium, its driver or Selenium.
set -u
build=$1
shots=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3  # Debian's, which has python3-selenium
for tool in /usr/bin/chromium /usr/bin/chromedriver "$python"; do
  [ -x "$tool" ] || { echo "skipped: $tool is missing" >&2; exit 77; }
done
if ! "$python" -c 'import selenium' 2>/dev/null; then
  echo "skipped: python3-selenium is missing" >&2
  exit 77
fi
source "$here/../net/netns.sh"
tv_net_up || exit 77

log=$(mktemp -d /tmp/tvfleet-XXXXXX)
trap 'tv_net_down; rm -rf "$log"' EXIT
net=${TV_ADDR_DEVICES%.*}
for host in 3 4; do
  ip -n "$TV_NS_DEVICES" addr add "$net.$host/24" dev "$TV_IF_DEVICES" || exit 1
done

sims=()
names=()
sim() {  # sim NAME ADDRESS ARGS...: a simulator in the devices namespace
  local name=$1 address=$2
  shift 2
  # Not through tv_in_devices: $! must be the simulator's own pid (ip netns exec execs it).
  ip netns exec "$TV_NS_DEVICES" "$build/tarovue-sim" --address "$address" "$@" \
    >"$log/$name.log" 2>&1 &
  sims+=($!)
  names+=("$name")
}
if [ -z "$shots" ]; then
  # Host names are at most 31 bytes; these are cut at none.
  sim a "$net.2" --devices 2 --host-name '<img src=x onerror=pwned=1>{n}'
  sim b "$net.3" --devices 1 --serial-base 500 --host-name '</script><svg onload=pwned=2>{n}'
else
  sim a "$net.2" --devices 4 --serial-base 1000 --host-name 'weigh-bay-{n}'
  sim b "$net.3" --devices 1 --serial-base 2000 --boot-id 3 --host-name 'dock-scale-{n}'
  sim c "$net.4" --devices 2 --serial-base 3000 --host-name 'pack-line-{n}'
fi
for name in "${names[@]}"; do
  for ((i = 0; i < 100; i++)); do grep -qs 'ready:' "$log/$name.log" && break; sleep 0.05; done
  if ! grep -qs 'ready:' "$log/$name.log"; then
    cat "$log/$name.log"
    echo "FAIL: simulator $name did not start" >&2
    exit 1
  fi
done

url=http://127.0.0.1:9731/
web=()
if [ -z "$shots" ]; then
  # The page behind basic auth, as a site that exposes the agent has it.
  hash=$("$python" -W ignore -c 'import crypt
print(crypt.crypt("fleet", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=16)))')
  printf 'basic_auth_users:\n  viewer: %s\n' "$hash" >"$log/web.yml"
  web=(--web-config "$log/web.yml")
fi
tv_in_client "$build/tarovue-scan" --serve 127.0.0.1:9731 --interval 10 --quiet "${web[@]}" \
  >"$log/agent.out" 2>&1 &
devices=$(( ${#sims[@]} == 2 ? 3 : 7 ))
for ((i = 0; i < 100; i++)); do
  found=$(tv_in_client curl -s -u viewer:fleet "${url}devices.json" | grep -c '"usn"')
  [ "$found" -eq "$devices" ] && break
  sleep 0.1
done
if [ "$found" -ne "$devices" ]; then
  cat "$log/agent.out"
  echo "FAIL: the agent found $found devices, not $devices" >&2
  exit 1
fi

if [ -n "$shots" ]; then
  kill -USR2 "${sims[1]}"  # one reboot to show
  sleep 1
  tv_in_client "$python" "$here/fleet_page_browser.py" shots "$url" "$shots" "${sims[2]}"
  exit
fi
tv_in_client "$python" "$here/fleet_page_browser.py" check "$url" viewer:fleet "${sims[@]}"
status=$?
[ "$status" -eq 0 ] || cat "$log/agent.out"
exit "$status"
