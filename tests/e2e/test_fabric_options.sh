#!/usr/bin/env bash
# The relay's own option 82 sub-options against a real server. With
# relay_port the relay sends to the servers from that port, names it in
# sub-option 19 (relay source port), and takes the answers there: Kea
# (which honours the sub-option, see doc/interop.md) must answer to that
# port and lease from the client's pool; the server side must see the port
# and the sub-option's bytes, joined to the agent_info plug-in's option 82
# when that is loaded (one option 82 per message); the client must never
# see option 82.
source "$(dirname "$0")/lib.sh"
for tool in kea-dhcp4 busybox; do
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
kv_start_kea4
name_hex=$(printf '%s' "$R1" | od -An -tx1 | tr -d ' \n')
AGENT_INFO=$(printf '01%02x%s0206%s' "${#R1}" "$name_hex" "$(echo "${KV_MAC_RELAY[1]}" | tr -d :)")

# case, the plug-in's section (or none), option 82 at the server
CASES=(
    "alone|none|1300"
    "with-agent-info|[agent_info-plugin]|${AGENT_INFO}1300"
)
for row in "${CASES[@]}"; do
    IFS='|' read -r name section want <<<"$row"
    kv_tcpdump "$name.client" "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp
    client_cap=$KV_LAST_PID
    kv_tcpdump "$name.server" "$KV_NS_SERVER" "$KV_IF_SERVER" udp
    server_cap=$KV_LAST_PID
    conf=("[options]" "relay_port=$PORT" "plugin_path=$PLUGIN_DIR" "[servers]" "$KV_IP_SERVER $R1")
    [ "$section" = none ] || conf+=("$section")
    printf '%s\n' "${conf[@]}" >"$KV_TMP/$name.conf"
    kv_start_relay "$name" -f "$KV_TMP/$name.conf"
    kv_udp_bound "$KV_NS_RELAY" "$PORT" || kv_check_fail "$name: the relay has no socket on port $PORT"
    if lease=$(kv_udhcpc 1) && kv_in_range 1 "$lease"; then
        kv_pass "$name: lease $lease from segment 1's pool through relay port $PORT"
    else
        kv_check_fail "$name: no lease from segment 1's pool (got '${lease:-}')"
    fi
    sleep 0.5
    kv_kill "$client_cap"
    kv_kill "$server_cap"
    kv_kill "$KV_RELAY_PID"
    server=$(kv_pcap "$name.server") client=$(kv_pcap "$name.client")
    kv_frames check "$server" --op 1 --at-least 2 udp_sport="$PORT" giaddr="${KV_IP_RELAY[1]}" ||
        kv_check_fail "$name: requests did not leave from port $PORT"
    kv_frames check "$server" --op 2 --at-least 2 udp_dport="$PORT" ||
        kv_check_fail "$name: the server did not answer to port $PORT"
    got=$(kv_option_hex "$server" 1 82 | sort -u | tr '\n' ' ')
    [ "$got" = "$want " ] || kv_check_fail "$name: option 82 at the server is '$got', expected '$want'"
    kv_frames check "$client" --op 2 --at-least 2 >/dev/null || kv_check_fail "$name: the client saw no answers"
    got=$(kv_option_hex "$client" 2 82 | sort -u | tr '\n' ' ')
    [ "$got" = "none " ] || kv_check_fail "$name: option 82 reached the client: $got"
done
kv_finish
