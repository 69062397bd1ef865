#!/usr/bin/env bash
# The counters, seen through the metrics file: known traffic goes in on two
# client segments and from the server side, and every counter of the file
# must equal what was sent, fate by fate. The file must parse as the
# Prometheus text format (python3-prometheus-client's parser, and promtool
# when it is installed). SIGUSR1 logs the counters and the relay goes on;
# requests that go unanswered for six intervals raise the health alarm once,
# and the first answer clears it once.
#
# Segment 1 relays to three servers: 203.0.113.2 (nothing listens; the
# datagrams are simply sent), 203.0.113.200 (a prohibit route: every send
# fails) and 203.0.113.3 (the probe plug-in's send_to_server hook refuses
# it). Segment 2 relays to 203.0.113.2 only, and its MTU of 400 refuses
# answer frames longer than 418 bytes. The probe plug-in refuses or spoils
# the messages of chosen transaction ids at each hook point.
source "$(dirname "$0")/lib.sh"
"$KV_PYTHON" -c 'import prometheus_client' 2>/dev/null ||
    kv_skip "python3-prometheus-client is not installed (scripts/deps.sh installs it)"

TEST_PLUGINS=${KESTIVANE_TEST_PLUGIN_DIR:-$(dirname "$KESTIVANE")/tests/plugins/}
PLUGIN_DIR="$KV_TMP/pl/"
mkdir -p "$PLUGIN_DIR" "$KV_TMP/stats"
[ -f "${TEST_PLUGINS}kestivane_probe_plugin.so" ] || kv_fail "plug-in not built: ${TEST_PLUGINS}kestivane_probe_plugin.so"
ln -s "${TEST_PLUGINS}kestivane_probe_plugin.so" "$PLUGIN_DIR"
STATS="$KV_TMP/stats/kestivane.prom"
METRICS="$KV_DIR/metrics.py"
metrics() { "$KV_PYTHON" "$METRICS" "$@"; }

kv_topology 2
R1=${KV_IF_RELAY[1]} R2=${KV_IF_RELAY[2]}
SINK=203.0.113.2 REFUSED=203.0.113.200 REJECTED=203.0.113.3
ip -n "$KV_NS_SERVER" addr add "$REJECTED/24" dev "$KV_IF_SERVER"
ip -n "$KV_NS_RELAY" route add prohibit "$REFUSED/32"
ip -n "$KV_NS_RELAY" link set "$R2" mtu 400

# The transaction ids the probe plug-in acts on.
X_REJECT=0x5e000001 X_BAD=0x5e000002 XA_REJECT=0x5e000003 XA_BAD=0x5e000004
XC_REJECT=0x5e000005 XC_BAD=0x5e000006

start_relay() {
    local name=$1
    shift
    printf '%s\n' "$@" >"$KV_TMP/$name.conf"
    kv_start_relay "$name" -f "$KV_TMP/$name.conf"
}
start_relay relay "[options]" "plugin_path=$PLUGIN_DIR" "max_hops=3" "stats_file=$STATS" "stats_interval=1" \
    "[servers]" "$SINK $R1 $R2" "$REFUSED $R1" "$REJECTED $R1" \
    "[options]" "max_packet_size=600" \
    "[probe-plugin]" "reject_server=$REJECTED" "reject=client_request@$X_REJECT" \
    "remove_end=send_to_server@$X_BAD" "reject=server_answer@$XA_REJECT" "remove_end=server_answer@$XA_BAD" \
    "reject=send_to_client@$XC_REJECT" "remove_end=send_to_client@$XC_BAD"

# request SEG ARGS...: crafted request frames on client segment SEG.
request() {
    local seg=$1
    shift
    kv_frames_in "${KV_NS_CLIENT[seg]}" request "${KV_IF_CLIENT[seg]}" --xid 0x5e100001 "$@" ||
        kv_fail "could not send on segment $seg: $*"
}
# answer SEG ARGS...: answers from the server to the relay's address on
# segment SEG, for that segment's client unless ARGS say otherwise.
answer() {
    local seg=$1
    shift
    kv_frames_in "$KV_NS_SERVER" answer --to "${KV_IP_RELAY[seg]}" --bind "$SINK" --giaddr "${KV_IP_RELAY[seg]}" \
        --yiaddr "${KV_RANGE_LO[seg]}" --chaddr "${KV_MAC_CLIENT[seg]}" --xid 0x5e200001 "$@" ||
        kv_fail "could not send an answer to segment $seg: $*"
}

