#!/usr/bin/env bash
# The answer path: crafted server answers go to the relay's sockets from the
# server segment, and captures on the client segments show the frames the
# relay built. Every frame must come from the relay interface's own hardware
# and IPv4 address, port 67 to 68, type of service 0x10, time to live 16,
# with lengths that follow the message through END and checksums that
# verify; the destination follows the broadcast flag, yiaddr and ciaddr.
# Bad answers are dropped with their own log line, and after each one the
# relay still delivers a good answer and forwards a good request. Only
# replies from a segment's servers are taken: a client host on segment 1
# that forges an answer for segment 2 gets nothing through, while real
# leases flow on both; answer_sources=any lets the forgery through again.
source "$(dirname "$0")/lib.sh"

kv_topology 2
kv_client_host 1
NOT_A_SERVER=203.0.113.3
ip -n "$KV_NS_SERVER" addr add "$NOT_A_SERVER/24" dev "$KV_IF_SERVER"
kv_tcpdump client1 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp port 68
kv_tcpdump client2 "${KV_NS_CLIENT[2]}" "${KV_IF_CLIENT[2]}" udp port 68
kv_tcpdump server "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 67
kv_start_relay relay -i "${KV_IF_RELAY[1]}" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"

CHADDR=02:00:5e:00:53:21
# The answer frames.py sends by default: fixed fields, cookie, options 53
# and 54, END.
MSG_LEN=250

# answer [--in NS] ARGS...: a server answer from the server with a new xid,
# to the relay's address on segment 1 and with that address as giaddr,
# unless ARGS say otherwise; --in sends it from another namespace (give it
# --bind too). With --wait PCAP it fails unless the answer shows up there.
answer() {
    local ns=$KV_NS_SERVER
    if [ "${1:-}" = --in ]; then ns=$2; shift 2; fi
    kv_next_xid
    kv_frames_in "$ns" answer --to "${KV_IP_RELAY[1]}" --bind "$KV_IP_SERVER" \
        --giaddr "${KV_IP_RELAY[1]}" --xid "$KV_XID" --chaddr "$CHADDR" "$@"
}

# The fields that every delivered frame on segment SEG has, for a message of
# LEN bytes through END: it goes out zero-padded to 300 bytes when shorter.
common() {
    local seg=$1 len=$2 wire=$(($2 > 300 ? $2 : 300))
    echo eth_src="${KV_MAC_RELAY[seg]}" eth_type=0x0800 ip_vhl=0x45 ip_tos=0x10 ip_ttl=16 \
        ip_id=0 ip_off=0 ip_proto=17 ip_src="${KV_IP_RELAY[seg]}" udp_sport=67 udp_dport=68 \
        ip_len=$((wire + 28)) udp_len=$((wire + 8)) payload_len="$wire" msg_len="$len" \
        after_end=$((wire - len)) after_end_zero=yes frame_len=$((wire + 42)) ip_csum_ok=yes udp_csum_ok=yes
}

# delivered NAME SEG LEN ANSWER_ARGS -- EXPECT...: the answer arrives as one
# frame on segment SEG, none on the other, with the common fields and
# EXPECT.
delivered() {
    local name=$1 seg=$2 len=$3 args=() other
    shift 3
    while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    other=$((3 - seg))
    if ! answer "${args[@]}" --wait "$(kv_pcap "client$seg")"; then
        kv_check_fail "$name: answer $KV_XID was not delivered on segment $seg"
        return 1
    fi
    # shellcheck disable=SC2046
    if kv_frames check "$(kv_pcap "client$seg")" --xid "$KV_XID" --count 1 \
        --absent "$(kv_pcap "client$other")" $(common "$seg" "$len") "$@"; then
        kv_pass "$name"
    else
        kv_check_fail "$name"
        return 1
    fi
}

delivered "broadcast flag: to ff:ff:ff:ff:ff:ff and 255.255.255.255" 1 $MSG_LEN \
    --flags 0x8000 --yiaddr 198.51.100.20 -- \
    eth_dst=ff:ff:ff:ff:ff:ff ip_dst=255.255.255.255 yiaddr=198.51.100.20 flags=0x8000
delivered "no broadcast flag: to chaddr and yiaddr" 1 $MSG_LEN --yiaddr 198.51.100.21 -- \
    eth_dst=$CHADDR ip_dst=198.51.100.21
delivered "bytes after END are not delivered" 1 $MSG_LEN --yiaddr 198.51.100.22 --size 700 --fill 0xcd -- \
    eth_dst=$CHADDR ip_dst=198.51.100.22
