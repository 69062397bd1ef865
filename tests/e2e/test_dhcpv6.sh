#!/usr/bin/env bash
# DHCPv6 relaying end to end: the configuration's warnings and options; real clients (ISC dhclient -6, dhcpcd) get
# addresses from dnsmasq and ISC dhcpd -6, and a delegated prefix from dhcpd,
# through the relay on two links and through two relays in a chain; the
# server's capture shows the Relay-Forward fields exactly; crafted messages
# probe the drops (malformed, not relayed, hop limit, fragmented), the types
# that go up (DHCPv4-over-DHCPv6 queries, unknown ones), the Relay-Reply
# matching (Interface-ID, link-address, none) and its trust checks (sender,
# peer-address).
#
# Layout: KV_IPV6=1 topology with three segments. Segments 1 and 2 have
# clients; segment 3's namespace runs a second relay whose upper side is
# segment 3 (it sends to ff02::1:2 there) and whose lower link holds one
# more client: its messages reach the server wrapped twice.
source "$(dirname "$0")/lib.sh"

KV_IPV6=1
kv_topology 3
kv_chain_segment 3
for seg in 1 2 3; do
    LL_CLIENT[seg]=$(kv_link_local "${KV_NS_CLIENT[seg]}" "${KV_IF_CLIENT[seg]}")
done
LL_INNER_CLIENT=$(kv_link_local "$KV_NS_INNER_CLIENT" "$KV_IF_INNER_CLIENT")

STATS=$KV_TMP/kestivane.prom
metrics() { "$KV_PYTHON" "$KV_DIR/metrics.py" "$@"; }
cat >"$KV_TMP/relay.conf" <<CONF
[options]
stats_file=$STATS
stats_interval=1
[servers6]
$KV_IP6_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]} ${KV_IF_RELAY[3]}
CONF
cat >"$KV_TMP/inner.conf" <<CONF
[servers6]
ff02::1:2%${KV_IF_CLIENT[3]} $KV_IF_INNER
CONF

kv_start_dnsmasq6 "--dhcp-range=2001:db8:0:13::100,2001:db8:0:13::1ff,64,10m"
kv_tcpdump srvlines "$KV_NS_SERVER" "$KV_IF_SERVER" udp port 547
LINES_TCPDUMP=$KV_LAST_PID
kv_tcpdump link1 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp port 546 or udp port 547
# A host on the server's link that is no server has a deprecated address
# there, which nothing else picks as its source.
ROGUE=2001:db8:ff::66
ip -n "$KV_NS_SERVER" addr add "$ROGUE/64" dev "$KV_IF_SERVER" nodad preferred_lft 0
REPLY="--iface $KV_IF_SERVER --to $KV_IP6_UPLINK --sport 1547 --relay-type 13 --relay 0 --type 7"

