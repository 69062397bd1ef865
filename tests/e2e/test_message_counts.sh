#!/usr/bin/env bash
# The message counters by direction and type against the wire: a real
# client gets a real lease through the relay while both sides are captured,
# and every sample of kestivane_messages_total (kestivane_v6_messages_total
# for DHCPv6) must equal what the captures hold, seen from the relay: on
# the client's segment its requests were received and the answers sent; on
# the server side one copy per server was sent and the answers received.
# The SIGUSR1 dump shows the same counts as a table. DHCPv4 with one server
# and with three (two of them addresses where nothing listens: their copies
# still go on the wire), then one DHCPv6 exchange.
source "$(dirname "$0")/lib.sh"
for tool in kea-dhcp4 kea-dhcp6 busybox dhclient; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done
"$KV_PYTHON" -c 'import prometheus_client' 2>/dev/null ||
    kv_skip "python3-prometheus-client is not installed (scripts/deps.sh installs it)"

KV_IPV6=1
kv_topology 1
R1=${KV_IF_RELAY[1]}
SINKS=(203.0.113.3 203.0.113.4)
for a in "${SINKS[@]}"; do ip -n "$KV_NS_SERVER" addr add "$a/24" dev "$KV_IF_SERVER"; done
kv_start_kea4 "$KV_IP_SERVER"
kv_start_kea6
metrics() { "$KV_PYTHON" "$KV_DIR/metrics.py" "$@"; }

# compare NAME FAMILY FAMILY_NAME: the relay started last (stats file
# $KV_TMP/NAME.prom) against the captures NAME.client and NAME.server.
compare() {
    local name=$1 family=$2 metric=$3 stats="$KV_TMP/$1.prom" expect=() d t n total=0 line want got
    while read -r d t n; do
        expect+=("$metric{interface=$R1,direction=$d,type=$t}=$n")
        total=$((total + n))
    done < <(kv_wire_messages "$family" "$(kv_pcap "$name.client")" "$(kv_pcap "$name.server")")
    [ "$total" -ge 4 ] || kv_check_fail "$name: only $total messages on the wire"
    if kv_wait_for 5 metrics check "$stats" "${expect[@]}" 2>/dev/null; then
        kv_pass "$name: the counters by type match the $total messages on the wire"
    else
        metrics check "$stats" "${expect[@]}"
        kv_check_fail "$name: the counters by type differ from the wire (above)"
    fi
    # The dump's table: its rows hold the same counts, in the order of the
    # metrics file's types.
    local head="Messages of interface $R1:"
    [ "$family" = 6 ] && head="Messages of DHCPv6 interface $R1:"
    kill -USR1 "$KV_RELAY_PID"
    kv_wait_log "$KV_RELAY_LOG" "$head sent" 1 5 || {
        kv_check_fail "$name: no dump table ($head)"
        return
    }
    for d in received sent; do
        want=$(kv_wire_messages "$family" "$(kv_pcap "$name.client")" "$(kv_pcap "$name.server")" |
            awk -v d="$d" '$1 == d { printf "%s ", $3 }')
        line=$(grep -F -- "$head $d " "$KV_RELAY_LOG" | tail -n 1)
        got=$(echo "${line#"$head $d"}" | awk '{ for (i = 1; i <= NF; i++) printf "%s ", $i }')
        [ "$got" = "$want" ] || kv_check_fail "$name: dump row $d is '$got', the wire says '$want'"
    done
}

# One relay per case, its captures started before it and stopped (flushed)
# once the exchange is over and the last answer had time to come.
start_case() {
    local name=$1 filter=$2
    shift 2
    kv_tcpdump "$name.client" "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" $filter
    CLIENT_CAP=$KV_LAST_PID
    kv_tcpdump "$name.server" "$KV_NS_SERVER" "$KV_IF_SERVER" $filter
    SERVER_CAP=$KV_LAST_PID
    printf '%s\n' "[options]" "stats_file=$KV_TMP/$name.prom" "stats_interval=1" "$@" >"$KV_TMP/$name.conf"
    kv_start_relay "$name" -f "$KV_TMP/$name.conf"
}
end_exchange() {
    sleep 1
    kv_kill "$CLIENT_CAP"
    kv_kill "$SERVER_CAP"
}

# servers: how many servers segment 1 relays to.
for servers in 1 3; do
    name=v4-$servers
    lines=("[servers]" "$KV_IP_SERVER $R1")
    for ((k = 1; k < servers; k++)); do lines+=("${SINKS[k - 1]} $R1"); done
    start_case "$name" "udp port 67 or udp port 68" "${lines[@]}"
    ip=$(kv_udhcpc 1) || kv_check_fail "$name: no lease"
    end_exchange
    compare "$name" 4 kestivane_messages_total
    kv_kill "$KV_RELAY_PID"
done

KV_LISTEN_COUNT=1 start_case v6 "udp port 546 or udp port 547" "[servers6]" "$KV_IP6_SERVER $R1"
kv_dhclient6 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" 8 >/dev/null || kv_check_fail "v6: no lease"
end_exchange
compare v6 6 kestivane_v6_messages_total
kv_kill "$KV_RELAY_PID"
kv_finish
