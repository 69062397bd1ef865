#!/usr/bin/env bash
# Real clients get real leases through the relay: busybox udhcpc (unicast and
# broadcast answers) and ISC dhclient on the client segment, dnsmasq on the
# server segment, the relay in between in command-line mode. Captures on both
# segments then show what the relay put on the wire: forwarded requests with
# hops and giaddr set and only the measured message, and answer frames with
# the relay's own addresses, the right destination and valid checksums. A
# DHCPINFORM (yiaddr 0 in the answer) must reach the client at ciaddr.
#
#   client ns: c0 ---- r0 (198.51.100.1) relay ns r1 (203.0.113.1) ---- s0 (203.0.113.2) server ns
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "needs root to create network namespaces"
for tool in ip dnsmasq busybox dhclient tcpdump /usr/bin/python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
relay=${KESTIVANE:-}
[[ -x $relay ]] || fail "KESTIVANE does not name the built executable"

tag="kl$$"
ns_client="$tag-c"
ns_relay="$tag-r"
ns_server="$tag-s"
work=$(mktemp -d "/tmp/kestivane-lease.XXXXXX")
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for ns in "$ns_client" "$ns_relay" "$ns_server"; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

show_logs() {
    echo "--- relay log"; cat "$work/relay.log" 2>/dev/null || true
    echo "--- dnsmasq log"; tail -n 40 "$work/dnsmasq.log" 2>/dev/null || true
}

wait_for() { # file pattern tenths
    for _ in $(seq "$3"); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

for ns in "$ns_client" "$ns_relay" "$ns_server"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
ip -n "$ns_relay" link add r0 type veth peer name c0 netns "$ns_client"
ip -n "$ns_relay" link add r1 type veth peer name s0 netns "$ns_server"
ip -n "$ns_relay" addr add 198.51.100.1/24 dev r0
ip -n "$ns_relay" addr add 203.0.113.1/24 dev r1
ip -n "$ns_server" addr add 203.0.113.2/24 dev s0
for link in "$ns_relay r0" "$ns_relay r1" "$ns_client c0" "$ns_server s0"; do
    set -- $link
    ip -n "$1" link set "$2" up
done
ip -n "$ns_server" route add 198.51.100.0/24 via 203.0.113.1
relay_mac=$(ip -n "$ns_relay" -br link show r0 | awk '{print $3}')
client_mac=$(ip -n "$ns_client" -br link show c0 | awk '{print $3}')

# Captures first, so that they see every frame of the exchanges.
ip netns exec "$ns_client" tcpdump -i c0 -n -U -w "$work/client.pcap" udp 2>"$work/tcpdump-c.err" &
pids+=($!)
ip netns exec "$ns_server" tcpdump -i s0 -n -U -w "$work/server.pcap" udp 2>"$work/tcpdump-s.err" &
pids+=($!)
wait_for "$work/tcpdump-c.err" "listening on" 50 || fail "tcpdump on the client segment did not start"
wait_for "$work/tcpdump-s.err" "listening on" 50 || fail "tcpdump on the server segment did not start"

ip netns exec "$ns_server" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --user=root \
    --interface=s0 --bind-interfaces --dhcp-range=198.51.100.50,198.51.100.99,255.255.255.0,1h \
    --dhcp-leasefile="$work/leases" --pid-file="$work/dnsmasq.pid" \
    --log-dhcp --log-facility="$work/dnsmasq.log" &
pids+=($!)

ip netns exec "$ns_relay" "$relay" -d -i r0 203.0.113.2 >"$work/relay.log" 2>&1 &
relay_pid=$!
pids+=($relay_pid)
wait_for "$work/relay.log" "Listen at r0: 198.51.100.1, $relay_mac" 50 || { show_logs; fail "the relay did not open r0"; }

# --- busybox udhcpc, answers unicast to chaddr and yiaddr, then with -B broadcast
cat >"$work/udhcpc.script" <<'SCRIPT'
#!/bin/sh
[ "$1" = bound ] && echo "$ip" >"$LEASE_FILE"
exit 0
SCRIPT
chmod +x "$work/udhcpc.script"
for variant in unicast broadcast; do
    flag=""; [[ $variant == broadcast ]] && flag="-B"
    LEASE_FILE="$work/udhcpc-$variant" ip netns exec "$ns_client" timeout 20 \
        busybox udhcpc -i c0 -f -q -n -t 4 -T 1 $flag -s "$work/udhcpc.script" >"$work/udhcpc-$variant.out" 2>&1 ||
        { cat "$work/udhcpc-$variant.out"; show_logs; fail "udhcpc ($variant) got no lease through the relay"; }
    lease=$(cat "$work/udhcpc-$variant")
    [[ $lease =~ ^198\.51\.100\.([5-9][0-9])$ ]] || fail "udhcpc ($variant) lease $lease is outside the server's range"
    echo "ok: udhcpc ($variant answer) leased $lease"
done
grep -qi "$client_mac" "$work/leases" || fail "the server's lease file does not name the client $client_mac"

# --- ISC dhclient
cat >"$work/dhclient.script" <<SCRIPT
#!/bin/sh
case "\$reason" in BOUND|RENEW|REBOOT) echo "\$new_ip_address" >"$work/dhclient-lease" ;; esac
exit 0
SCRIPT
chmod +x "$work/dhclient.script"
ip netns exec "$ns_client" dhclient -d -1 -cf /dev/null -sf "$work/dhclient.script" \
    -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" c0 >"$work/dhclient.out" 2>&1 &