# ----- configuration: lines that cannot be used are skipped, each with its
# warning; the options turn the Interface-ID and option 79 off; a wrong
# value stops the start; answer_sources=any takes Relay-Replies from
# anyone, to unicast peers only. An interface without IPv6 for one case:
NOV6="n6k$KV_ID"
ip -n "$KV_NS_RELAY" link add "$NOV6" type veth peer name "n6pk$KV_ID"
ip netns exec "$KV_NS_RELAY" sysctl -qw "net.ipv6.conf.$NOV6.disable_ipv6=1"
ip -n "$KV_NS_RELAY" link set "$NOV6" up
cat >"$KV_TMP/lines.conf" <<CONF
[options]
v6_interface_id=off
V6_LINK_LAYER_ADDRESS=off
answer_sources=any
[servers6]
$KV_IP6_SERVER%nosuch0 ${KV_IF_RELAY[1]}
fe80::1 ${KV_IF_RELAY[1]}
ff02::1:2 ${KV_IF_RELAY[1]}
[2001:db8:ff::2]:0 ${KV_IF_RELAY[1]}
[2001:db8:ff::2 ${KV_IF_RELAY[1]}
2001:db8:ff::zz ${KV_IF_RELAY[1]}
2001:db8:ff::3 nosuch1 $NOV6
[$KV_IP6_SERVER]:547 nosuch2	${KV_IF_RELAY[1]}
CONF
KV_LISTEN_COUNT=1 kv_start_relay lines -f "$KV_TMP/lines.conf"
for text in "DHCPv6 server 2001:db8:ff::2: interface nosuch0 does not exist." \
    "DHCPv6 server fe80::1: a link-local or multicast address needs %<interface>." \
    "DHCPv6 server ff02::1:2: a link-local or multicast address needs %<interface>." \
    "DHCPv6 server [2001:db8:ff::2]:0: not [address]:port." \
    "DHCPv6 server [2001:db8:ff::2: not [address]:port." \
    "DHCPv6 server 2001:db8:ff::zz: not an IPv6 address." \
    "Interface nosuch1 does not exist. Ignored." \
    "Interface $NOV6 has no IPv6 address. Ignored." \
    "DHCPv6 server 2001:db8:ff::3 serves no interface. Ignored." \
    "Interface nosuch2 does not exist. Ignored." \
    "DHCPv6 server #1: [$KV_IP6_SERVER]:547" "Total DHCPv6 interfaces: 1"; do
    grep -qF -- "$text" "$KV_RELAY_LOG" || kv_check_fail "configuration: no log line '$text'"
done
kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" --xid 0x300 --wait "$(kv_pcap srvlines)" &&
    kv_frames check "$(kv_pcap srvlines)" --xid 0x300 --where msg_type=12 option_codes=9 \
        link_address=2001:db8:0:1::1 ||
    kv_check_fail "with both options off, a Relay-Forward carries more than its message"
# shellcheck disable=SC2086
kv_frames_in "$KV_NS_SERVER" send6 $REPLY --src "$ROGUE" --xid 0x301 --peer "${LL_CLIENT[1]}" \
    --iface-id "${KV_IF_RELAY[1]}" --wait "$(kv_pcap link1)" || kv_check_fail "answer_sources=any: no delivery"
text="DHCPv6 Relay-Reply from $ROGUE for peer-address ff02::1 -- dropped"
# shellcheck disable=SC2086
kv_frames_in "$KV_NS_SERVER" send6 $REPLY --src "$ROGUE" --xid 0x302 --peer ff02::1 --iface-id "${KV_IF_RELAY[1]}"
kv_wait_log "$KV_RELAY_LOG" "$text" 1 3 || kv_check_fail "answer_sources=any: no log line '$text'"
# A relay without DHCPv4 sums up a flood on time, although the message
# never comes again.
kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" --raw 011234 --count 40
kv_check_log_flood "$KV_RELAY_LOG" "Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]} -- dropped" \
    "${KV_IF_RELAY[1]}" 40 2
kv_stop "$KV_RELAY_PID"
kv_stop "$LINES_TCPDUMP"
printf '[options]\nv6_interface_id=yes\n' >"$KV_TMP/wrong.conf"
out=$("$KESTIVANE" -d -f "$KV_TMP/wrong.conf" 2>&1)
rc=$?
[ "$rc" = 1 ] && [[ "$out" == *"Wrong v6_interface_id value (on or off). Line: 2"* ]] ||
    kv_check_fail "a wrong v6_interface_id value: exit $rc, '$out'"

# ----- the relays for the rest, the outer one with a DHCPv4 line beside
printf '[servers]\n%s %s\n' "$KV_IP_SERVER" "${KV_IF_RELAY[1]}" >>"$KV_TMP/relay.conf"
KV_LISTEN_COUNT=4 kv_start_relay relay -f "$KV_TMP/relay.conf"
OUTER_PID=$KV_RELAY_PID
kv_bg inner "${KV_NS_CLIENT[3]}" "$KESTIVANE" -d -f "$KV_TMP/inner.conf"
INNER_PID=$KV_LAST_PID
kv_wait_log "$KV_TMP/inner.log" "Listen at $KV_IF_INNER" || kv_fail "the inner relay did not start"

kv_tcpdump srv "$KV_NS_SERVER" "$KV_IF_SERVER" udp port 547
SRV=$(kv_pcap srv)
kv_tcpdump link2 "${KV_NS_CLIENT[2]}" "${KV_IF_CLIENT[2]}" udp port 546 or udp port 547

# in_prefix ADDRESS PREFIX: ADDRESS starts with PREFIX (both as printed).
in_prefix() { case "$1" in "$2"*) return 0 ;; esac; return 1; }

