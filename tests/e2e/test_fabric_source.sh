#!/usr/bin/env bash
# Relaying from a source interface on a fabric's edge: two leaves on one
# bridged client segment, both with the anycast gateway 198.51.100.1, each
# sending from its own loopback address (kv_fabric_topology). Kea (link
# selection alone) must lease from the segment's pool; dnsmasq (it
# honours link selection and server-identifier override, doc/interop.md)
# must lease from the client segment's pool although giaddr is a loopback,
# name the gateway as its server, and acknowledge the client's renewal sent
# there; the leaf that took the renewal relays it once (relay agent flags:
# unicast). Every answer the server sends is delivered once, also when the
# server routes every loopback through leaf 2 and leaf 2 routes leaf 1's on.
# The server sees sub-options 5 and 11 holding the gateway; the client never
# sees option 82. An answer at a loopback whose option 82 names no interface
# of that leaf is dropped and counted; reloads move the source address and
# the relay port; configuration errors name their line.
source "$(dirname "$0")/lib.sh"
for tool in dnsmasq kea-dhcp4 busybox tcpdump strace; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done

kv_fabric_topology 2
metrics() { "$KV_PYTHON" "$KV_DIR/metrics.py" "$@"; }
GW_HEX=$(printf '%02x' ${KV_IP_RELAY[1]//./ })
SERVER_MAC=$(kv_mac "$KV_NS_SERVER" "$KV_IF_SERVER")

# Starts the relay of leaf L with its source interface and server-identifier
# override on or off (default on); LEAF_PID[L], LEAF_LOG[L].
LEAF_PID=() LEAF_LOG=()
start_leaf() {
    local l=$1 name=$2 conf="$KV_TMP/$2.conf"
    printf '%s\n' "[options]" "sandbox=on" "stats_file=$KV_TMP/$2.prom" "stats_interval=1" \
        "source_interface.${KV_IF_LEAF[l]}=lo" "server_id_override.${KV_IF_LEAF[l]}=${3:-on}" \
        "[servers]" "$KV_IP_SERVER ${KV_IF_LEAF[l]}" >"$conf"
    KV_NS_RELAY=${KV_NS_LEAF[l]}
    kv_start_relay "$name" -f "$conf"
    kv_wait_log "$KV_RELAY_LOG" "Send from ${KV_IP_LOOP[l]} for ${KV_IF_LEAF[l]} (lo)" 1 2 ||
        kv_check_fail "$name: no line naming the source address"
    LEAF_PID[l]=$KV_RELAY_PID LEAF_LOG[l]=$KV_RELAY_LOG
}

# case | how the server reaches the loopbacks | server. dnsmasq honours
# server-identifier override: the client renews through the gateway. Kea
# honours link selection alone: the leaves write no override, and the
# client only leases (its renewals would go to Kea's own address).
CASES=(
    "direct|direct|dnsmasq"
    "through-leaf-2|via 2|dnsmasq"
    "kea-through-leaf-2|via 2|kea"
)
running=
for row in "${CASES[@]}"; do
    IFS='|' read -r name route server <<<"$row"
    if [ "$server" != "$running" ]; then
        [ "$running" = dnsmasq ] && kv_kill "$KV_DNSMASQ_PID"
        if [ "$server" = kea ]; then kv_start_kea4; else kv_start_dnsmasq; fi
        running=$server
    fi
    override=on renewals=1
    [ "$server" = kea ] && override=off renewals=0
    kv_fabric_route $route
    kv_tcpdump "$name.client" "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp
    client_cap=$KV_LAST_PID
    kv_tcpdump "$name.server" "$KV_NS_SERVER" "$KV_IF_SERVER" "udp and (ether src $SERVER_MAC or ether dst $SERVER_MAC)"
    server_cap=$KV_LAST_PID
    start_leaf 1 "$name.leaf1" "$override"
    start_leaf 2 "$name.leaf2" "$override"
    if [ "$server" = kea ]; then
        if lease=$(kv_udhcpc 1 5 "$name.udhcpc") && kv_in_range 1 "$lease"; then
            kv_pass "$name: lease $lease from the segment's pool"
        else
            kv_check_fail "$name: no lease from the segment's pool (got '${lease:-}')"
        fi
    elif events=$(kv_udhcpc_renew 1 "$name.udhcpc"); then
        lease=$(echo "$events" | sed -n 's/^renew //p' | head -n 1)
        kv_in_range 1 "$lease" || kv_check_fail "$name: renewed '$lease', not from the segment's pool"
        kv_pass "$name: lease $lease from the segment's pool, renewed through the gateway"
    else
        kv_check_fail "$name: no lease renewed through the gateway (events: ${events:-none})"
    fi
    # One more metrics file of each leaf after the renewal.
    sleep 1.5
    kv_kill "$client_cap"
    kv_kill "$server_cap"
    kv_kill "${LEAF_PID[1]}"
    kv_kill "${LEAF_PID[2]}"
    ip -n "${KV_NS_CLIENT[1]}" -4 addr flush dev "${KV_IF_CLIENT[1]}"
    at_server=$(kv_pcap "$name.server") at_client=$(kv_pcap "$name.client")
    # The renewal: sent to the gateway, relayed once, with the unicast flag.
    kv_frames check "$at_client" --op 1 --where ip_dst="${KV_IP_RELAY[1]}" --count "$renewals" >/dev/null ||
        kv_check_fail "$name: the client did not send $renewals renewal(s) to the gateway"
    for l in 1 2; do
        kv_frames check "$at_server" --op 1 --where giaddr="${KV_IP_LOOP[l]}" --at-least 1 ip_src="${KV_IP_LOOP[l]}" ||
            kv_check_fail "$name: leaf $l relayed nothing from its loopback"
    done
    got=$(kv_option_hex "$at_server" 1 82 | sort | uniq -c | awk '{print $2 "x" $1}' | tr '\n' ' ')
    broadcast="0504${GW_HEX}0a01000b04${GW_HEX}" unicast="0504${GW_HEX}0a01800b04${GW_HEX}"
    if [ "$server" = kea ]; then
        [[ "$got" =~ ^0504${GW_HEX}x[0-9]+\ $ ]] || kv_check_fail "$name: option 82 at the server: '$got' (want 0504${GW_HEX})"
    else
        [[ "$got" == *"${broadcast}x"* && "$got" == *"${unicast}x1 "* && "$got" != *none* ]] ||
            kv_check_fail "$name: option 82 at the server: '$got' (want ${broadcast} and ${unicast} once)"
    fi
    # Every answer of the server delivered once, by the leaf it was for,
    # none with option 82; the renewal counted once, by the leaf that took
    # it, and not refused as a non-reply at the gateway's socket.
    unicast=0
    for l in 1 2; do
        mac=$(kv_mac "${KV_NS_LEAF[l]}" "${KV_IF_LEAF[l]}")
        sent=$(kv_frames count "$at_server" --op 2 --where ip_dst="${KV_IP_LOOP[l]}")
        seen=$(kv_frames count "$at_client" --op 2 --where giaddr="${KV_IP_LOOP[l]}" --where eth_src="$mac")
        [ "$sent" -ge 2 ] && [ "$sent" = "$seen" ] ||
            kv_check_fail "$name: the server sent $sent answers for leaf $l, leaf $l delivered $seen"
        n=$(metrics value "$KV_TMP/$name.leaf$l.prom" \
            "kestivane_unicast_requests_total{interface=${KV_IF_LEAF[l]}}") ||
            kv_check_fail "$name: leaf $l has no unicast request count"
        unicast=$((unicast + ${n%.*}))
        [ "$(kv_count_lines "${LEAF_LOG[l]}" "is not a reply")" = 0 ] ||
            kv_check_fail "$name: leaf $l refused a request at its socket"
    done
    [ "$unicast" = "$renewals" ] || kv_check_fail "$name: $unicast renewals counted, not $renewals"
    [ "$(kv_frames count "$at_server" --op 2)" = "$(kv_frames count "$at_client" --op 2)" ] ||
        kv_check_fail "$name: answers at the server and on the client segment differ in number"
    got=$(kv_option_hex "$at_client" 2 82 | sort -u | tr '\n' ' ')
    [ "$got" = "none " ] || kv_check_fail "$name: option 82 reached the client: $got"
    if [ "$server" = dnsmasq ]; then
        got=$(kv_option_hex "$at_client" 2 54 | sort -u | tr '\n' ' ')
        [ "$got" = "$GW_HEX " ] || kv_check_fail "$name: the client was told server $got, not the gateway"
    fi
    kv_sandbox_clean "$name" "${LEAF_LOG[1]}" "${LEAF_LOG[2]}"
done

# An answer at leaf 1's loopback naming no interface of leaf 1 (link
# selection 198.51.100.65): dropped and counted.
start_leaf 1 unknown.leaf1
kv_frames_in "$KV_NS_SERVER" answer --to "${KV_IP_LOOP[1]}" --bind "$KV_IP_SERVER" --giaddr "${KV_IP_LOOP[1]}" \
    --options 52060504c6336441 --xid 0x5f000002 || kv_fail "could not send the answer"
if kv_wait_log "${LEAF_LOG[1]}" "at a source address names no interface sending from it. Dropped." 1 3 &&
    line=$(kv_dump_line "${KV_IF_LEAF[1]}") && [[ "$line" == *"answers_dropped{unknown_link}=1"* ]]; then
    kv_pass "an answer naming no interface of the leaf is dropped and counted"
else
    kv_check_fail "an answer naming no interface: not dropped and counted (${line:-no dump})"
fi
kv_kill "${LEAF_PID[1]}"

# A check (-t) names the source address and opens no socket for it.
KV_NS_RELAY=${KV_NS_LEAF[1]}
kv_check_config check -f "$KV_TMP/unknown.leaf1.conf"
if [ "$KV_CHECK_STATUS" = 0 ] && grep -qF "Would send from ${KV_IP_LOOP[1]} for ${KV_IF_LEAF[1]} (lo)" "$KV_TMP/check.out"; then
    kv_pass "a check names the source address without opening sockets"
else
    kv_check_fail "check: status $KV_CHECK_STATUS, $(cat "$KV_TMP/check.out" "$KV_TMP/check.err")"
fi

# Reloads move leaf 1's source address and relay port while it runs (Kea
# answers to the port a request came from). After each, a client leases
# through it, the server answers at the row's giaddr and port alone, and
# the relay's sockets are the row's: nothing is left on the old address or
# port. A port another socket holds: one error line, and the relay stays
# where it was.
ip -n "${KV_NS_LEAF[1]}" addr add 192.0.2.101/32 dev lo
ip -n "$KV_NS_SERVER" route replace 192.0.2.101/32 via "${KV_IP_LEAF_UP[1]}"
kv_fabric_route direct
IF1=${KV_IF_LEAF[1]}
leaf_conf() {
    { printf '%s\n' "[options]" "sandbox=on"; tr ';' '\n' <<<"$1"; printf '%s\n' "[servers]" "$KV_IP_SERVER $IF1 ${2:-}"; } \
        >"$KV_TMP/moving.conf"
}
leaf_conf "source_interface.$IF1=lo"
KV_NS_RELAY=${KV_NS_LEAF[1]}
kv_start_relay moving -f "$KV_TMP/moving.conf"
kv_bg holder "${KV_NS_LEAF[1]}" "$KV_PYTHON" -c \
    'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 1069)); time.sleep(60)'
kv_wait_for 3 kv_udp_bound "${KV_NS_LEAF[1]}" 1069 || kv_fail "nothing holds port 1069"
# name | [options] lines (;) | giaddr | port | the reload line's end, or the error line
RELOADS=(
    "address|source_interface.$IF1=lo 192.0.2.101|192.0.2.101|67|, options source_interface"
    "port|source_interface.$IF1=lo 192.0.2.101;relay_port=1067|192.0.2.101|1067|, options relay_port"
    "both back|source_interface.$IF1=lo|${KV_IP_LOOP[1]}|67|, options relay_port, source_interface"
    "port taken|source_interface.$IF1=lo;relay_port=1069|${KV_IP_LOOP[1]}|67|Reload: relay_port stays as it was: bind at source address ${KV_IP_LOOP[1]}: Address already in use"
)
n=0
for row in "${RELOADS[@]}"; do
    IFS='|' read -r name options giaddr port said <<<"$row"
    n=$((n + 1))
    leaf_conf "$options"
    ms=$(kv_hup "$n")
    line=$(grep -E '^(Reloaded|Can.t reload) ' "$KV_RELAY_LOG" | sed -n "${n}p")
    if [[ "$said" == ,* ]]; then
        [ "$line" = "Reloaded $KV_TMP/moving.conf: interfaces +0 -0, servers +0 -0$said" ] ||
            kv_check_fail "reload $name: '$line' after $ms ms"
    else
        [ "$(kv_count_lines "$KV_RELAY_LOG" "$said")" = 1 ] && [ "$line" = "Reloaded $KV_TMP/moving.conf: interfaces +0 -0, servers +0 -0" ] ||
            kv_check_fail "reload $name: not one line '$said' and nothing applied ('$line')"
    fi
    kv_tcpdump "moving.$n" "$KV_NS_SERVER" "$KV_IF_SERVER" "udp and (ether src $SERVER_MAC or ether dst $SERVER_MAC)"
    cap=$KV_LAST_PID
    lease=$(kv_udhcpc 1 5 "moving.$n") && kv_in_range 1 "$lease" || kv_check_fail "reload $name: no lease (got '${lease:-}')"
    kv_wait_pcap "moving.$n" 2 2 --op 2 || true
    kv_kill "$cap"
    answers=$(kv_frames count "$(kv_pcap "moving.$n")" --op 2)
    here=$(kv_frames count "$(kv_pcap "moving.$n")" --op 2 --dport "$port" --where ip_dst="$giaddr")
    sockets=$(ip netns exec "${KV_NS_LEAF[1]}" ss -Huanp | grep "pid=$KV_RELAY_PID," | awk '{print $4}' | sort | tr '\n' ' ')
    want=$(printf '%s\n' "${KV_IP_RELAY[1]}:$port" "$giaddr:$port" | sort | tr '\n' ' ')
    if [ "$answers" -ge 2 ] && [ "$answers" = "$here" ] && [ "$sockets" = "$want" ]; then
        kv_pass "reload $name: in $ms ms; $answers answers at $giaddr port $port, lease $lease"
    else
        kv_check_fail "reload $name: $here of $answers answers at $giaddr port $port; sockets '$sockets', not '$want'"
    fi
done
# An interface that comes later (named while absent) sends from the source
# address, with link selection, as one opened at start-up does.
LATE="la$KV_ID"
leaf_conf "source_interface=lo" "$LATE"
kv_hup $((n + 1)) >/dev/null
ip -n "${KV_NS_LEAF[1]}" link add "$LATE" type veth peer name "lb$KV_ID"
ip -n "${KV_NS_LEAF[1]}" addr add 198.51.100.129/26 dev "$LATE"
ip -n "${KV_NS_LEAF[1]}" link set "lb$KV_ID" up
ip -n "${KV_NS_LEAF[1]}" link set "$LATE" up
kv_wait_log "$KV_RELAY_LOG" "Listen at $LATE" 1 3 || kv_check_fail "$LATE was not opened when it came"
kv_tcpdump late "$KV_NS_SERVER" "$KV_IF_SERVER" "udp and ether dst $SERVER_MAC"
cap=$KV_LAST_PID
kv_next_xid
kv_frames_in "${KV_NS_LEAF[1]}" request "lb$KV_ID" --xid "$KV_XID" --wait "$(kv_pcap late)" >/dev/null ||
    kv_check_fail "$LATE: the request did not reach the server"
kv_kill "$cap"
if kv_frames check "$(kv_pcap late)" --xid "$KV_XID" giaddr="${KV_IP_LOOP[1]}" ip_src="${KV_IP_LOOP[1]}" >/dev/null &&
    [ "$(kv_option_hex "$(kv_pcap late)" 1 82)" = "0504c6336481" ]; then
    kv_pass "$LATE, come later, sends from ${KV_IP_LOOP[1]} with link selection"
else
    kv_check_fail "$LATE, come later: $(kv_frames dump "$(kv_pcap late)" --xid "$KV_XID")"
fi
kv_sandbox_clean moving "$KV_RELAY_LOG"
kv_kill "$KV_RELAY_PID"

# Configuration errors.
ERRORS=(
    "source_interface.${KV_IF_LEAF[1]}=|Wrong source_interface value (interface [address]). Line: 2"
    "source_interface.=lo|Wrong interface name in source_interface. Line: 2"
    "source_interface.${KV_IF_LEAF[1]}=lo 192.0.2.x|Wrong source_interface value (interface [address]). Line: 2"
    "source_interface.${KV_IF_LEAF[1]}=lo 192.0.2.9|Source interface lo of ${KV_IF_LEAF[1]} has no address 192.0.2.9."
    "source_interface.${KV_IF_LEAF[1]}=${KV_IF_LEAF[1]}|Source address ${KV_IP_RELAY[1]} of ${KV_IF_LEAF[1]} is the relay address of ${KV_IF_LEAF[1]}."
)
for row in "${ERRORS[@]}"; do
    IFS='|' read -r line want <<<"$row"
    printf '%s\n' "[options]" "$line" "[servers]" "$KV_IP_SERVER ${KV_IF_LEAF[1]}" >"$KV_TMP/bad.conf"
    status=0
    out=$(timeout 5 ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/bad.conf" 2>&1 >/dev/null) || status=$?
    if [ "$status" = 1 ] && [ "$(echo "$out" | tail -n 1)" = "$(basename "$KESTIVANE"): $want" ]; then
        kv_pass "refused: $line"
    else
        kv_check_fail "$line: status $status, '$out'"
    fi
done
kv_finish
