#!/usr/bin/env bash
# Interoperability: real leases through the relay for every pair of server
# and client that operators run. DHCPv4: dnsmasq, ISC dhcpd and Kea, each
# with busybox udhcpc, ISC dhclient and dhcpcd; DHCPv6: dnsmasq, ISC dhcpd
# -6 and Kea, each with dhclient -6 and dhcpcd. Kea does not pad its answers
# to 300 bytes: its offers to udhcpc are some 280 bytes long.
#
# One topology for the whole matrix (KV_IPV6=1, three segments) and one
# relay for both families; for each server in turn, its DHCPv4 and DHCPv6
# daemons run side by side and every client runs at once, one segment per
# client, so that a server's row costs about one lease's time. A lease must
# come from the client's own segment's range (the server picked it by the
# relay's giaddr or link-address). Every client then releases its lease,
# and the server must log the release: a DHCPv6 Release goes to the
# servers' multicast address, through the relay; a DHCPv4 release goes by
# unicast to the server, from the address the client put on its interface,
# through the relay's namespace as its router.
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq dhcpd kea-dhcp4 kea-dhcp6 busybox dhclient dhcpcd; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done

KV_IPV6=1
kv_topology 3
cat >"$KV_TMP/relay.conf" <<CONF
[servers]
$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]} ${KV_IF_RELAY[3]}
[servers6]
$KV_IP6_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]} ${KV_IF_RELAY[3]}
CONF
# DHCPv4 releases go by unicast to the server, through the relay's
# namespace as the clients' router.
ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv4.ip_forward=1
KV_LISTEN_COUNT=6 kv_start_relay relay -f "$KV_TMP/relay.conf"
# Files dhcpcd leaves behind, named by interface (the cells run in
# subshells, whose additions to the teardown would be lost).
for seg in 1 2 3; do
    KV_CLEANUP+=("rm -f /var/lib/dhcpcd/${KV_IF_CLIENT[seg]}.lease /var/lib/dhcpcd/${KV_IF_CLIENT[seg]}.lease6")
done

# The matrix: family, client, segment. Each row is run against every server.
CELLS=(
    "4 udhcpc 1"
    "4 dhclient 2"
    "4 dhcpcd 3"
    "6 dhclient 1"
    "6 dhcpcd 2"
)
LIMIT=8 # seconds a client may take for its lease

# lease FAMILY CLIENT SEG NAME: one client's lease, printed (empty without);
# the client releases it before it is done.
lease() {
    local family=$1 client=$2 seg=$3 name=$4 ns=${KV_NS_CLIENT[$3]} dev=${KV_IF_CLIENT[$3]}
    local KV_RELEASE=1
    case "$family $client" in
    "4 udhcpc") kv_udhcpc "$seg" 4 "$name" ;;
    "4 dhclient") kv_dhclient "$seg" "$LIMIT" "$name" ;;
    "4 dhcpcd") kv_dhcpcd4 "$ns" "$dev" "$LIMIT" "$name" ;;
    "6 dhclient") kv_dhclient6 "$ns" "$dev" "$LIMIT" "$name" ;;
    "6 dhcpcd") kv_dhcpcd6 "$ns" "$dev" "$LIMIT" "$name" ;;
    esac
}

# in_segment FAMILY SEG ADDRESS: the address lies in the segment's range.
in_segment() {
    if [ "$1" = 4 ]; then
        kv_in_range "$2" "$3"
    else
        [[ $3 =~ ^2001:db8:0:$2::1[0-9a-f][0-9a-f]$ ]]
    fi
}

# released SERVER FAMILY ADDRESS: the server's log tells of a release of
# ADDRESS.
released() {
    local server=$1 family=$2 address=$3 log pattern duid
    case "$server $family" in
    "dnsmasq 4") log=$KV_TMP/dnsmasq.log pattern="DHCPRELEASE\\(.*\\) $address " ;;
    "dnsmasq 6")
        # Its release line names the client by DUID; its reply line gives
        # the client's DUID with the address.
        log=$KV_TMP/dnsmasq6.log
        duid=$(grep -E "DHCPREPLY\\(.*\\) $address " "$log" | head -n 1 | awk '{ print $5 }')
        pattern="DHCPRELEASE\\(.*\\) ${duid:-no-reply} "
        ;;
    "dhcpd 4") log=$KV_TMP/dhcpd.log pattern="DHCPRELEASE of $address " ;;
    "dhcpd 6") log=$KV_TMP/dhcpd6.log pattern="releases address $address\$" ;;
    "kea 4") log=$KV_TMP/kea4.log pattern="DHCP4_RELEASE .*address $address was released" ;;
    "kea 6") log=$KV_TMP/kea6.log pattern="DHCP6_RELEASE_NA .*address $address and" ;;
    esac
    kv_wait_for 3 grep -qE "$pattern" "$log"
}

