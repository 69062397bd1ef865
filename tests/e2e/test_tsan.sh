#!/usr/bin/env bash
# The relay built with ThreadSanitizer (cmake -DKESTIVANE_TSAN=ON) under
# load: the listeners of two client segments, the queue consumer and the
# answer thread all busy at once, with the queue_probe plug-in's hooks
# reading the request queue under its lock on all three kinds of thread;
# beside them the two DHCPv6 threads, and the metrics writer reading every
# counter. Requests come from two load generators, one per segment, as fast
# as they can send, and DHCPv6 Solicits from a third on segment 2; the bench
# responders answer. The test fails on any
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

KV_IPV6=1 kv_topology 2
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --max-seconds 90
kv_bg responder6 "$KV_NS_SERVER" "$RESPONDER" --listen6 "$KV_IP6_SERVER" --max-seconds 90
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "the responder did not start"
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 547 || kv_fail "the DHCPv6 responder did not start"
# The generator's made-up DHCPv6 clients are known neighbours: their
# answers need no neighbour discovery.
V6_CLIENTS=16
kv_v6_clients 2 "$V6_CLIENTS"

cat >"$KV_TMP/relay.conf" <<EOF
[options]
plugin_path=$PLUGIN_DIR
stats_file=$KV_TMP/stats
stats_interval=1
[servers]
$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]}
[servers6]
$KV_IP6_SERVER ${KV_IF_RELAY[2]}
[queue_probe-plugin]
file=$KV_TMP/queue_probe.report
EOF
kv_start_relay relay -f "$KV_TMP/relay.conf"
kv_wait_log "$KV_RELAY_LOG" "Listen at" 3 || kv_fail "the relay does not listen on both segments and for DHCPv6"

# Both segments at once, as fast as the generators go, bounded in count and
# time.
for seg in 1 2; do
    kv_bg "load$seg" "${KV_NS_CLIENT[seg]}" "$LOADGEN" --iface "${KV_IF_CLIENT[seg]}" --rate 0 \
        --count 30000 --seconds 8 --drain-ms 2000 --xid-base $((0x20000000 * seg))
    eval "LOAD$seg=\$KV_LAST_PID"
done
kv_bg load6 "${KV_NS_CLIENT[2]}" "$LOADGEN" --iface "${KV_IF_CLIENT[2]}" --v6 --v6-clients "$V6_CLIENTS" \
    --rate 0 --count 30000 --seconds 8 --drain-ms 2000
LOAD6=$KV_LAST_PID
wait "$LOAD1" "$LOAD2" "$LOAD6"
for seg in 1 2 6; do
    say "load $seg: $(cat "$KV_TMP/load$seg.log")"
    answered=$(sed -n 's/.*answered=\([0-9]*\).*/\1/p' "$KV_TMP/load$seg.log")
    [ "${answered:-0}" -gt 0 ] || kv_check_fail "load $seg: no answer came back through the relay"
done
# The probe writes its figures when the relay gets SIGUSR2.
kill -USR2 "$KV_RELAY_PID"
sleep 0.3
say "queue_probe: $(cat "$KV_TMP/queue_probe.report" 2>/dev/null)"

kv_relay_alive || kv_fail "the relay died under load"
kv_stop "$KV_RELAY_PID"

# tsan_clean LOG WHAT: no ThreadSanitizer report in LOG.
tsan_clean() {
    if grep -q "ThreadSanitizer" "$1"; then
        grep -A 30 "WARNING: ThreadSanitizer" "$1" | head -n 120 >&2
        kv_fail "ThreadSanitizer reported $(grep -c 'WARNING: ThreadSanitizer' "$1") problem(s) $2"
    fi
    kv_pass "no ThreadSanitizer report $2"
}
tsan_clean "$KV_RELAY_LOG" "with two listeners, the consumer, the answer thread and both DHCPv6 threads under load"

# Without a send_to_server hook a listener forwards a request itself while
# the consumer waits idle, and queues it otherwise: at a rate the relay
# keeps up with only now and then, both happen, on both segments at once.
printf '[servers]\n%s %s %s\n' "$KV_IP_SERVER" "${KV_IF_RELAY[1]}" "${KV_IF_RELAY[2]}" >"$KV_TMP/direct.conf"
KV_LISTEN_COUNT=2 kv_start_relay direct -f "$KV_TMP/direct.conf"
for seg in 1 2; do
    kv_bg "direct$seg" "${KV_NS_CLIENT[seg]}" "$LOADGEN" --iface "${KV_IF_CLIENT[seg]}" --rate 3000 \
        --count 9000 --seconds 8 --drain-ms 2000 --xid-base $((0x60000000 + 0x1000000 * seg))
    eval "DIRECT$seg=\$KV_LAST_PID"
done
wait "$DIRECT1" "$DIRECT2"
for seg in 1 2; do
    say "direct $seg: $(cat "$KV_TMP/direct$seg.log")"
    answered=$(sed -n 's/.*answered=\([0-9]*\).*/\1/p' "$KV_TMP/direct$seg.log")
    [ "${answered:-0}" -gt 0 ] || kv_check_fail "direct $seg: no answer came back through the relay"
done
kv_relay_alive || kv_fail "the relay without plug-ins died under load"
kv_stop "$KV_RELAY_PID"
tsan_clean "$KV_RELAY_LOG" "with listeners forwarding themselves beside the consumer"
kv_finish
