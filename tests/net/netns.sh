# Private test networks for shell scripts: two network namespaces joined by a veth pair,
# with multicast routed over it and nothing connected to the host's own network.
# Needs root (ip netns add). Source this file, then:
#
#   tv_net_up || exit 77       # builds the network; prints why on failure
#   tv_in_client CMD...        # runs CMD in the client namespace
#   tv_in_devices CMD...       # runs CMD in the devices namespace
#   tv_add_device_addresses N  # N consecutive addresses for the devices (sim --spread)
#   tv_routed_net_up || exit 77  # the same with a router between the two (see below)
#   tv_net_down                # kills what runs inside and deletes the namespaces
#
# tv_net_up sets TV_NS_CLIENT, TV_NS_DEVICES (namespace names), TV_IF_CLIENT, TV_IF_DEVICES
# (veth names inside them) and TV_ADDR_CLIENT, TV_ADDR_DEVICES (10.231.X.1 and .2, /24), and
# installs an EXIT trap that calls tv_net_down, so that a failing script cleans up too.

tv_net_up() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "netns.sh: a private network needs root (ip netns add); run as root or use scripts/demo" >&2
    return 1
  fi
  if ! command -v ip >/dev/null 2>&1; then
    echo "netns.sh: the ip command (iproute2) is missing" >&2
    return 1
  fi
  local x=$(( ($$ % 250) + 1 ))
  TV_NS_CLIENT="tvsh-$$-c"
  TV_NS_DEVICES="tvsh-$$-d"
  TV_IF_CLIENT="tvc0"
  TV_IF_DEVICES="tvd0"
  TV_ADDR_CLIENT="10.231.$x.1"
  TV_ADDR_DEVICES="10.231.$x.2"
  trap tv_net_down EXIT
  local out
  if ! out=$(
    set -e
    ip netns add "$TV_NS_CLIENT"
    ip netns add "$TV_NS_DEVICES"
    ip -n "$TV_NS_CLIENT" link add "$TV_IF_CLIENT" type veth peer name "$TV_IF_DEVICES" \
      netns "$TV_NS_DEVICES"
    for side in CLIENT DEVICES; do
      ns_var="TV_NS_$side"; if_var="TV_IF_$side"; addr_var="TV_ADDR_$side"
      ns=${!ns_var}; dev=${!if_var}; addr=${!addr_var}
      ip -n "$ns" link set lo up
      ip -n "$ns" addr add "$addr/24" dev "$dev"
      ip -n "$ns" link set "$dev" up
      ip -n "$ns" route add 224.0.0.0/4 dev "$dev"
    done
  2>&1); then
    echo "netns.sh: cannot build the private network: $out" >&2
    tv_net_down
    return 1
  fi
  export TV_NS_CLIENT TV_NS_DEVICES TV_IF_CLIENT TV_IF_DEVICES TV_ADDR_CLIENT TV_ADDR_DEVICES
}

# Adds N consecutive addresses from 10.232.0.2 to the devices side, in a /16 of their own (so
# more than 250 fit), and routes that /16 from the client side. Sets TV_ADDR_SPREAD to the
# first, for tarovue-sim --spread --address "$TV_ADDR_SPREAD" --devices N.
tv_add_device_addresses() {
  local n=${1:-0} i host out
  if [ "$n" -lt 1 ] || [ "$n" -gt 65532 ]; then
    echo "netns.sh: tv_add_device_addresses needs a count from 1 to 65532" >&2
    return 1
  fi
  if ! out=$(
    for ((i = 0; i < n; i++)); do
      host=$((i + 2))
      echo "addr add 10.232.$((host / 256)).$((host % 256))/16 dev $TV_IF_DEVICES"
    done | ip -n "$TV_NS_DEVICES" -batch - 2>&1 &&
      ip -n "$TV_NS_CLIENT" route add 10.232.0.0/16 dev "$TV_IF_CLIENT" 2>&1
  ); then
    echo "netns.sh: cannot add the device addresses: $out" >&2
    return 1
  fi
  TV_ADDR_SPREAD=10.232.0.2
  export TV_ADDR_SPREAD
}