dhclient_pid=$!
pids+=($dhclient_pid)
wait_for "$work/dhclient-lease" "198.51.100" 150 || { cat "$work/dhclient.out"; show_logs; fail "dhclient got no lease"; }
echo "ok: dhclient leased $(cat "$work/dhclient-lease")"
kill "$dhclient_pid" 2>/dev/null || true

# --- DHCPINFORM from a client that already holds 198.51.100.77: the answer
# has yiaddr 0 and must go to ciaddr, not to 0.0.0.0.
ip netns exec "$ns_client" /usr/bin/python3 - "$client_mac" <<'PY'
import sys
from scapy.all import Ether, IP, UDP, BOOTP, DHCP, sendp, mac2str, conf
conf.verb = 0
mac = sys.argv[1]
frame = (Ether(src=mac, dst="ff:ff:ff:ff:ff:ff") / IP(src="198.51.100.77", dst="255.255.255.255") /
         UDP(sport=68, dport=67) /
         BOOTP(op=1, xid=0x1f2e3d4c, ciaddr="198.51.100.77", chaddr=mac2str(mac)) /
         DHCP(options=[("message-type", "inform"), "end"]))
sendp(frame, iface="c0")
PY
sleep 1

# --- Answers sent straight to the relay's socket. A long answer, then a short
# one without END: the short one must not be measured through the long one's
# leftover bytes (and so deliver them); it is dropped. An answer without
# yiaddr and ciaddr goes to everyone; one for no relay address, and one too
# short to be a message, are dropped with their lines.
ip netns exec "$ns_server" /usr/bin/python3 - "$client_mac" <<'PY'
import socket, struct, sys, time
mac = bytes.fromhex(sys.argv[1].replace(":", ""))
def answer(xid, yiaddr="0.0.0.0", giaddr="198.51.100.1", options=b"\x35\x01\x05\xff", size=None):
    m = bytearray(240)
    m[0], m[1], m[2] = 2, 1, 6
    m[4:8] = struct.pack("!I", xid)
    m[16:20] = socket.inet_aton(yiaddr)
    m[24:28] = socket.inet_aton(giaddr)
    m[28:34] = mac
    m[236:240] = b"\x63\x82\x53\x63"
    m += options
    if size is not None:
        m += bytes(size - len(m)) if size > len(m) else b""
        m = m[:size]
    return bytes(m)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
relay = ("198.51.100.1", 67)
# Past offset 300 the long answer holds PADs, then a host name and END:
# exactly what a short answer's walk would run into if the bytes stayed.
long_opts = b"\x35\x01\x05" + bytes(77) + b"\x0c\x28" + b"s" * 40 + b"\xff"
s.sendto(answer(0xa1, "198.51.100.60", options=long_opts), relay)
time.sleep(0.2)
# 300 bytes: options of PAD only, no END within the datagram.
s.sendto(answer(0xa2, "198.51.100.60", options=b"\x35\x01\x05", size=300), relay)
time.sleep(0.2)
s.sendto(answer(0xa3, size=300), relay)
time.sleep(0.2)
s.sendto(answer(0xa4, "198.51.100.60", giaddr="0.0.0.0", size=300), relay)
time.sleep(0.2)
# 299 bytes without END: too short for a message of its own.
s.sendto(answer(0xa5, "198.51.100.60", options=b"\x35\x01\x05", size=299), relay)
time.sleep(0.3)
PY
grep -q "server_answer: plugins generated wrong packet. Dropped." "$work/relay.log" ||
    { show_logs; fail "the short answer without END was not dropped"; }
grep -q "Destination interface not found for: 0.0.0.0" "$work/relay.log" ||
    { show_logs; fail "an answer for giaddr 0 was not reported"; }
grep -q "A little data from server: 299 < 300" "$work/relay.log" ||
    { show_logs; fail "a 299-byte answer was not reported"; }

# Let the captures write out what they hold.
kill -0 "$relay_pid" 2>/dev/null || { show_logs; fail "the relay died"; }
sleep 0.3

/usr/bin/python3 - "$work/client.pcap" "$work/server.pcap" "$relay_mac" "$client_mac" <<'PY' || { show_logs; exit 1; }
import sys
from scapy.all import rdpcap, Ether, IP, UDP, BOOTP, raw
client_pcap, server_pcap, relay_mac, client_mac = sys.argv[1:]
problems = []

