#!/usr/bin/env bash
# A relay on 64 client segments, each a /30: every segment's requests are
# answered on that segment (a few each, bounded), and the relay's peak
# resident size stays within 48 MB.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
[ -x "$LOADGEN" ] && [ -x "$RESPONDER" ] || kv_skip "the bench tools are not built ($LOADGEN, $RESPONDER)"

SEGMENTS=64
RSS_LIMIT_KB=$((48 * 1024))

kv_topology "$SEGMENTS"
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --max-seconds 60
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "the responder did not start"
args=()
for ((i = 1; i <= SEGMENTS; i++)); do args+=(-i "${KV_IF_RELAY[i]}"); done
kv_start_relay relay "${args[@]}" "$KV_IP_SERVER"

# Sixteen segments at a time, each on its own: --strict fails a segment
# unless every request got exactly one well-formed answer, on that segment.
failed=()
for ((first = 1; first <= SEGMENTS; first += 16)); do
    pids=()
    for ((i = first; i < first + 16 && i <= SEGMENTS; i++)); do
        timeout 20 ip netns exec "${KV_NS_CLIENT[i]}" "$LOADGEN" --iface "${KV_IF_CLIENT[i]}" --rate 100 \
            --count 4 --seconds 5 --drain-ms 1000 --strict --xid-base $((0x30000000 + 0x10000 * i)) \
            >"$KV_TMP/seg$i.out" 2>&1 &
        pids[i]=$!
    done
    for i in "${!pids[@]}"; do wait "${pids[i]}" || failed+=("$i: $(head -c 300 "$KV_TMP/seg$i.out")"); done
done
if [ ${#failed[@]} -eq 0 ]; then
    kv_pass "all $SEGMENTS segments answered in full, each on its own segment"
else
    kv_check_fail "${#failed[@]} of $SEGMENTS segments not answered in full: ${failed[*]:0:3}"
fi

kv_relay_alive || kv_fail "the relay died"
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$KV_RELAY_PID/status")
if [ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -cE '__(asan|tsan)_init')" -gt 0 ]; then
    # A sanitizer's shadow memory and quarantine are most of its size.
    kv_pass "memory not judged in a sanitizer build (peak $peak KiB; the normal build judges it)"
elif [ "${peak:-0}" -gt 0 ] && [ "$peak" -le "$RSS_LIMIT_KB" ]; then
    kv_pass "peak resident size with $SEGMENTS interfaces: $peak KiB (at most $RSS_LIMIT_KB)"
else
    kv_check_fail "peak resident size with $SEGMENTS interfaces: ${peak:-unknown} KiB, over $RSS_LIMIT_KB"
fi
kv_stop "$KV_RELAY_PID"
kv_finish
