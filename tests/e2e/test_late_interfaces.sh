#!/usr/bin/env bash
# Interfaces named in the configuration that are not there when the relay
# starts, with real clients:
#   a  (file) segment 2's interface absent at start-up, created 5 s later:
#      one "Listen at" line, and a client on it gets a lease within 2 s of
#      its creation; segment 1 kept relaying meanwhile; the opening needs
#      no call outside the sandbox;
#   b  (command line) segment 2's interface there but without an IPv4
#      address: opened once the address is added, with the server operand;
#   c  (file) segment 2's interface, a DHCPv6 lower interface of [servers6],
#      absent at start-up and created later: opened with one line within
#      2 s of its creation, then every DHCPv6 Solicit from it is relayed and
#      answered (the bench generator and responder).
# (A relay with nothing to relay on at start-up still refuses to start: the
# start-up unit tests hold that.)
set -uo pipefail
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq busybox; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done

# Case c needs the bench tools.
LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
cases="a b c"
if [ ! -x "$LOADGEN" ] || [ ! -x "$RESPONDER" ]; then
    echo "c skipped: the bench tools are not built ($LOADGEN, $RESPONDER)" >&2
    cases="a b"
fi

KV_IPV6=1 kv_topology 2
R1=${KV_IF_RELAY[1]} R2=${KV_IF_RELAY[2]}
kv_start_dnsmasq

# lease SEG: a lease on segment SEG, in its range.
lease() {
    local got
    got=$(kv_udhcpc "$1" 4 "lease$1-$2") || return 1
    kv_in_range "$1" "$got"
}

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

case_a() {
    local t0 took
    kv_segment_delete 2
    printf '[options]\nsandbox=on\n[servers]\n%s %s %s\n' "$KV_IP_SERVER" "$R1" "$R2" >"$KV_TMP/a.conf"
    KV_LISTEN_COUNT=1 kv_start_relay a -f "$KV_TMP/a.conf"
    grep -qF "Interface $R2 does not exist. Ignored." "$KV_RELAY_LOG" || kv_fail "a: the absence is not logged"
    lease 1 a || kv_fail "a: no lease on segment 1 while segment 2 is awaited"
    sleep 5
    t0=$(date +%s%N)
    kv_segment_create 2
    lease 2 a || kv_fail "a: no lease on segment 2 after its creation"
    took=$(ms_since "$t0")
    [ "$(kv_count_lines "$KV_RELAY_LOG" "Listen at $R2: ${KV_IP_RELAY[2]}")" = 1 ] ||
        kv_fail "a: segment 2's opening is not logged once"
    [ "$took" -le 2000 ] || kv_fail "a: lease on segment 2 only $took ms after its creation"
    lease 1 a2 || kv_fail "a: no lease on segment 1 after segment 2 opened"
    kv_stop "$KV_RELAY_PID"
    kv_pass "a: segment 2 created 5 s after start-up: lease $took ms after its creation"
}

case_b() {
    ip -n "$KV_NS_RELAY" addr del "${KV_IP_RELAY[2]}/26" dev "$R2"
    KV_LISTEN_COUNT=1 kv_start_relay b -i "$R1" -i "$R2" "$KV_IP_SERVER"
    lease 2 b && kv_fail "b: a lease on segment 2 without its address"
    ip -n "$KV_NS_RELAY" addr add "${KV_IP_RELAY[2]}/26" dev "$R2"
    kv_wait_log "$KV_RELAY_LOG" "Listen at $R2: ${KV_IP_RELAY[2]}" 1 3 || kv_fail "b: the address came unnoticed"
    lease 2 b2 || kv_fail "b: no lease on segment 2 once it has its address"
    kv_stop "$KV_RELAY_PID"
    kv_pass "b: segment 2 opened when its address came, relaying to the server operand"
}

case_c() {
    local t0 took answered
    kv_start_responder6
    kv_segment_delete 2
    printf '[options]\nsandbox=on\n[servers]\n%s %s\n[servers6]\n%s %s\n' "$KV_IP_SERVER" "$R1" \
        "$KV_IP6_SERVER" "$R2" >"$KV_TMP/c.conf"
    KV_LISTEN_COUNT=1 kv_start_relay c -f "$KV_TMP/c.conf"
    grep -qF "Interface $R2 does not exist. Ignored." "$KV_RELAY_LOG" || kv_fail "c: the absence is not logged"
    sleep 1
    t0=$(date +%s%N)
    kv_segment_create 2
    kv_v6_clients 2 4
    kv_wait_log "$KV_RELAY_LOG" "Listen at $R2 for DHCPv6" 1 2 || kv_fail "c: segment 2 not opened for DHCPv6 within 2 s"
    took=$(ms_since "$t0")
    [ "$took" -le 2000 ] || kv_fail "c: segment 2 opened for DHCPv6 only $took ms after its creation"
    answered=$(kv_answered6 c6 2 20)
    [ "$answered" = 20 ] || kv_fail "c: $answered of 20 Solicits answered on segment 2: $(cat "$KV_TMP/c6.log")"
    [ "$(kv_count_lines "$KV_RELAY_LOG" "Listen at $R2 for DHCPv6")" = 1 ] || kv_fail "c: opened more than once"
    kv_stop "$KV_RELAY_PID"
    kv_pass "c: DHCPv6 on segment 2, created after start-up: opened $took ms after its creation, 20 of 20 Solicits answered"
}

for c in $cases; do "case_$c"; done
kv_sandbox_clean "the relay" "$KV_TMP/a.log"
kv_finish
