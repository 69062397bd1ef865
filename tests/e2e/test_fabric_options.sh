#!/usr/bin/env bash
# The relay's own option 82 sub-options against real servers, a case per
# setting; in every case the client leases from its segment's pool, the
# server side sees the sub-options' bytes in the one option 82 of each
# request (joined to the agent_info plug-in's when that is loaded), and the
# client never sees option 82. With relay_port the relay sends to the
# servers from that port, names it in sub-option 19 (relay source port),
# and takes the answers there: Kea (which honours the sub-option, see
# doc/interop.md) must answer to that port. Link selection (5) carries the
# interface's relay address (Kea honours it). Server-identifier override
# (11, beside the relay agent flags, 10) carries it too: dnsmasq, which
# honours it, must name the relay as the server to the client. A request
# that came through a relay before (giaddr set) gets none of them: that
# relay names the subnet and takes the answer. Under the agent_info
# plug-in's append policy a request that carries another agent's option 82
# (a switch on the segment, giaddr still 0) reaches the server with that
# agent's sub-options first, then ours; its answer reaches the client with
# the other agent's alone, for that agent to take out.
source "$(dirname "$0")/lib.sh"
for tool in kea-dhcp4 dnsmasq busybox; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done
SHIPPED_PLUGINS=$(dirname "$KESTIVANE")/
PLUGIN_DIR="$KV_TMP/pl/"
mkdir -p "$PLUGIN_DIR"
[ -f "${SHIPPED_PLUGINS}kestivane_agent_info_plugin.so" ] || kv_fail "plug-in not built: agent_info"
ln -s "${SHIPPED_PLUGINS}kestivane_agent_info_plugin.so" "$PLUGIN_DIR"

