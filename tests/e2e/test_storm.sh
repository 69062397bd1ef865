#!/usr/bin/env bash
# Storms, bounded to about 15 s: a relay with a small queue_limit on two
# segments.
# - A burst of 40 too-short frames on segment 1: the first 10 lines of the
#   message are exactly as always, and the rest is told in one summary line
#   per second ("...: N more suppressed on <interface> in the last second"),
#   every frame accounted for.
# - Segment 1 flooded with valid DISCOVERs as fast as the generator goes,
#   while segment 2 sends 400/s: segment 2 is still served, the request
#   queue never holds more than queue_limit items, and the relay's memory
#   stays within a few MB of where it started.
# - Right after the storm segment 1 is served in full again.
# The relay runs with the sandbox on: none of this needs a call outside it.
# Every load is bounded in count and in time.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
[ -x "$LOADGEN" ] && [ -x "$RESPONDER" ] || kv_skip "the bench tools are not built ($LOADGEN, $RESPONDER)"
PLUGIN_DIR=${KESTIVANE_TEST_PLUGIN_DIR:-$KESTIVANE_BUILD_DIR/tests/plugins/}
[ -f "$PLUGIN_DIR/kestivane_queue_probe_plugin.so" ] || kv_fail "queue_probe plug-in not built in $PLUGIN_DIR"

QUEUE_LIMIT=8
STORM_SECONDS=4
RSS_SLACK_KB=6144 # the capture rings filling up, the allocator's arenas

kv_topology 2
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --max-seconds 60
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "the responder did not start"
REPORT="$KV_TMP/queue_probe.report"
cat >"$KV_TMP/relay.conf" <<CONF
[options]
plugin_path=$PLUGIN_DIR
queue_limit=$QUEUE_LIMIT
sandbox=on
[servers]
$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]}
[queue_probe-plugin]
file=$REPORT
CONF
KV_LISTEN_COUNT=2 kv_start_relay relay -f "$KV_TMP/relay.conf"
IF1=${KV_IF_RELAY[1]}

# field NAME FILE: the value of NAME=... in the one-line report FILE.
field() { sed -n "s/.*\\b$1=\\([0-9]*\\).*/\\1/p" "$2" | tail -n 1; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$KV_RELAY_PID/status"; }

# --- Log flood: 40 frames that fail the length check, back to back.
MESSAGE="length too little -- packet discarded"
kv_next_xid
kv_frames_in "${KV_NS_CLIENT[1]}" request "${KV_IF_CLIENT[1]}" --xid "$KV_XID" --count 40 --frame-len 100
kv_check_log_flood "$KV_RELAY_LOG" "$MESSAGE" "$IF1" 40

# --- Request storm on segment 1, a steady 400/s on segment 2.
sleep 0.5
rss_before=$(rss_kb)
(
    for ((i = 0; i < (STORM_SECONDS + 4) * 5; i++)); do
        rss=$(rss_kb 2>/dev/null) || break
        [ -n "$rss" ] || break
        echo "$rss"
        sleep 0.2
    done
) >"$KV_TMP/rss.samples" &
kv_adopt_pid $!
kv_bg storm "${KV_NS_CLIENT[1]}" nice -n 19 "$LOADGEN" --iface "${KV_IF_CLIENT[1]}" --rate 0 \
    --count 5000000 --seconds "$STORM_SECONDS" --drain-ms 1000 --xid-base 0x10000000
STORM_PID=$KV_LAST_PID
kv_bg steady "${KV_NS_CLIENT[2]}" "$LOADGEN" --iface "${KV_IF_CLIENT[2]}" --rate 400 \
    --count $((400 * STORM_SECONDS)) --seconds $((STORM_SECONDS + 2)) --drain-ms 1000 --xid-base 0x20000000
STEADY_PID=$KV_LAST_PID
wait "$STORM_PID" "$STEADY_PID"
echo "storm:  $(cat "$KV_TMP/storm.log")" >&2
echo "steady: $(cat "$KV_TMP/steady.log")" >&2

kill -USR2 "$KV_RELAY_PID"
sleep 0.3
echo "queue_probe: $(cat "$REPORT")" >&2
kv_relay_alive || kv_fail "the relay died in the storm"

sent=$(field sent "$KV_TMP/steady.log")
answered=$(field answered "$KV_TMP/steady.log")
storm_answered=$(field answered "$KV_TMP/storm.log")
# Served, not timed: a loaded machine may lose a few, a starved segment most.
if [ -n "$sent" ] && [ "$sent" -gt 0 ] && [ $((answered * 100)) -ge $((sent * 95)) ]; then
    kv_pass "segment 2 served through the storm: $answered of $sent answered"
else
    kv_check_fail "segment 2 starved by the storm: ${answered:-?} of ${sent:-?} answered"
fi
[ "${storm_answered:-0}" -gt 0 ] || kv_check_fail "the flooded segment got no answer at all"

peak=$(field queue_peak "$REPORT")
if [ -n "$peak" ] && [ "$peak" -le "$QUEUE_LIMIT" ]; then
    kv_pass "the request queue held at most $peak items (queue_limit $QUEUE_LIMIT)"
else
    kv_check_fail "the request queue held ${peak:-?} items, over queue_limit $QUEUE_LIMIT"
fi

rss_peak=$(sort -n "$KV_TMP/rss.samples" | tail -n 1)
echo "VmRSS (kB) every 0.2 s: $(tr '\n' ' ' <"$KV_TMP/rss.samples")" >&2
if [ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -cE '__(asan|tsan)_init')" -gt 0 ]; then
    kv_pass "memory not judged in a sanitizer build (the normal build judges it)"
elif [ -n "$rss_peak" ] && [ $((rss_peak - rss_before)) -le "$RSS_SLACK_KB" ]; then
    kv_pass "memory bounded in the storm: $rss_before kB before, at most $rss_peak kB"
else
    kv_check_fail "memory grew in the storm: $rss_before kB before, ${rss_peak:-?} kB at most"
fi

# --- Right after the storm, the flooded segment is served in full.
if line=$(ip netns exec "${KV_NS_CLIENT[1]}" "$LOADGEN" --iface "${KV_IF_CLIENT[1]}" --rate 500 --count 500 \
    --seconds 10 --drain-ms 1500 --xid-base 0x30000000 --strict); then
    kv_pass "after the storm: every request answered ($line)"
else
    kv_check_fail "after the storm: $line"
fi
kv_sandbox_clean storm "$KV_RELAY_LOG"
kv_finish
