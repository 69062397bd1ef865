#!/usr/bin/env bash
# The per-interface request rate limit (rps_limit, set in the configuration
# file). With a limit of 2, a window takes the frame that opens it and 3 more
# (the count runs from 0 to the limit): of a burst of 10 frames just after
# start-up, frames 1-3 pass, frame 4 opens a window and passes, 5-7 pass and
# 8-10 are dropped, each with its own line. A frame more than a second after
# frame 4 opens the next window, which again takes 4 frames.
source "$(dirname "$0")/lib.sh"

kv_topology 1
IFACE=${KV_IF_RELAY[1]}
cat >"$KV_TMP/relay.conf" <<EOF
[options]
rps_limit=2

[servers]
$KV_IP_SERVER $IFACE
EOF
kv_tcpdump server "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 67
kv_start_relay relay -f "$KV_TMP/relay.conf"
SERVER_PCAP=$(kv_pcap server)
DROPPED="The packet on interface $IFACE droped due to RPS limit"

# burst COUNT PASSED DROPPED_TOTAL: COUNT copies of one request back to back;
# PASSED of them reach the server and the drop lines add up to DROPPED_TOTAL.
burst() {
    local count=$1 passed=$2 dropped=$3
    kv_next_xid
    kv_frames_in "${KV_NS_CLIENT[1]}" request "${KV_IF_CLIENT[1]}" --xid "$KV_XID" --count "$count" \
        --wait "$SERVER_PCAP" --wait-count "$passed"
    kv_wait_log "$KV_RELAY_LOG" "$DROPPED" "$dropped" 5
    # Give a frame that should not have passed the time to show up.
    sleep 0.3
    local got lines
    got=$(kv_frames count "$SERVER_PCAP" --xid "$KV_XID")
    lines=$(kv_count_lines "$KV_RELAY_LOG" "$DROPPED")
    if [ "$got" -eq "$passed" ] && [ "$lines" -eq "$dropped" ]; then
        kv_pass "burst of $count: $passed forwarded, $dropped drop lines in all"
    else
        kv_check_fail "burst of $count: $got forwarded (expected $passed), $lines drop lines (expected $dropped)"
    fi
}

burst 10 7 3
sleep 1.2
burst 5 4 4

kv_relay_alive || kv_check_fail "the relay is no longer running"
kv_finish