delivered "a longer message: lengths and checksums follow it" 2 $((MSG_LEN + 2 + 40)) \
    --to "${KV_IP_RELAY[2]}" --giaddr "${KV_IP_RELAY[2]}" --yiaddr 198.51.100.80 \
    --tag "a host name forty characters long ......" -- \
    eth_dst=$CHADDR ip_dst=198.51.100.80
delivered "exactly 300 bytes are enough" 1 $MSG_LEN --yiaddr 198.51.100.23 --size 300 -- ip_dst=198.51.100.23
# Answers shorter than 300 bytes that hold a whole message (servers such as
# Kea do not pad theirs) go out as 300 bytes, zero after END, whatever
# followed END in the datagram.
delivered "a 277-byte answer (Kea's offer to udhcpc)" 1 277 --yiaddr 198.51.100.31 \
    --tag "kea-short-answer-25-bytes" -- ip_dst=198.51.100.31 tag=kea-short-answer-25-bytes
delivered "the shortest message: END alone" 1 241 --yiaddr 198.51.100.32 --options "" -- ip_dst=198.51.100.32
delivered "a short answer with bytes after END" 1 $MSG_LEN --yiaddr 198.51.100.33 --size 290 --fill 0xcd -- \
    ip_dst=198.51.100.33
delivered "a 299-byte answer" 1 299 --yiaddr 198.51.100.34 --tag "$(printf 'x%.0s' $(seq 1 47))" -- \
    ip_dst=198.51.100.34
delivered "yiaddr 0 and ciaddr set: to ciaddr and chaddr" 1 $MSG_LEN --ciaddr 198.51.100.30 -- \
    eth_dst=$CHADDR ip_dst=198.51.100.30
delivered "yiaddr 0, ciaddr 0, no broadcast flag: broadcast" 1 $MSG_LEN -- \
    eth_dst=ff:ff:ff:ff:ff:ff ip_dst=255.255.255.255
delivered "answer on segment 1's socket for segment 2's giaddr goes to segment 2" 2 $MSG_LEN \
    --to "${KV_IP_RELAY[1]}" --giaddr "${KV_IP_RELAY[2]}" --yiaddr 198.51.100.81 -- \
    eth_dst=$CHADDR ip_dst=198.51.100.81
delivered "answer on segment 2's socket for segment 1's giaddr goes to segment 1" 1 $MSG_LEN \
    --to "${KV_IP_RELAY[2]}" --giaddr "${KV_IP_RELAY[1]}" --flags 0x8000 -- \
    eth_dst=ff:ff:ff:ff:ff:ff ip_dst=255.255.255.255

# still_relays NAME: a good answer is delivered and a good request forwarded.
still_relays() {
    local name=$1
    if ! answer --yiaddr 198.51.100.40 --wait "$(kv_pcap client1)"; then
        kv_check_fail "$name: a good answer after it was not delivered"
        return 1
    fi
    kv_next_xid
    if ! kv_frames_in "${KV_NS_CLIENT[1]}" request "${KV_IF_CLIENT[1]}" --xid "$KV_XID" \
        --wait "$(kv_pcap server)"; then
        kv_check_fail "$name: a good request after it was not forwarded"
        return 1
    fi
}

# dropped NAME MESSAGE ANSWER_ARGS...: the answer is delivered on neither
# segment, MESSAGE is logged exactly once for it, and the relay goes on.
dropped() {
    local name=$1 message=$2 bad before
    shift 2
    before=$(kv_count_lines "$KV_RELAY_LOG" "$message")
    answer "$@" || kv_fail "could not send an answer"
    bad=$KV_XID
    # Answers on one socket are taken in order: once the good one is out,
    # the bad one has been dealt with.
    still_relays "$name" || return 1
    if ! kv_frames check "$(kv_pcap client1)" --xid "$bad" --count 0 --absent "$(kv_pcap client2)"; then
        kv_check_fail "$name: the answer was delivered"
        return 1
    fi
    if [ "$(kv_count_lines "$KV_RELAY_LOG" "$message")" -ne $((before + 1)) ]; then
        kv_check_fail "$name: expected one more line '$message'"
        return 1
    fi
    kv_pass "$name"
}