# ----- real clients through the relay: client, namespace, interface, what
# the address must start with
lease_cases() {
    local server=$1 seg_prefix=$2
    while read -r client ns dev want; do
        case "$client" in
        dhclient) got=$(kv_dhclient6 "$ns" "$dev" 8 "dhclient6-$server-$dev") ;;
        dhclient-pd) got=$(kv_dhclient6 "$ns" "$dev" 8 "dhclient6pd-$server-$dev" -P) ;;
        dhcpcd) got=$(kv_dhcpcd6 "$ns" "$dev" 8 "dhcpcd6-$server-$dev") ;;
        esac
        if [ -n "$got" ] && in_prefix "$got" "$want"; then
            kv_pass "$server: $client on $dev got $got"
        else
            kv_check_fail "$server: $client on $dev got '${got:-nothing}', expected $want..."
        fi
    done
}

lease_cases dnsmasq <<CASES
dhclient ${KV_NS_CLIENT[1]} ${KV_IF_CLIENT[1]} 2001:db8:0:1::1
dhcpcd ${KV_NS_CLIENT[2]} ${KV_IF_CLIENT[2]} 2001:db8:0:2::1
dhclient $KV_NS_INNER_CLIENT $KV_IF_INNER_CLIENT 2001:db8:0:13::1
CASES

# ----- what the server saw: every Relay-Forward of each client, exactly
check_forwards() {
    local what=$1
    shift
    if kv_frames check "$SRV" --at-least 2 "$@"; then kv_pass "$what"; else kv_check_fail "$what"; fi
}
check_forwards "Relay-Forward of a client on link 1" --where msg_type=12 --where "peer_address=${LL_CLIENT[1]}" \
    ip6_src="$KV_IP6_UPLINK" udp_sport=547 udp_dport=547 hop_count=0 link_address=2001:db8:0:1::1 \
    "interface_id=${KV_IF_RELAY[1]}" "client_lladdr=1/${KV_MAC_CLIENT[1]}" option_codes=9,18,79 depth=1
check_forwards "Relay-Forward of a client on link 2" --where msg_type=12 --where "peer_address=${LL_CLIENT[2]}" \
    hop_count=0 link_address=2001:db8:0:2::1 "interface_id=${KV_IF_RELAY[2]}" \
    "client_lladdr=1/${KV_MAC_CLIENT[2]}" option_codes=9,18,79 depth=1
LL_INNER_UP=$(kv_link_local "${KV_NS_CLIENT[3]}" "${KV_IF_CLIENT[3]}")
check_forwards "Relay-Forward of the inner relay, forwarded by the outer" --where msg_type=12 --where inner_type=12 \
    hop_count=1 link_address=2001:db8:0:3::1 "peer_address=$LL_INNER_UP" "interface_id=${KV_IF_RELAY[3]}" \
    client_lladdr=none option_codes=9,18 depth=2 inner_hop_count=0 "inner_link_address=$KV_IP6_INNER" \
    "inner_peer_address=$LL_INNER_CLIENT" "inner_interface_id=$KV_IF_INNER" \
    "inner_client_lladdr=1/$KV_MAC_INNER_CLIENT"

# ----- each client's Reply on its own link only
for pair in "1 2" "2 1"; do
    read -r own other <<<"$pair"
    if kv_frames check "$(kv_pcap "link$own")" --at-least 1 --where msg_type=7 --where "ip6_dst=${LL_CLIENT[own]}" \
        udp_sport=547 udp_dport=546 &&
        kv_frames check "$(kv_pcap "link$other")" --count 0 --where "ip6_dst=${LL_CLIENT[own]}"; then
        kv_pass "replies to the client of link $own on link $own only"
    else
        kv_check_fail "replies to the client of link $own: not on link $own alone"
    fi
done

# ----- crafted messages from link 1: each dropped one leaves its log line
# and nothing at the server. Name, send6 arguments, log text. Over 1500
# bytes, a message leaves the client in fragments.
LOG=$KV_TMP/relay.log
BIG_OPTIONS=00110640$(printf '00%.0s' {1..1600})
count_forwards() { kv_frames count "$SRV" --where msg_type=12 --where "peer_address=${LL_CLIENT[1]}"; }
before=$(count_forwards)
drops=0
while IFS='|' read -r name args text; do
    n=$(kv_count_lines "$LOG" "$text")
    # shellcheck disable=SC2086
    kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" $args
    if kv_wait_log "$LOG" "$text" $((n + 1)) 3; then kv_pass "dropped: $name"; else kv_check_fail "not dropped: $name"; fi
    drops=$((drops + 1))
