#!/usr/bin/env bash
# Plug-ins in the running relay, in network namespaces: a send_to_server
# reject for one server leaves the other served; options inserted at
# send_to_server and send_to_client go out with correct lengths and
# checksums; END removed at each hook point drops the packet with that
# point's line; and the shipped agent_info plug-in puts option 82 with both
# sub-options into the requests the servers see and keeps it out of the
# frames the client gets, while udhcpc and dhclient still get leases from
# dnsmasq and ISC dhcpd. The shipped log plug-in logs each point along the way.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq dhcpd busybox dhclient tcpdump; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done
TEST_PLUGINS=${KESTIVANE_TEST_PLUGIN_DIR:-$(dirname "$KESTIVANE")/tests/plugins/}
SHIPPED_PLUGINS=$(dirname "$KESTIVANE")/
# A short plugin_path of links, since file paths are cut at 99 characters.
PLUGIN_DIR="$KV_TMP/pl/"
mkdir -p "$PLUGIN_DIR"
for file in "$TEST_PLUGINS"kestivane_probe_plugin.so "$SHIPPED_PLUGINS"kestivane_agent_info_plugin.so \
    "$SHIPPED_PLUGINS"kestivane_log_plugin.so; do
    [ -f "$file" ] || kv_fail "plug-in not built: $file"
    ln -s "$file" "$PLUGIN_DIR"
done

kv_topology 1
R1=${KV_IF_RELAY[1]} C1=${KV_IF_CLIENT[1]} NS_C1=${KV_NS_CLIENT[1]}
RELAY_IP=${KV_IP_RELAY[1]}
OTHER_SERVER=203.0.113.3
ip -n "$KV_NS_SERVER" addr add "$OTHER_SERVER/24" dev "$KV_IF_SERVER"
PROBE_OPTION=e00570726f6265 # option 224, "probe", as the probe plug-in adds it

# relay_with NAME SERVERS PLUGIN_SECTIONS: start the relay on a configuration
# with those server lines and plug-in sections.
relay_with() {
    local name=$1
    printf '[options]\nplugin_path=%s\n[servers]\n%s\n%s\n' "$PLUGIN_DIR" "$2" "$3" >"$KV_TMP/$name.conf"
    kv_start_relay "$name" -f "$KV_TMP/$name.conf"
}

# lines TEXT: how many lines of the relay's log hold TEXT.
lines() { kv_count_lines "$KV_RELAY_LOG" "$1"; }

# capture NAME NS IF: start a capture of DHCP traffic; stop_captures ends
# every capture started since the last call. Immediate mode hands every
# packet to the file at once, so that what is not in it was not sent.
CAPTURES=()
capture() {
    kv_tcpdump "$1" "$2" "$3" --immediate-mode udp port 67 or udp port 68
    CAPTURES+=("$KV_LAST_PID")
}
stop_captures() {
    local pid
    for pid in "${CAPTURES[@]}"; do kv_stop "$pid"; done
    CAPTURES=()
}

# request: a crafted DHCPDISCOVER on segment 1 with a fresh xid (KV_XID).
request() {
    kv_next_xid
    kv_frames_in "$NS_C1" request "$C1" --xid "$KV_XID" "$@"
}

# answer [OPTIONS]: a crafted offer from the server to the relay for the
# client of segment 1, with a fresh xid (KV_XID).
answer() {
    kv_next_xid
    kv_frames_in "$KV_NS_SERVER" answer --to "$RELAY_IP" --bind "$KV_IP_SERVER" --xid "$KV_XID" \
        --giaddr "$RELAY_IP" --yiaddr "${KV_RANGE_LO[1]}" --chaddr "${KV_MAC_CLIENT[1]}" "$@"
}

# agent_info PCAP OP: option 82 of every captured message with that op, as
# hex, one line each ("none" when it has none).
agent_info() { kv_option_hex "$1" "$2" 82; }

# (kv_frames check takes the expected fields right after the capture: no
# positional arguments after its options.)