# Datagrams that hold no whole message are too short: the line names the
# length that was needed (241 at least, 300 at most).
dropped "299 bytes without END" "A little data from server: 299 < 300" --no-end --size 299
dropped "240 bytes: no room for END" "A little data from server: 240 < 241" --size 240
dropped "an option cut by the datagram's end" "A little data from server: 250 < 254" \
    --options 350102 --tag hostname --no-end --size 250
dropped "giaddr of no interface" "Destination interface not found for: 198.51.100.222" \
    --giaddr 198.51.100.222 --yiaddr 198.51.100.24
dropped "giaddr 0" "Destination interface not found for: 0.0.0.0" --giaddr 0.0.0.0 --yiaddr 198.51.100.25
dropped "no END option" "server_answer: plugins generated wrong packet. Dropped." --no-end --size 400
dropped "longer than the receive buffer, END beyond it" \
    "Answer of 1500 bytes from $KV_IP_SERVER on ${KV_IF_RELAY[1]} has no END within the 1358 bytes that max_packet_size lets in. Dropped." \
    --no-end --size 1500

# Who may answer: the segment's servers, with replies. The forgery: a client
# host on segment 1 sends a broadcast answer for segment 2 to the relay's
# segment-1 address.
FORGERY=(--in "${KV_NS_CLIENT[1]}" --bind "${KV_IP_CLIENT[1]}" --giaddr "${KV_IP_RELAY[2]}" --flags 0x8000
    --yiaddr 198.51.100.90)
dropped "a client host on segment 1 forges an answer for segment 2" \
    "Answer from ${KV_IP_CLIENT[1]} on ${KV_IF_RELAY[1]}, which is not a server of it. Dropped." "${FORGERY[@]}"
dropped "a host on the server segment that is not a server" \
    "Answer from $NOT_A_SERVER on ${KV_IF_RELAY[1]}, which is not a server of it. Dropped." --bind "$NOT_A_SERVER"
dropped "op 1 from the server is not a reply" \
    "Message of op 1 from $KV_IP_SERVER on ${KV_IF_RELAY[1]} is not a reply. Dropped." \
    --op 1 --flags 0x8000 --yiaddr 198.51.100.28
for row in not_a_server=2 not_a_reply=1 truncated=1; do
    if [[ " $(kv_dump_line "${KV_IF_RELAY[1]}") " == *" answers_dropped{${row%=*}}=${row#*=} "* ]]; then
        kv_pass "counted: $row"
    else
        kv_check_fail "not counted on ${KV_IF_RELAY[1]}: answers_dropped{${row%=*}}=${row#*=}"
    fi
done

# A short answer after a long one: the answer buffer still holds the long
# answer's bytes behind the short one. Were they not cleared, the short
# answer, which has no END of its own, would be measured through the long
# one's END and delivered with its stale bytes (here a host name).
long_options=$(printf '00%.0s' $(seq 1 100))
delivered "a long answer" 1 $((240 + 3 + 100 + 2 + 11 + 1)) --yiaddr 198.51.100.26 --options "350102$long_options" --tag STALE-BYTES --size 600 -- \
    tag=STALE-BYTES
dropped "a short answer after a long one carries none of its bytes" \
    "server_answer: plugins generated wrong packet. Dropped." --yiaddr 198.51.100.27 --options 350102 --no-end --size 320
if [ "$(kv_frames count "$(kv_pcap client1)" --where tag=STALE-BYTES)" -ne 1 ]; then
    kv_check_fail "the long answer's host name was delivered more than once"
fi

kv_relay_alive || kv_check_fail "the relay is no longer running"

# A real server's leases flow on both segments meanwhile.
kv_start_dnsmasq
for seg in 1 2; do
    if lease=$(kv_udhcpc "$seg") && kv_in_range "$seg" "$lease"; then
        kv_pass "segment $seg leased $lease from the server"
    else
        kv_check_fail "segment $seg got no lease from the server"
    fi
done
kv_stop "$KV_DNSMASQ_PID"

# answer_sources=any: the sender is not asked, and the forgery goes through.
kv_stop "$KV_RELAY_PID"
printf '%s\n' "[options]" "answer_sources=any" "[servers]" \
    "$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]}" >"$KV_TMP/any.conf"
KV_LISTEN_COUNT=2 kv_start_relay any -f "$KV_TMP/any.conf"
delivered "answer_sources=any: the forged answer reaches segment 2" 2 $MSG_LEN "${FORGERY[@]}" -- \
    eth_dst=ff:ff:ff:ff:ff:ff ip_dst=255.255.255.255 yiaddr=198.51.100.90
kv_finish