# Requests, one fate each (three good ones), then the answers.
request 1 --count 3
request 1 --frame-len 601
request 1 --frame-len 277
request 1 --vlan
request 1 --udp-len 240
request 1 --no-end
request 1 --op 2
request 1 --hops 3
request 1 --xid "$X_REJECT"
request 2 --xid "$X_BAD"
answer 1 --count 2
answer 1 --size 299 --no-end
answer 1 --giaddr 198.51.100.250
answer 1 --xid "$XA_REJECT"
answer 1 --xid "$XA_BAD"
answer 2 --xid "$XC_REJECT"
answer 2 --xid "$XC_BAD"

# The alarm: segment 2's requests go unanswered for more than six
# intervals, then one answer comes back.
ALARM="Interface $R2: requests forwarded to $SINK:67 for 6 seconds without an answer"
CLEARED="Interface $R2: answers from the servers again"
UNANSWERED=18
request 2 --count "$UNANSWERED" --gap 0.5
if kv_wait_log "$KV_RELAY_LOG" "$ALARM" 1 5; then kv_pass "alarm raised"; else kv_check_fail "no alarm line: $ALARM"; fi
kv_wait_for 3 metrics check "$STATS" "kestivane_answer_alarm{interface=$R2}=1" ||
    kv_check_fail "the metrics file does not show the alarm"
answer 2
if kv_wait_log "$KV_RELAY_LOG" "$CLEARED" 1 5; then kv_pass "alarm cleared"; else kv_check_fail "no clearing line"; fi
# An answer frame longer than segment 2's MTU: the write fails.
answer 2 --size 460 --options "3501022bc8$(printf '00%.0s' $(seq 200))"

# Every counter of the file, against what was sent.
EXPECTED=(
    "kestivane_build_info{version=$("$KESTIVANE" -h 2>&1 | sed -n 's/^Version \(.*\)\.$/\1/p')}=1"
    "kestivane_requests_captured_total{interface=$R1}=11"
    "kestivane_requests_captured_total{interface=$R2}=$((UNANSWERED + 1))"
)
# reason: segment 1, segment 2. plugin_rejected on segment 1: one request by
# its client_request hook, and the three good ones once each for the refused
# server.
for row in too_long:1:0 too_short:1:0 not_ipv4:1:0 short_dhcp:1:0 no_end:1:0 reply:1:0 rate_limit:0:0 \
    queue_full:0:0 plugin_rejected:4:0 hop_limit:1:0 bad_after_plugin:0:1; do
    IFS=: read -r reason n1 n2 <<<"$row"
    EXPECTED+=("kestivane_requests_dropped_total{interface=$R1,reason=$reason}=$n1"
        "kestivane_requests_dropped_total{interface=$R2,reason=$reason}=$n2")
done
# interface, server, forwarded, errors
for row in "$R1 $SINK 3 0" "$R1 $REFUSED 0 3" "$R1 $REJECTED 0 0" "$R2 $SINK $UNANSWERED 0"; do
    read -r ifname server n errors <<<"$row"
    EXPECTED+=("kestivane_requests_forwarded_total{interface=$ifname,server=$server:67}=$n"
        "kestivane_forward_errors_total{interface=$ifname,server=$server:67}=$errors")
done
# reason: segment 1, segment 2. Answers count where they were received,
# except those the send_to_client hooks refuse, which count at the client's.
for row in too_short:1:0 receive_error:0:0 plugin_rejected:1:1 bad_after_plugin:1:1 unknown_giaddr:1:0; do
    IFS=: read -r reason n1 n2 <<<"$row"
    EXPECTED+=("kestivane_answers_dropped_total{interface=$R1,reason=$reason}=$n1"
        "kestivane_answers_dropped_total{interface=$R2,reason=$reason}=$n2")
done
# metric: segment 1, segment 2
for row in answers_received:6:4 answers_delivered:2:1 answer_write_errors:0:1 capture_dropped:0:0 \
    socket_dropped:0:0 answer_alarm:0:0; do
    IFS=: read -r name n1 n2 <<<"$row"
    suffix=_total
    [ "$name" = answer_alarm ] && suffix=
    EXPECTED+=("kestivane_$name$suffix{interface=$R1}=$n1" "kestivane_$name$suffix{interface=$R2}=$n2")
done
# The queue is empty by now; at most every forwarded request waited at once.
EXPECTED+=("kestivane_queue_length=0" "kestivane_queue_length_max<=$((UNANSWERED + 5))")

if kv_wait_for 5 metrics check "$STATS" "${EXPECTED[@]}" 2>/dev/null; then
    kv_pass "every counter matches the traffic (${#EXPECTED[@]} series)"
