#!/usr/bin/env bash
# The request path, seen from both ends: crafted frames go in on the client
# segments, and a capture on the server segment shows what the relay sent.
#
# What it sends on: hops raised by one, giaddr stamped with the address of
# the capturing interface (or kept when an earlier relay set it), exactly the
# message through END, from the interface's address and port 67, to every
# server. What it refuses: each frame check with its own log line, replies
# and requests at the hop limit silently. After every refused frame a good
# request must still get through.
#
# One relay serves both cases: max_hops 3, two servers, and a packet size of
# 600 given after the interfaces. The capture length of an interface is
# fixed when it opens (1400 here), so only a packet size lowered after the
# -i options lets a frame be longer than the size without being cut to it.
source "$(dirname "$0")/lib.sh"

kv_topology 2
SERVER2=203.0.113.3
ip -n "$KV_NS_SERVER" addr add "$SERVER2/24" dev "$KV_IF_SERVER"
kv_tcpdump server "$KV_NS_SERVER" "$KV_IF_SERVER" udp port 67
kv_start_relay relay -c 3 -i "${KV_IF_RELAY[1]}" -i "${KV_IF_RELAY[2]}" -A 600 "$KV_IP_SERVER" "$SERVER2"
SERVER_PCAP=$(kv_pcap server)

# send SEG ARGS...: a crafted request on client segment SEG with a new xid.
# With --wait it fails unless the request reaches the server capture.
send() {
    local seg=$1
    shift
    kv_next_xid
    kv_frames_in "${KV_NS_CLIENT[seg]}" request "${KV_IF_CLIENT[seg]}" --xid "$KV_XID" "$@"
}

# forwarded NAME SEG SEND_ARGS -- EXPECT...: the request reaches both
# servers, and both datagrams have the expected fields.
forwarded() {
    local name=$1 seg=$2 args=()
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    if ! send "$seg" "${args[@]}" --wait "$SERVER_PCAP" --wait-count 2; then
        kv_check_fail "$name: request $KV_XID did not reach both servers"
        return 1
    fi
    if kv_frames check "$SERVER_PCAP" --xid "$KV_XID" --count 2 ip_dst@="$KV_IP_SERVER,$SERVER2" \
        udp_sport=67 udp_dport=67 op=1 after_end=0 "$@"; then
        kv_pass "$name"
    else
        kv_check_fail "$name"
        return 1
    fi
}

# Every datagram carries the message through END and nothing more
# (after_end=0 above).
MSG_LEN=244 # fixed fields, cookie, option 53 and END

forwarded "request on segment 1: hops 0->1, giaddr stamped" 1 -- \
    hops=1 giaddr="${KV_IP_RELAY[1]}" ip_src="${KV_IP_RELAY[1]}" \
    chaddr="${KV_MAC_CLIENT[1]}" msg_len=$MSG_LEN payload_len=$MSG_LEN udp_len=$((MSG_LEN + 8))
forwarded "request on segment 2: giaddr and source of segment 2" 2 -- \
    hops=1 giaddr="${KV_IP_RELAY[2]}" ip_src="${KV_IP_RELAY[2]}" chaddr="${KV_MAC_CLIENT[2]}"
forwarded "giaddr set by an earlier relay is kept" 1 --hops 1 --giaddr 198.51.100.190 -- \
    hops=2 giaddr=198.51.100.190 ip_src="${KV_IP_RELAY[1]}"
forwarded "hops one below the limit is forwarded at the limit" 2 --hops 2 -- hops=3
forwarded "bytes after END are not sent" 1 --options 350101000000 --tag padded --size 500 --fill 0xab -- \
    msg_len=$((MSG_LEN + 3 + 8)) payload_len=$((MSG_LEN + 3 + 8)) tag=padded
forwarded "the shortest frame: END at the first option byte (283 bytes)" 1 --options "" --frame-len 283 -- \
    msg_len=241 payload_len=241
forwarded "UDP length 241 is enough" 1 --udp-len 241 -- payload_len=$MSG_LEN

# refused NAME MESSAGE SEG SEND_ARGS...: the frame is not forwarded, the relay
# logs MESSAGE once for it (or nothing at all when MESSAGE is empty), and a
# good request sent after it still reaches the servers.
refused() {
    local name=$1 message=$2 seg=$3 bad lines_before count_before
    shift 3
    lines_before=$(wc -l <"$KV_RELAY_LOG")
    count_before=$(kv_count_lines "$KV_RELAY_LOG" "$message")
    send "$seg" "$@" || kv_fail "could not send a frame on segment $seg"
    bad=$KV_XID
    # The listener takes frames in order: once the good one is through, the
    # bad one has been dealt with.
    if ! send "$seg" --wait "$SERVER_PCAP" --wait-count 2; then
        kv_check_fail "$name: a good request after it was not forwarded"
        return 1
    fi
    if ! kv_frames check "$SERVER_PCAP" --xid "$bad" --count 0; then
        kv_check_fail "$name: the refused frame was forwarded"
        return 1
    fi
    if [ -z "$message" ]; then
        if [ "$(wc -l <"$KV_RELAY_LOG")" -ne "$lines_before" ]; then
            kv_check_fail "$name: expected no log line, got: $(tail -n +$((lines_before + 1)) "$KV_RELAY_LOG")"
            return 1
        fi
    elif [ "$(kv_count_lines "$KV_RELAY_LOG" "$message")" -ne $((count_before + 1)) ]; then
        kv_check_fail "$name: expected one line '$message', log now: $(tail -n +$((lines_before + 1)) "$KV_RELAY_LOG")"
        return 1
    fi
    kv_pass "$name"
}

refused "frame longer than the packet size" "length too big -- packet discarded" 1 --frame-len 601
refused "frame shorter than 278 bytes" "length too little -- packet discarded" 1 --frame-len 277
refused "VLAN-tagged frame" "wrong ether type -- packet discarded" 2 --vlan
refused "UDP length 240" "not enough DHCP data -- packet ignore" 1 --udp-len 240
refused "no END option" "malformed dhcp packet (can't find option 255) -- packet ignore" 1 --no-end
refused "option code in the last captured byte" \
    "malformed dhcp packet (can't find option 255) -- packet ignore" 2 --options 0c --no-end --frame-len 283
refused "reply (op 2) from a client segment" "" 1 --op 2
refused "hops at the limit (-c 3)" "" 2 --hops 3
refused "hops above the limit" "" 1 --hops 200

kv_relay_alive || kv_check_fail "the relay is no longer running"
kv_finish
