#!/usr/bin/env bash
# Builds kestivane and shows it relaying: in network namespaces of its own, a
# DHCP client (busybox udhcpc) on 198.51.100.0/24 gets a lease from a DHCP
# server (dnsmasq) on 203.0.113.0/24 through the relay. Prints the lease and
# the relay's log, then removes everything it created.
#
#   client ns: c0 ---- r0 (198.51.100.1) relay ns r1 (203.0.113.1) ---- s0 (203.0.113.2) server ns
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
    echo "demo.sh: needs root to create network namespaces" >&2
    exit 1
fi

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 >/dev/null

tag="kd$$"
ns_client="$tag-client"
ns_relay="$tag-relay"
ns_server="$tag-server"
work=$(mktemp -d "/tmp/kestivane-demo.XXXXXX")
relay_pid=""
server_pid=""

cleanup() {
    [[ -n $relay_pid ]] && kill "$relay_pid" 2>/dev/null || true
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    for ns in "$ns_client" "$ns_relay" "$ns_server"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

for ns in "$ns_client" "$ns_relay" "$ns_server"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
ip -n "$ns_relay" link add r0 type veth peer name c0 netns "$ns_client"
ip -n "$ns_relay" link add r1 type veth peer name s0 netns "$ns_server"
ip -n "$ns_relay" addr add 198.51.100.1/24 dev r0
ip -n "$ns_relay" addr add 203.0.113.1/24 dev r1
ip -n "$ns_server" addr add 203.0.113.2/24 dev s0
ip -n "$ns_relay" link set r0 up
ip -n "$ns_relay" link set r1 up
ip -n "$ns_client" link set c0 up
ip -n "$ns_server" link set s0 up
# The server answers to the relay's address on the client segment.
ip -n "$ns_server" route add 198.51.100.0/24 via 203.0.113.1

ip netns exec "$ns_server" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
    --user=root --interface=s0 --bind-interfaces \
    --dhcp-range=198.51.100.50,198.51.100.99,255.255.255.0,1h \
    --dhcp-leasefile="$work/leases" --pid-file="$work/dnsmasq.pid" \
    --log-dhcp --log-facility="$work/dnsmasq.log" &
server_pid=$!

ip netns exec "$ns_relay" build/kestivane -d -i r0 203.0.113.2 >"$work/relay.log" 2>&1 &
relay_pid=$!

# The relay is ready once it has said where it listens.
for _ in $(seq 50); do
    grep -q "Listen at r0" "$work/relay.log" && break
    sleep 0.1
done

cat >"$work/udhcpc.script" <<'SCRIPT'
#!/bin/sh
[ "$1" = bound ] || exit 0
echo "lease: ip=$ip subnet=$subnet router=${router:-none} server=$serverid lease=${lease}s"
SCRIPT
chmod +x "$work/udhcpc.script"

echo "== client: busybox udhcpc on the client segment"
ip netns exec "$ns_client" timeout 20 busybox udhcpc -i c0 -f -q -n -t 5 -T 1 \
    -s "$work/udhcpc.script" 2>&1 | grep -E '^lease:|udhcpc: (lease|sending|no lease)' || true

echo "== server's lease file"
cat "$work/leases" 2>/dev/null || true
echo "== relay log"
cat "$work/relay.log"
grep -q 198.51.100 "$work/leases" 2>/dev/null