# The routed variant: client <-> router <-> devices, the devices on a subnet of their own one
# hop away. The router forwards unicast and has no multicast routing, so searches to the
# group never reach the devices. Sets what tv_net_up sets (TV_ADDR_CLIENT 10.231.X.1/24 with
# the router at .2; TV_ADDR_DEVICES 10.234.X.2/24 with the router at .1), TV_NS_ROUTER and
# TV_NET_DEVICES (10.234.X, the devices' /24 without its last part).
tv_routed_net_up() {
  if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null 2>&1; then
    echo "netns.sh: a routed private network needs root and the ip command" >&2
    return 1
  fi
  local x=$(( ($$ % 250) + 1 ))
  TV_NS_CLIENT="tvsh-$$-c"
  TV_NS_ROUTER="tvsh-$$-r"
  TV_NS_DEVICES="tvsh-$$-d"
  TV_IF_CLIENT="tvc0"
  TV_IF_DEVICES="tvd0"
  TV_ADDR_CLIENT="10.231.$x.1"
  TV_NET_DEVICES="10.234.$x"
  TV_ADDR_DEVICES="$TV_NET_DEVICES.2"
  trap tv_net_down EXIT
  local out
  if ! out=$(
    set -e
    for ns in "$TV_NS_CLIENT" "$TV_NS_ROUTER" "$TV_NS_DEVICES"; do
      ip netns add "$ns"
      ip -n "$ns" link set lo up
    done
    # Each pair is born inside its namespaces, never in the host's.
    ip -n "$TV_NS_CLIENT" link add tvc0 type veth peer name tvr0 netns "$TV_NS_ROUTER"
    ip -n "$TV_NS_DEVICES" link add tvd0 type veth peer name tvr1 netns "$TV_NS_ROUTER"
    ip -n "$TV_NS_CLIENT" addr add "$TV_ADDR_CLIENT/24" dev tvc0
    ip -n "$TV_NS_ROUTER" addr add "10.231.$x.2/24" dev tvr0
    ip -n "$TV_NS_ROUTER" addr add "$TV_NET_DEVICES.1/24" dev tvr1
    ip -n "$TV_NS_DEVICES" addr add "$TV_ADDR_DEVICES/24" dev tvd0
    for pair in "$TV_NS_CLIENT tvc0" "$TV_NS_ROUTER tvr0" "$TV_NS_ROUTER tvr1" \
      "$TV_NS_DEVICES tvd0"; do
      set -- $pair
      ip -n "$1" link set "$2" up
    done
    ip -n "$TV_NS_CLIENT" route add default via "10.231.$x.2"
    ip -n "$TV_NS_CLIENT" route add 224.0.0.0/4 dev tvc0
    ip -n "$TV_NS_DEVICES" route add default via "$TV_NET_DEVICES.1"
    ip -n "$TV_NS_DEVICES" route add 224.0.0.0/4 dev tvd0
    ip netns exec "$TV_NS_ROUTER" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'
  2>&1); then
    echo "netns.sh: cannot build the routed private network: $out" >&2
    tv_net_down
    return 1
  fi
  export TV_NS_CLIENT TV_NS_ROUTER TV_NS_DEVICES TV_IF_CLIENT TV_IF_DEVICES TV_ADDR_CLIENT \
    TV_ADDR_DEVICES TV_NET_DEVICES
}

tv_in_client() { ip netns exec "$TV_NS_CLIENT" "$@"; }
tv_in_devices() { ip netns exec "$TV_NS_DEVICES" "$@"; }

tv_net_down() {
  local ns pid
  for ns in ${TV_NS_CLIENT:-} ${TV_NS_ROUTER:-} ${TV_NS_DEVICES:-}; do
    ip netns list 2>/dev/null | grep -qw "^$ns" || continue
    # Processes still inside would keep the namespace alive after its name is gone.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null; done
    sleep 0.2
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  return 0
}