done <<CASES
three bytes|--raw 011234|Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]}
option past the end|--raw 01abcdef00010010aabb|Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]}
option header cut|--raw 01abcdef000100|Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]}
Relay-Forward without a message|--raw 0c00$(printf '0%.0s' {1..64})|Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]}
Relay-Forward around a short one|--raw 0100 --relay 0|Malformed DHCPv6 message on interface ${KV_IF_RELAY[1]}
Advertise from below|--type 2 --xid 0x100|DHCPv6 message of a server on interface ${KV_IF_RELAY[1]}
Relay-Reply from below|--type 7 --relay 0 --relay-type 13|DHCPv6 message of a server on interface ${KV_IF_RELAY[1]}
DHCPv4-over-DHCPv6 response from below|--type 21 --xid 0x104|DHCPv6 message of a server on interface ${KV_IF_RELAY[1]}
hop count at the limit|--relay 8 --xid 0x101|DHCPv6 hop count limit reached on interface ${KV_IF_RELAY[1]}
fragmented|--options $BIG_OPTIONS --xid 0x105|Fragmented DHCPv6 datagram on interface ${KV_IF_RELAY[1]} -- dropped
CASES
# ----- messages that go up: name, xid, send6 arguments, the Relay-Forward
# the server sees. The first also marks the end of the drops, which took the
# same path before it.
ups=0
while IFS='|' read -r name xid args want; do
    # shellcheck disable=SC2086
    if kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" --xid "$xid" $args --wait "$SRV" &&
        kv_frames check "$SRV" --xid "$xid" --where msg_type=12 $want; then
        kv_pass "up: $name"
    else
        kv_check_fail "$name: no Relay-Forward with $want at the server"
    fi
    ups=$((ups + 1))
done <<CASES
Relay-Forward under the hop limit|0x102|--relay 7|hop_count=8 inner_hop_count=7 client_lladdr=none link_address=2001:db8:0:1::1
DHCPv4-over-DHCPv6 query|0x103|--type 20|hop_count=0 inner_type=20 depth=1 link_address=2001:db8:0:1::1 client_lladdr=1/${KV_MAC_CLIENT[1]}
unknown message type|0x106|--type 200|hop_count=0 inner_type=200 depth=1 link_address=2001:db8:0:1::1
the shortest message: 4 bytes, no options|0x107|--raw 0b000107|hop_count=0 inner_type=11 depth=1 link_address=2001:db8:0:1::1
CASES
# A message sent to the relay's own address goes up like the others, and
# its server socket, which holds port 547 on every link, must not take it
# as well (the server ignores a Solicit without a client id: nothing comes
# back from above meanwhile).
RELAY_LL1=$(kv_link_local "$KV_NS_RELAY" "${KV_IF_RELAY[1]}")
upper_received() { metrics value "$STATS" kestivane_v6_answers_received_total; }
sleep 1.2
upper_before=$(upper_received)
if kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" --xid 0x108 --to "$RELAY_LL1" \
    --options 00080002ffff --wait "$SRV" &&
    kv_frames check "$SRV" --xid 0x108 --where msg_type=12 hop_count=0 link_address=2001:db8:0:1::1; then
    kv_pass "up: unicast to the relay's link-local address"
else
    kv_check_fail "unicast to the relay's link-local address: no Relay-Forward at the server"
fi
ups=$((ups + 1))
sleep 1.2
[ "$(upper_received)" = "$upper_before" ] ||
    kv_check_fail "the server socket took a message from link 1: $upper_before, then $(upper_received) received"
after=$(count_forwards)
[ "$after" -eq $((before + ups)) ] || kv_check_fail "$((after - before - ups)) dropped message(s) reached the server"

# ----- Relay-Replies from the server: name, send6 arguments, the link
# where it must arrive (none: dropped, with the log text), its port.
while IFS='|' read -r name xid args link port text; do
    n=$(kv_count_lines "$LOG" "${text:-none}")
    # shellcheck disable=SC2086
    kv_frames_in "$KV_NS_SERVER" send6 $REPLY --xid "$xid" $args
    if [ "$link" = none ]; then
        kv_wait_log "$LOG" "$text" $((n + 1)) 3 || kv_check_fail "$name: no log line '$text'"
        continue
    fi
    if kv_wait_pcap "link$link" 1 3 --xid "$xid" &&
        kv_frames check "$(kv_pcap "link$link")" --xid "$xid" udp_sport=547 "udp_dport=$port"; then
        kv_pass "$name"
    else
        kv_check_fail "$name: not on link $link to port $port"
    fi
