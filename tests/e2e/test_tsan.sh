#!/usr/bin/env bash
# The relay built with ThreadSanitizer (cmake -DKESTIVANE_TSAN=ON) under
# load: the listeners of two client segments, the queue consumer and the
# answer thread all busy at once, with the queue_probe plug-in's hooks
# reading the request queue under its lock on all three kinds of thread.
# Requests come from two load generators, one per segment, as fast as they
# can send; the bench responder answers. The test fails on any
# ThreadSanitizer report in the relay's output, or when the relay dies or
# relays nothing. In a build without ThreadSanitizer it skips.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

say() { echo "[$(date +%T.%3N)] $*" >&2; }

# (grep -c reads all of nm's output: with pipefail an early grep -q exit
# would fail the pipeline.)
[ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -c __tsan_init)" -gt 0 ] ||
    kv_skip "the relay is not a ThreadSanitizer build (configure with -DKESTIVANE_TSAN=ON)"
LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
[ -x "$LOADGEN" ] && [ -x "$RESPONDER" ] || kv_skip "the bench tools are not built ($LOADGEN, $RESPONDER)"
PLUGIN_DIR=${KESTIVANE_TEST_PLUGIN_DIR:-$KESTIVANE_BUILD_DIR/tests/plugins/}
[ -f "$PLUGIN_DIR/kestivane_queue_probe_plugin.so" ] || kv_fail "queue_probe plug-in not built in $PLUGIN_DIR"

# Reports go to the relay's standard error, which is its log; keep running
# after the first so that every race shows.
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1"

kv_topology 2
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --max-seconds 90
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "the responder did not start"

cat >"$KV_TMP/relay.conf" <<EOF
[options]
plugin_path=$PLUGIN_DIR
[servers]
$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]}
[queue_probe-plugin]
file=$KV_TMP/queue_probe.report
EOF
kv_start_relay relay -f "$KV_TMP/relay.conf"
kv_wait_log "$KV_RELAY_LOG" "Listen at" 2 || kv_fail "the relay does not listen on both segments"

# Both segments at once, as fast as the generators go, bounded in count and
# time.
for seg in 1 2; do
    kv_bg "load$seg" "${KV_NS_CLIENT[seg]}" "$LOADGEN" --iface "${KV_IF_CLIENT[seg]}" --rate 0 \
        --count 30000 --seconds 8 --drain-ms 2000 --xid-base $((0x20000000 * seg))
    eval "LOAD$seg=\$KV_LAST_PID"
done
wait "$LOAD1" "$LOAD2"
for seg in 1 2; do
    say "segment $seg: $(cat "$KV_TMP/load$seg.log")"
    answered=$(sed -n 's/.*answered=\([0-9]*\).*/\1/p' "$KV_TMP/load$seg.log")
    [ "${answered:-0}" -gt 0 ] || kv_check_fail "segment $seg: no answer came back through the relay"
done
# The probe writes its figures when the relay gets SIGUSR2.
kill -USR2 "$KV_RELAY_PID"
sleep 0.3
say "queue_probe: $(cat "$KV_TMP/queue_probe.report" 2>/dev/null)"

kv_relay_alive || kv_fail "the relay died under load"
kv_stop "$KV_RELAY_PID"
if grep -q "ThreadSanitizer" "$KV_RELAY_LOG"; then
    grep -A 30 "WARNING: ThreadSanitizer" "$KV_RELAY_LOG" | head -n 120 >&2
    kv_fail "ThreadSanitizer reported $(grep -c 'WARNING: ThreadSanitizer' "$KV_RELAY_LOG") problem(s)"
fi
kv_pass "no ThreadSanitizer report with two listeners, the consumer and the answer thread under load"
kv_finish