def dhcp_len(payload):
    """Bytes through END, walking options from offset 240."""
    i = 240
    while i < len(payload):
        c = payload[i]
        if c == 255:
            return i + 1
        i += 1 if c == 0 else payload[i + 1] + 2
    return None

def checksums_ok(pkt):
    ip = pkt[IP]
    c = ip.copy(); c.chksum = None; c[UDP].chksum = None
    rebuilt = IP(raw(c))
    return rebuilt.chksum == ip.chksum and rebuilt[UDP].chksum == ip[UDP].chksum

# Requests forwarded to the server: from the relay's address and port,
# hops 1, giaddr the relay's client-side address, exactly through END.
forwarded = [p for p in rdpcap(server_pcap)
             if UDP in p and p[IP].dst == "203.0.113.2" and p[UDP].dport == 67]
if not forwarded:
    problems.append("no request reached the server segment")
for p in forwarded:
    payload = bytes(p[UDP].payload)
    if p[IP].src != "198.51.100.1" or p[UDP].sport != 67:
        problems.append(f"request sent from {p[IP].src}, not the interface's address")
    if payload[3] != 1:
        problems.append(f"forwarded request has hops {payload[3]}")
    if payload[24:28] != bytes([198, 51, 100, 1]):
        problems.append(f"forwarded request has giaddr {'.'.join(map(str, payload[24:28]))}")
    if dhcp_len(payload) != len(payload):
        problems.append(f"forwarded {len(payload)} bytes, message is {dhcp_len(payload)} through END")

# Answers the relay wrote on the client segment.
answers = [p for p in rdpcap(client_pcap) if UDP in p and p[UDP].sport == 67 and p[UDP].dport == 68]
if len(answers) < 6:
    problems.append(f"only {len(answers)} answer frames on the client segment")
seen = {"unicast": 0, "broadcast": 0, "inform": 0, "long": 0, "no address": 0}
for p in answers:
    b = bytes(p[UDP].payload)
    yiaddr = ".".join(map(str, b[16:20]))
    if p[Ether].src != relay_mac or p[IP].src != "198.51.100.1":
        problems.append(f"answer from {p[Ether].src}/{p[IP].src}, not the relay's addresses")
    if p[IP].tos != 0x10 or p[IP].ttl != 16 or p[IP].id != 0 or p[IP].ihl != 5:
        problems.append(f"answer header tos {p[IP].tos:#x} ttl {p[IP].ttl} id {p[IP].id}")
    # The message through END, zero-padded to 300 bytes when shorter.
    n = dhcp_len(b)
    if p[IP].len != len(b) + 28 or p[UDP].len != len(b) + 8 or n is None or len(b) != max(n, 300) or any(b[n:]):
        problems.append(f"answer lengths ip {p[IP].len} udp {p[UDP].len} for {len(b)} bytes, {n} through END")
    if not checksums_ok(p):
        problems.append("answer checksums do not verify")
    if p[BOOTP].xid in (0xa2, 0xa4, 0xa5):
        problems.append(f"answer {p[BOOTP].xid:#x} should have been dropped")
    elif p[BOOTP].xid == 0xa1:
        seen["long"] = seen.get("long", 0) + 1
        if len(b) != 240 + 3 + 77 + 42 + 1:
            problems.append(f"long answer delivered with {len(b)} bytes")
    elif p[BOOTP].xid == 0xa3:
        seen["no address"] = seen.get("no address", 0) + 1
        if p[Ether].dst != "ff:ff:ff:ff:ff:ff" or p[IP].dst != "255.255.255.255":
            problems.append(f"answer without yiaddr and ciaddr went to {p[Ether].dst}/{p[IP].dst}")
    elif p[BOOTP].xid == 0x1f2e3d4c:
        seen["inform"] += 1
        if yiaddr != "0.0.0.0" or p[IP].dst != "198.51.100.77" or p[Ether].dst != client_mac:
            problems.append(f"DHCPINFORM answer went to {p[Ether].dst}/{p[IP].dst}")
    elif b[10] & 0x80:
        seen["broadcast"] += 1
        if p[Ether].dst != "ff:ff:ff:ff:ff:ff" or p[IP].dst != "255.255.255.255":
            problems.append(f"broadcast answer went to {p[Ether].dst}/{p[IP].dst}")
    else:
        seen["unicast"] += 1
        if p[Ether].dst != client_mac or p[IP].dst != yiaddr:
            problems.append(f"unicast answer went to {p[Ether].dst}/{p[IP].dst}, yiaddr {yiaddr}")
for kind, n in seen.items():
    if n == 0:
        problems.append(f"no {kind} answer on the client segment")
print(f"answers on the client segment: {seen}; requests forwarded: {len(forwarded)}")
if problems:
    print("FAIL: " + "\n      ".join(problems))
    sys.exit(1)
PY
echo "PASS"