else
    metrics check "$STATS" "${EXPECTED[@]}"
    kv_check_fail "counters differ from the traffic (above)"
fi
now=$(date +%s)
start=$(metrics value "$STATS" kestivane_start_time_seconds) || kv_check_fail "no start time"
awk -v s="$start" -v n="$now" 'BEGIN { exit !(s > n - 120 && s <= n) }' || kv_check_fail "start time $start is not recent"
if metrics validate "$STATS"; then kv_pass "the file parses as Prometheus text"; else kv_check_fail "the file is not valid"; fi
grep -q '^# TYPE kestivane_v6_' "$STATS" && kv_check_fail "a relay without DHCPv6 shows v6 metrics"
if command -v promtool >/dev/null 2>&1; then
    promtool check metrics <"$STATS" || kv_check_fail "promtool refuses the file"
fi
ls -a "$KV_TMP/stats" | grep -q '^\.kestivane' && kv_check_fail "a temporary file was left: $(ls -a "$KV_TMP/stats")"
[ "$(stat -c %a "$STATS")" = 644 ] || kv_check_fail "the file's mode is $(stat -c %a "$STATS"), not 644"

# The dump: one line per interface with the counters that are not zero, in
# the file's names, and one for the queue; the relay goes on.
kill -USR1 "$KV_RELAY_PID"
DUMP1="Counters of interface $R1: requests_captured=11 requests_dropped{too_long}=1 requests_dropped{too_short}=1"
DUMP1+=" requests_dropped{not_ipv4}=1 requests_dropped{short_dhcp}=1 requests_dropped{no_end}=1"
DUMP1+=" requests_dropped{reply}=1 requests_dropped{plugin_rejected}=4 requests_dropped{hop_limit}=1"
DUMP1+=" requests_forwarded{$SINK:67}=3 forward_errors{$REFUSED:67}=3 answers_received=6"
DUMP1+=" answers_dropped{too_short}=1 answers_dropped{plugin_rejected}=1 answers_dropped{bad_after_plugin}=1"
DUMP1+=" answers_dropped{unknown_giaddr}=1 answers_delivered=2"
DUMP2="Counters of interface $R2: requests_captured=$((UNANSWERED + 1)) requests_dropped{bad_after_plugin}=1"
DUMP2+=" requests_forwarded{$SINK:67}=$UNANSWERED answers_received=4 answers_dropped{plugin_rejected}=1"
DUMP2+=" answers_dropped{bad_after_plugin}=1 answers_delivered=1 answer_write_errors=1"
if kv_wait_log "$KV_RELAY_LOG" "Counters of the request queue: " 1 5; then
    for line in "$DUMP1" "$DUMP2"; do
        grep -qxF -- "$line" "$KV_RELAY_LOG" || kv_check_fail "no dump line: $line"
    done
    kv_pass "SIGUSR1 dump"
else
    kv_check_fail "SIGUSR1 logged no queue line"
fi
sleep 0.3
kv_relay_alive && kv_pass "the relay runs on after SIGUSR1" || kv_check_fail "SIGUSR1 ended the relay"
[ "$(kv_count_lines "$KV_RELAY_LOG" "without an answer")" -eq 1 ] || kv_check_fail "not exactly one alarm line"
[ "$(kv_count_lines "$KV_RELAY_LOG" "answers from the servers again")" -eq 1 ] ||
    kv_check_fail "not exactly one clearing line"
kv_stop "$KV_RELAY_PID"

# The rate limit, with a relay of its own: a limit of 3 lets 4 frames pass,
# then one that opens a new one-second window, then 4 more; the rest of a
# burst of 20 within that second is dropped.
start_relay limited "[options]" "rps_limit=3" "stats_file=$STATS" "stats_interval=1" "[servers]" "$SINK $R1"
request 1 --count 20
if kv_wait_for 5 metrics check "$STATS" "kestivane_requests_captured_total{interface=$R1}=20" \
    "kestivane_requests_dropped_total{interface=$R1,reason=rate_limit}=11" \
    "kestivane_requests_forwarded_total{interface=$R1,server=$SINK:67}=9" 2>/dev/null; then
    kv_pass "rate-limited frames counted"
else
    metrics check "$STATS" "kestivane_requests_captured_total{interface=$R1}=20" \
        "kestivane_requests_dropped_total{interface=$R1,reason=rate_limit}=11" \
        "kestivane_requests_forwarded_total{interface=$R1,server=$SINK:67}=9"
    kv_check_fail "rate-limit counters"
fi

kv_finish