done <<CASES
by Interface-ID|0x200|--peer ${LL_CLIENT[1]} --iface-id ${KV_IF_RELAY[1]}|1|546|
by link-address|0x201|--peer ${LL_CLIENT[2]} --link 2001:db8:0:2::1|2|546|
Interface-ID before link-address|0x202|--peer ${LL_CLIENT[1]} --iface-id ${KV_IF_RELAY[1]} --link 2001:db8:0:2::1|1|546|
for a lower relay|0x203|--peer ${LL_CLIENT[1]} --relay 0 --iface-id ${KV_IF_RELAY[1]}|1|547|
the shortest Reply: 4 bytes, no options|0x20a|--peer ${LL_CLIENT[1]} --iface-id ${KV_IF_RELAY[1]} --raw 0700020a|1|546|
unknown Interface-ID, known link-address|0x204|--peer ${LL_CLIENT[2]} --iface-id nosuch0 --link 2001:db8:0:2::1|none||Destination interface not found for DHCPv6 Interface-ID: nosuch0
unknown link-address|0x205|--peer ${LL_CLIENT[1]} --link 2001:db8:0:9::1|none||Destination interface not found for DHCPv6 link-address: 2001:db8:0:9::1
Relay-Forward inside|0x206|--peer ${LL_CLIENT[1]} --type 12 --iface-id ${KV_IF_RELAY[1]}|none||Malformed DHCPv6 Relay-Reply
peer-address all nodes|0x207|--peer ff02::1 --iface-id ${KV_IF_RELAY[1]}|none||DHCPv6 Relay-Reply from $KV_IP6_SERVER for peer-address ff02::1 -- dropped
peer-address loopback|0x208|--peer ::1 --link 2001:db8:0:2::1|none||DHCPv6 Relay-Reply from $KV_IP6_SERVER for peer-address ::1 -- dropped
from a host that is no server|0x209|--src $ROGUE --peer ${LL_CLIENT[1]} --iface-id ${KV_IF_RELAY[1]}|none||DHCPv6 Relay-Reply from $ROGUE, not a server -- dropped
CASES
for xid in 0x204 0x205 0x206 0x207 0x208 0x209; do
    [ "$(kv_frames count "$(kv_pcap link1)" --xid "$xid")$(kv_frames count "$(kv_pcap link2)" --xid "$xid")" = 00 ] ||
        kv_check_fail "dropped Relay-Reply $xid delivered"
done
ip -n "$KV_NS_SERVER" addr del "$ROGUE/64" dev "$KV_IF_SERVER"
# The inner relay's server line names a group: its replies are taken only
# through that line's interface, not from its own host over loopback.
text="DHCPv6 Relay-Reply from ::1, not a server -- dropped"
n=$(kv_count_lines "$KV_TMP/inner.log" "$text")
kv_frames_in "${KV_NS_CLIENT[3]}" send6 --iface lo --to ::1 --sport 1547 --relay-type 13 --relay 0 --type 7 \
    --peer "$LL_INNER_CLIENT" --iface-id "$KV_IF_INNER" --xid 0x20a
kv_wait_log "$KV_TMP/inner.log" "$text" $((n + 1)) 3 || kv_check_fail "a multicast line's relay took a reply over loopback"

# ----- the counters of those drops, exactly, in the metrics file and the dump
R1=${KV_IF_RELAY[1]} R2=${KV_IF_RELAY[2]} R3=${KV_IF_RELAY[3]}
EXPECTED=("kestivane_v6_answers_dropped_total{reason=malformed}=1"
    "kestivane_v6_answers_dropped_total{reason=unmatched}=2"
    "kestivane_v6_answers_dropped_total{reason=receive_error}=0"
    "kestivane_v6_answers_dropped_total{reason=not_a_server}=1"
    "kestivane_v6_answers_dropped_total{reason=bad_peer_address}=2"
    "kestivane_v6_forward_errors_total{interface=$R1,server=[$KV_IP6_SERVER]:547}=0")
# reason: link 1, link 2
for row in malformed:5:0 not_relayed:3:0 hop_limit:1:0 too_long:0:0 fragmented:1:0; do
    IFS=: read -r reason n1 n2 <<<"$row"
    EXPECTED+=("kestivane_v6_requests_dropped_total{interface=$R1,reason=$reason}=$n1"
        "kestivane_v6_requests_dropped_total{interface=$R2,reason=$reason}=$n2")
