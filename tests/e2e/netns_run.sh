#!/usr/bin/env bash
# Runs a command inside a fresh, private network namespace, so that no datagram of a test can reach
# the machine's own network. Inside: lo is up and a veth pair carries a default route, so datagrams
# to 255.255.255.255 loop back to listeners in the same namespace. A private mount namespace lets
# `ip netns add` make further hosts inside without touching the machine's /run/netns. If such a namespace cannot be
# made, the command is not run at all and the runner fails.
set -u
if [ $# -eq 0 ]; then
    echo "usage: netns_run.sh command [args...]" >&2
    exit 2
fi

if [ "${TONECAST_PRIVATE_NET:-}" != "inside" ]; then
    export TONECAST_PRIVATE_NET=inside
    if [ "$(id -u)" = 0 ]; then
        exec unshare --net --mount -- "$0" "$@"
    else
        exec unshare --user --map-root-user --net --mount -- "$0" "$@"
    fi
fi

fail() {
    echo "netns_run: $*; refusing to run the command" >&2
    exit 97
}

# A new namespace holds nothing but its own loopback device. Anything else means we are not in one.
existing=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//')
[ "$existing" = "lo" ] || fail "not a fresh network namespace (found: $(echo $existing))"

ip link set lo up || fail "cannot bring lo up"
ip link add tcveth0 type veth peer name tcveth1 || fail "cannot create the veth pair"
ip addr add 198.18.0.1/24 dev tcveth0 || fail "cannot address the veth pair"
ip link set tcveth0 up && ip link set tcveth1 up || fail "cannot bring the veth pair up"
ip route add default dev tcveth0 || fail "cannot add the default route"
# Hosts made with `ip netns add` live in this mount namespace only.
mkdir -p /run/netns && mount -t tmpfs tonecast-netns /run/netns || fail "cannot mount a private /run/netns"
# The machine's D-Bus system bus would hand a test's DNS-SD announcement to the machine's own Avahi,
# which would send it on the machine's network: the bus is hidden here.
unset DBUS_SYSTEM_BUS_ADDRESS
for bus in /run/dbus /var/run/dbus; do
    [ ! -d "$bus" ] || mount -t tmpfs tonecast-dbus "$bus" || fail "cannot hide the machine's D-Bus ($bus)"
done

exec "$@"