kv_topology 1
R1=${KV_IF_RELAY[1]}
PORT=6767
RELAY_HEX=$(printf '%02x' ${KV_IP_RELAY[1]//./ })
name_hex=$(printf '%s' "$R1" | od -An -tx1 | tr -d ' \n')
AGENT_INFO=$(printf '01%02x%s0206%s' "${#R1}" "$name_hex" "$(echo "${KV_MAC_RELAY[1]}" | tr -d :)")

# case, server, the relay's [options] lines (";" between them), the
# plug-in's section and its lines (";" between them, or none), option 82 at
# the server (every value seen, in any order), option 54 at the client (or
# any), option 82 in answers at the client (default: none)
SWITCH=0603703137 # subscriber id "p17" from a switch before the relay
CASES=(
    "port-alone|kea|relay_port=$PORT|none|1300|any"
    "port-with-agent-info|kea|relay_port=$PORT|[agent_info-plugin]|${AGENT_INFO}1300|any"
    "link-selection|kea|link_selection=off;link_selection.$R1=on|none|0504$RELAY_HEX|any"
    "all-three|kea|relay_port=$PORT;link_selection=on;server_id_override=on|[agent_info-plugin]|${AGENT_INFO} ${AGENT_INFO}0504${RELAY_HEX}0a01000b04${RELAY_HEX}1300|any"
    "append|kea|link_selection=on|[agent_info-plugin];policy=append|${AGENT_INFO}0504$RELAY_HEX ${SWITCH}${AGENT_INFO}0504$RELAY_HEX|any|none $SWITCH"
    "server-id-override|dnsmasq|server_id_override=on|none|0a01000b04$RELAY_HEX|$RELAY_HEX"
)
# The values of a column as kv_option_hex's sorted output reads.
sorted_words() { tr ' ' '\n' <<<"$1" | sort -u | tr '\n' ' '; }
running=
for row in "${CASES[@]}"; do
    IFS='|' read -r name server options section want server_id at_client_want <<<"$row"
    if [ "$server" != "$running" ]; then
        [ "$running" = kea ] && kv_kill "$KV_KEA4_PID"
        if [ "$server" = kea ]; then kv_start_kea4; else kv_start_dnsmasq; fi
        running=$server
    fi
    kv_tcpdump "$name.client" "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp
    client_cap=$KV_LAST_PID
    kv_tcpdump "$name.server" "$KV_NS_SERVER" "$KV_IF_SERVER" udp
    server_cap=$KV_LAST_PID
    IFS=';' read -r -a lines <<<"$options"
    conf=("[options]" "${lines[@]}" "plugin_path=$PLUGIN_DIR" "[servers]" "$KV_IP_SERVER $R1")
    port=67
    [[ "$options" == *relay_port=* ]] && port=$PORT
    if [ "$section" != none ]; then
        IFS=';' read -r -a section_lines <<<"$section"
        conf+=("${section_lines[@]}")
    fi
    printf '%s\n' "${conf[@]}" >"$KV_TMP/$name.conf"
    kv_start_relay "$name" -f "$KV_TMP/$name.conf"
    kv_udp_bound "$KV_NS_RELAY" "$port" || kv_check_fail "$name: the relay has no socket on port $port"
    if lease=$(kv_udhcpc 1) && kv_in_range 1 "$lease"; then
        kv_pass "$name: lease $lease from segment 1's pool from $server"
    else
        kv_check_fail "$name: no lease from segment 1's pool (got '${lease:-}')"
    fi
    # A request relayed before: the agent_info plug-in's option 82 alone.
    if [ "$name" = all-three ]; then
        kv_frames_in "${KV_NS_CLIENT[1]}" request "${KV_IF_CLIENT[1]}" --giaddr 198.51.100.250 --xid 0x5f000001 ||
            kv_fail "could not send a relayed request"
    fi
    # A request with another agent's option 82, giaddr 0.
    if [ "$name" = append ]; then
        kv_frames_in "${KV_NS_CLIENT[1]}" request "${KV_IF_CLIENT[1]}" --xid 0x5f000002 --chaddr 02:00:5f:00:00:02 \
            --options "350101520506037031373d070102005f000002" || kv_fail "could not send a request with option 82"
    fi
    sleep 0.5
    kv_kill "$client_cap"
    kv_kill "$server_cap"
    kv_kill "$KV_RELAY_PID"
    at_server=$(kv_pcap "$name.server") at_client=$(kv_pcap "$name.client")
    kv_frames check "$at_server" --op 1 --where giaddr="${KV_IP_RELAY[1]}" --at-least 2 udp_sport="$port" ||
        kv_check_fail "$name: requests did not leave from port $port"
    kv_frames check "$at_server" --op 2 --at-least 2 udp_dport="$port" ||
        kv_check_fail "$name: the server did not answer to port $port"
    got=$(kv_option_hex "$at_server" 1 82 | sort -u | tr '\n' ' ')
    [ "$got" = "$(sorted_words "$want")" ] || kv_check_fail "$name: option 82 at the server is '$got', expected '$want'"
    kv_frames check "$at_client" --op 2 --at-least 2 >/dev/null || kv_check_fail "$name: the client saw no answers"
    got=$(kv_option_hex "$at_client" 2 82 | sort -u | tr '\n' ' ')
    [ "$got" = "$(sorted_words "${at_client_want:-none}")" ] ||
        kv_check_fail "$name: option 82 at the client is '$got', expected '${at_client_want:-none}'"
    if [ "$server_id" != any ]; then
        got=$(kv_option_hex "$at_client" 2 54 | sort -u | tr '\n' ' ')
        [ "$got" = "$server_id " ] || kv_check_fail "$name: the client was told server $got, not the relay ($server_id)"
    fi
done

# relay_port after a server line, whose sockets are open already: refused.
printf '%s\n' "[servers]" "$KV_IP_SERVER $R1" "[options]" "relay_port=$PORT" >"$KV_TMP/late.conf"
status=0
out=$(timeout 5 ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/late.conf" 2>&1 >/dev/null) || status=$?
want="$(basename "$KESTIVANE"): relay_port must come before the first server line. Line: 4"
if [ "$status" = 1 ] && [ "$(echo "$out" | tail -n 1)" = "$want" ]; then
    kv_pass "a late relay_port is refused"
else
    kv_check_fail "a late relay_port: status $status, '$out'"
fi
kv_finish