done
if kv_wait_for 5 metrics check "$STATS" "${EXPECTED[@]}" 2>/dev/null; then
    kv_pass "v6 drop counters match the crafted messages (${#EXPECTED[@]} series)"
else
    metrics check "$STATS" "${EXPECTED[@]}"
    kv_check_fail "v6 drop counters differ from the crafted messages (above)"
fi
if metrics validate "$STATS"; then kv_pass "the file with v6 parses as Prometheus text"; else kv_check_fail "the file with v6 is not valid"; fi
if command -v promtool >/dev/null 2>&1; then
    promtool check metrics <"$STATS" || kv_check_fail "promtool refuses the file with v6"
fi
n=$(kv_count_lines "$LOG" "Counters of the DHCPv6 server socket: ")
kill -USR1 "$OUTER_PID"
if kv_wait_log "$LOG" "Counters of the DHCPv6 server socket: " $((n + 1)) 5; then
    grep -F "Counters of DHCPv6 interface $R1: " "$LOG" | tail -1 | grep -qF -- \
        " v6_requests_dropped{malformed}=5 v6_requests_dropped{not_relayed}=3 v6_requests_dropped{hop_limit}=1 v6_requests_dropped{fragmented}=1 " ||
        kv_check_fail "SIGUSR1: the line of $R1 lacks its drops"
    grep -F "Counters of the DHCPv6 server socket: " "$LOG" | tail -1 |
        grep -qE -- " v6_answers_received=[0-9]+ v6_answers_dropped\{malformed\}=1 v6_answers_dropped\{unmatched\}=2 v6_answers_dropped\{not_a_server\}=1 v6_answers_dropped\{bad_peer_address\}=2$" ||
        kv_check_fail "SIGUSR1: the server socket's line lacks its drops"
    grep -qF "Counters of DHCPv6 interface $R3: " "$LOG" || kv_check_fail "SIGUSR1: no line for $R3"
    kv_pass "SIGUSR1 dump of the v6 counters"
else
    kv_check_fail "SIGUSR1 logged no v6 server socket line"
fi

# ----- the health alarm of a lower interface, by the DHCPv4 rule and lines:
# Solicits from link 2 that the server ignores (no client id) for more than
# six intervals raise it; a Relay-Reply delivered on link 2 clears it.
ALARM="Interface $R2: requests forwarded to [$KV_IP6_SERVER]:547 for 6 seconds without an answer"
CLEARED="Interface $R2: answers from the servers again"
for n in $(seq 1 18); do
    kv_frames_in "${KV_NS_CLIENT[2]}" send6 --iface "${KV_IF_CLIENT[2]}" --xid $((0x400 + n)) --options 00080002ffff
    kv__has_lines "$LOG" "$ALARM" 1 && break
    sleep 0.4
done
if kv_wait_log "$LOG" "$ALARM" 1 3; then kv_pass "v6 alarm raised"; else kv_check_fail "no v6 alarm line: $ALARM"; fi
kv_wait_for 3 metrics check "$STATS" "kestivane_answer_alarm{interface=$R2}=1" "kestivane_answer_alarm{interface=$R3}=0" ||
    kv_check_fail "the metrics file does not show the v6 alarm"
kv_frames_in "$KV_NS_SERVER" send6 $REPLY --xid 0x420 --peer "${LL_CLIENT[2]}" --iface-id "$R2"
if kv_wait_log "$LOG" "$CLEARED" 1 5; then kv_pass "v6 alarm cleared"; else kv_check_fail "no v6 clearing line"; fi
kv_wait_for 3 metrics check "$STATS" "kestivane_answer_alarm{interface=$R2}=0" ||
    kv_check_fail "the metrics file still shows the v6 alarm"
[ "$(kv_count_lines "$LOG" "without an answer")" -eq 1 ] || kv_check_fail "not exactly one alarm line"

# ----- a flood of malformed messages on link 2 (none there before): its
# lines are limited per link like the DHCPv4 ones
kv_frames_in "${KV_NS_CLIENT[2]}" send6 --iface "${KV_IF_CLIENT[2]}" --raw 011234 --count 40
kv_check_log_flood "$LOG" "Malformed DHCPv6 message on interface $R2 -- dropped" "$R2" 40 2

kv_relay_alive || kv_check_fail "the relay died"
kill -0 "$INNER_PID" 2>/dev/null || kv_check_fail "the inner relay died"
kv_stop "$KV_DNSMASQ_PID"