# --- A reject at send_to_server for one server: the other still gets it.
relay_with reject "$KV_IP_SERVER $R1
$OTHER_SERVER $R1" "[probe-plugin]
reject_server=$OTHER_SERVER"
capture reject "$KV_NS_SERVER" "$KV_IF_SERVER"
request
kv_wait_log "$KV_RELAY_LOG" "The packet rejected by probe plugin" || kv_fail "reject: no rejection logged"
kv_wait_pcap reject 1 "$KV_TIMEOUT" --xid "$KV_XID" --op 1 || kv_fail "reject: $KV_IP_SERVER got nothing"
sleep 0.3
kv_frames check "$(kv_pcap reject)" ip_dst="$KV_IP_SERVER" --xid "$KV_XID" --op 1 --count 1 ||
    kv_fail "reject: the request did not reach exactly $KV_IP_SERVER"
[ "$(lines "The packet rejected by probe plugin")" -eq 1 ] || kv_fail "reject: not exactly one rejection"
kv_pass "send_to_server reject for $OTHER_SERVER: one rejection, $KV_IP_SERVER served"
stop_captures
kv_stop "$KV_RELAY_PID"

# --- Inserted options: the relay sends and writes the longer messages, with
# lengths and checksums that match them. The answer is shorter than 300
# bytes: send_to_client sees it and its lengths as measured, and only the
# frame written carries the zero padding to 300 bytes.
relay_with insert "$KV_IP_SERVER $R1" "[probe-plugin]
insert=send_to_server
insert=send_to_client
lengths=yes"
capture insert-server "$KV_NS_SERVER" "$KV_IF_SERVER"
capture insert-client "$NS_C1" "$C1"
request # options 53 and END: 244 bytes
kv_wait_pcap insert-server 1 "$KV_TIMEOUT" --xid "$KV_XID" --op 1 || kv_fail "insert: request not forwarded"
kv_frames check "$(kv_pcap insert-server)" msg_len=251 payload_len=251 udp_len=259 ip_len=279 ip_csum_ok=yes \
    payload_hex~="350101${PROBE_OPTION}ff" --xid "$KV_XID" --op 1 ||
    kv_fail "insert: the request at the server is not the 251-byte message with option 224"
answer # options 53, 54 and END: 250 bytes
kv_wait_pcap insert-client 1 "$KV_TIMEOUT" --xid "$KV_XID" --op 2 || kv_fail "insert: answer not delivered"
kv_frames check "$(kv_pcap insert-client)" msg_len=257 payload_len=300 after_end_zero=yes udp_len=308 ip_len=328 \
    ip_csum_ok=yes udp_csum_ok=yes frame_len=342 payload_hex~="${PROBE_OPTION}ff" --xid "$KV_XID" --op 2 ||
    kv_fail "insert: the answer frame is not the 257-byte message padded to 300 with correct lengths and checksums"
grep -qxF "probe: send_to_client sees 250 bytes, IPv4 length 278, UDP length 258" "$KV_RELAY_LOG" ||
    kv_fail "insert: send_to_client did not see the answer's own lengths"
kv_pass "inserted option: request of 251 bytes sent, answer frame of 257 bytes padded to 300 written, checksums correct"
stop_captures
kv_stop "$KV_RELAY_PID"

# --- END removed at each point: the packet is dropped with that point's
# line. Removed at client_request, the request is queued and then fails at
# send_to_server. Two relays cover the four points, one request point and
# one answer point each.
for pair in "client_request send_to_client" "send_to_server server_answer"; do
    set -- $pair
    request_point=$1 answer_point=$2
    relay_with "end-$request_point" "$KV_IP_SERVER $R1" "[probe-plugin]
remove_end=$request_point
remove_end=$answer_point"
    capture "end-$request_point-server" "$KV_NS_SERVER" "$KV_IF_SERVER"
    capture "end-$request_point-client" "$NS_C1" "$C1"
    request
    request_xid=$KV_XID
    kv_wait_log "$KV_RELAY_LOG" "send_to_server: plugins generated wrong packet. Dropped." ||
        kv_fail "END removed at $request_point: no send_to_server line"
    answer
    kv_wait_log "$KV_RELAY_LOG" "$answer_point: plugins generated wrong packet. Dropped." ||
        kv_fail "END removed at $answer_point: no $answer_point line"
    sleep 0.3
    [ "$(kv_frames count "$(kv_pcap "end-$request_point-server")" --xid "$request_xid" --op 1)" -eq 0 ] ||
        kv_fail "END removed at $request_point: the request was still sent"
    [ "$(kv_frames count "$(kv_pcap "end-$request_point-client")" --xid "$KV_XID" --op 2)" -eq 0 ] ||
        kv_fail "END removed at $answer_point: the answer was still written"
    [ "$(lines "plugins generated wrong packet")" -eq 2 ] ||
        kv_fail "END removed at $request_point and $answer_point: not exactly two lines"
    kv_pass "END removed at $request_point and at $answer_point: each dropped with its point's line"
    stop_captures
    kv_stop "$KV_RELAY_PID"