# row SERVER: every cell against one server, at once.
row() {
    local server=$1 cell family client seg name ip jobs=()
    for cell in "${CELLS[@]}"; do
        read -r family client seg <<<"$cell"
        name="$server-v$family-$client"
        lease "$family" "$client" "$seg" "$name" >"$KV_TMP/$name.got" &
        jobs+=($!)
    done
    # Each client's wait is bounded; the servers and the relay run on.
    wait "${jobs[@]}"
    for cell in "${CELLS[@]}"; do
        read -r family client seg <<<"$cell"
        name="$server-v$family-$client"
        ip=$(head -n 1 "$KV_TMP/$name.got")
        if [ -z "$ip" ]; then
            kv_check_fail "DHCPv$family: $client got no lease from $server"
        elif ! in_segment "$family" "$seg" "$ip"; then
            kv_check_fail "DHCPv$family: $client on segment $seg got $ip from $server, not from its segment's range"
        elif ! released "$server" "$family" "$ip"; then
            kv_check_fail "DHCPv$family: $client's release of $ip did not reach $server"
        else
            kv_pass "DHCPv$family: $client on segment $seg got $ip from $server and released it"
        fi
    done
}

dhcpd6_conf() {
    local seg
    for seg in 1 2 3; do
        echo "subnet6 2001:db8:0:$seg::/64 { range6 2001:db8:0:$seg::100 2001:db8:0:$seg::1ff; }"
    done
}

# answer_sizes NAME: what udhcpc on segment 1 was sent, from the capture
# NAME: "<frames> <padded>", the DHCPv4 answers and those among them whose
# message was shorter than 300 bytes and went out zero-padded to 300. A
# frame with less than 300 bytes of message counts as neither, and fails.
answer_sizes() {
    kv_frames dump "$(kv_pcap "$1")" --op 2 | "$KV_PYTHON" -c '
import json, sys
frames = [json.loads(line) for line in sys.stdin]
ok = [f for f in frames if f["payload_len"] >= 300 and f["after_end_zero"] == "yes"]
padded = [f for f in ok if f["msg_len"] < 300 and f["payload_len"] == 300]
print(len(frames) if len(ok) == len(frames) else -1, len(padded))'
}

# server NAME START4 START6 [ARGS6]: one server's row, with its DHCPv4 and
# DHCPv6 daemons started before and stopped after it. Answers to udhcpc
# (segment 1) are captured: each one must carry at least 300 bytes of
# message; Kea's are shorter than 300 and must arrive padded.
server() {
    local name=$1 v4 v6 capture sizes
    "$2"
    v4=$KV_LAST_PID
    "$3" "${@:4}"
    v6=$KV_LAST_PID
    kv_tcpdump "$name-answers" "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp dst port 68
    capture=$KV_LAST_PID
    row "$name"
    kv_stop "$capture"
    sizes=$(answer_sizes "$name-answers")
    read -r frames padded <<<"$sizes"
    if [ "${frames:--1}" -le 0 ]; then
        kv_check_fail "$name: answers to udhcpc with less than 300 bytes of message, or none ($sizes)"
    elif [ "$name" = kea ] && [ "$padded" -eq 0 ]; then
        kv_check_fail "kea: no short answer to udhcpc was seen padded to 300 bytes ($sizes)"
    else
        kv_pass "$name: $frames answer(s) to udhcpc, $padded with a message under 300 bytes, each carrying 300 bytes, zero after END"
    fi
    kv_stop "$v4"
    kv_stop "$v6"
}

server dnsmasq kv_start_dnsmasq kv_start_dnsmasq6
server dhcpd kv_start_dhcpd kv_start_dhcpd6 "$(dhcpd6_conf)"
server kea kv_start_kea4 kv_start_kea6

kv_relay_alive || kv_check_fail "the relay is no longer running"
kv_finish