# ----- ISC dhcpd -6: addresses on both links and a delegated prefix
kv_start_dhcpd6 "
subnet6 2001:db8:0:1::/64 {
  range6 2001:db8:0:1::200 2001:db8:0:1::2ff;
  prefix6 2001:db8:5:: 2001:db8:5:f00:: /56;
}
subnet6 2001:db8:0:2::/64 { range6 2001:db8:0:2::200 2001:db8:0:2::2ff; }
subnet6 2001:db8:0:13::/64 { range6 2001:db8:0:13::200 2001:db8:0:13::2ff; }"
lease_cases dhcpd <<CASES
dhclient ${KV_NS_CLIENT[1]} ${KV_IF_CLIENT[1]} 2001:db8:0:1::2
dhcpcd ${KV_NS_CLIENT[2]} ${KV_IF_CLIENT[2]} 2001:db8:0:2::2
dhclient-pd ${KV_NS_CLIENT[1]} ${KV_IF_CLIENT[1]} 2001:db8:5:
dhclient $KV_NS_INNER_CLIENT $KV_IF_INNER_CLIENT 2001:db8:0:13::2
CASES

kv_relay_alive || kv_check_fail "the relay died"
kv_stop "$KV_DHCPD_PID"
kv_stop "$INNER_PID"
kv_stop "$OUTER_PID"

# ----- relay_port: both relays send from their own port (the outer 5547,
# the inner 5548) and say so in option 135; Kea answers the outer relay's
# port, the outer relay hands the inner one's reply to the port its option
# names, and both clients lease.
cat >"$KV_TMP/port.conf" <<CONF
[options]
relay_port=5547
[servers6]
$KV_IP6_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[3]}
CONF
printf '[options]\nrelay_port=5548\n[servers6]\nff02::1:2%%%s %s\n' "${KV_IF_CLIENT[3]}" "$KV_IF_INNER" \
    >"$KV_TMP/inner-port.conf"
kv_start_kea6 "2001:db8:0:13::/64"
kv_tcpdump portsrv "$KV_NS_SERVER" "$KV_IF_SERVER" udp
KV_LISTEN_COUNT=2 kv_start_relay port -f "$KV_TMP/port.conf"
kv_bg inner-port "${KV_NS_CLIENT[3]}" "$KESTIVANE" -d -f "$KV_TMP/inner-port.conf"
INNER_PID=$KV_LAST_PID
kv_wait_log "$KV_TMP/inner-port.log" "Listen at $KV_IF_INNER" || kv_fail "the inner relay did not start"
kv_udp_bound "$KV_NS_RELAY" 5547 || kv_check_fail "relay_port: the relay has no socket on port 5547"
if got=$(kv_dhclient6 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" 8 dhclient6-port) && in_prefix "$got" 2001:db8:0:1::; then
    kv_pass "relay_port: dhclient -6 on link 1 leased $got from Kea"
else
    kv_check_fail "relay_port: no lease on link 1 (got '${got:-}')"
fi
if got=$(kv_dhclient6 "$KV_NS_INNER_CLIENT" "$KV_IF_INNER_CLIENT" 8 dhclient6-port-inner) &&
    in_prefix "$got" 2001:db8:0:13::; then
    kv_pass "relay_port: dhclient -6 behind both relays leased $got from Kea"
else
    kv_check_fail "relay_port: no lease behind both relays (got '${got:-}')"
fi
sleep 0.3
SRV=$(kv_pcap portsrv) # what check_forwards reads
check_forwards "relay_port: a client's Relay-Forward leaves from 5547 with option 135 = 0" \
    --where msg_type=12 --where "peer_address=${LL_CLIENT[1]}" udp_sport=5547 udp_dport=547 \
    relay_source_port=0000 option_codes=9,18,79,135 depth=1
check_forwards "relay_port: the inner relay's port 5548 named in the outer option 135, 0 in its own" \
    --where msg_type=12 --where inner_type=12 udp_sport=5547 relay_source_port=15ac option_codes=9,18,135 \
    inner_relay_source_port=0000 depth=2
if kv_frames check "$SRV" --where msg_type=13 --at-least 4 udp_sport=547 udp_dport=5547; then
    kv_pass "relay_port: Kea answers to port 5547"
else
    kv_check_fail "relay_port: Kea did not answer to port 5547"
fi
kv_relay_alive || kv_check_fail "the relay died"
kv_finish