done

# --- agent_info: option 82 at the servers, none at the client, leases from
# both servers; log shows every point.
relay_with agent "$KV_IP_SERVER $R1" "[agent_info-plugin]
[log-plugin]
client_request = yes
send_to_server = yes
server_answer = yes
send_to_client = yes"
name_hex=$(printf '%s' "$R1" | od -An -tx1 | tr -d ' \n')
ours=$(printf '01%02x%s0206%s' "${#R1}" "$name_hex" "$(echo "${KV_MAC_RELAY[1]}" | tr -d :)")

# A crafted answer that carries option 82 reaches the client without it.
capture agent-crafted "$NS_C1" "$C1"
answer --options "3501023604cb0071025203010178"
kv_wait_pcap agent-crafted 1 "$KV_TIMEOUT" --xid "$KV_XID" --op 2 || kv_fail "agent_info: crafted answer lost"
[ "$(agent_info "$(kv_pcap agent-crafted)" 2)" = none ] || kv_fail "agent_info: option 82 reached the client"
stop_captures

for server in dnsmasq dhcpd; do
    capture "agent-$server-server" "$KV_NS_SERVER" "$KV_IF_SERVER"
    capture "agent-$server-client" "$NS_C1" "$C1"
    if [ "$server" = dnsmasq ]; then
        kv_start_dnsmasq
        lease=$(kv_udhcpc 1 5 "udhcpc-$server") || kv_fail "agent_info: udhcpc got no lease from $server"
    else
        kv_start_dhcpd
        lease=$(kv_dhclient 1 8 "dhclient-$server") || kv_fail "agent_info: dhclient got no lease from $server"
    fi
    kv_in_range 1 "$lease" || kv_fail "agent_info: lease $lease from $server outside segment 1's range"
    kv_wait_pcap "agent-$server-server" 2 "$KV_TIMEOUT" --op 1 || kv_fail "agent_info: requests at $server not captured"
    kv_wait_pcap "agent-$server-client" 2 "$KV_TIMEOUT" --op 2 || kv_fail "agent_info: answers from $server not captured"
    at_server=$(agent_info "$(kv_pcap "agent-$server-server")" 1 | sort -u)
    at_client=$(agent_info "$(kv_pcap "agent-$server-client")" 2 | sort -u)
    [ "$at_server" = "$ours" ] ||
        kv_fail "agent_info: requests at $server carry option 82 '$at_server', not '$ours'"
    [ "$at_client" = none ] || kv_fail "agent_info: answers from $server reached the client with option 82"
    echoed=$(agent_info "$(kv_pcap "agent-$server-server")" 2 | sort -u | tr '\n' ' ')
    kv_pass "agent_info with $server: leased $lease; option 82 $ours in every request, in no answer frame (server answers carried: $echoed)"
    stop_captures
    if [ "$server" = dnsmasq ]; then kv_stop "$KV_DNSMASQ_PID"; else kv_stop "$KV_DHCPD_PID"; fi
done
for point in client_request send_to_server server_answer send_to_client; do
    [ "$(lines "log: $point on $R1: ")" -ge 2 ] || kv_fail "log: no line for $point"
done
grep -qF "log: send_to_client on $R1: DHCPACK for ${KV_MAC_CLIENT[1]} xid " "$KV_RELAY_LOG" ||
    kv_fail "log: no DHCPACK line for the client"
kv_pass "log: lines at all four points"
kv_relay_alive || kv_fail "the relay died"
kv_stop "$KV_RELAY_PID"

kv_finish
