#!/usr/bin/env bash
# Reload on SIGHUP under load: segment 1 carries a steady 1,000 requests a
# second (the bench generator, answered by the bench responder on port
# 1067) while the file alternates ten times between segment 1 alone and
# segment 1 with a second interface, segment 2, served by a second server
# (dnsmasq on port 67). No request of segment 1 may be lost; segment 2 must
# relay a real lease whenever it is configured, and none while it is not;
# each reload must be logged as in effect within 100 ms of the signal.
# DHCPv6 alongside: segment 1 carries 200 Solicits a second (answered by
# the bench responder on 547) through every reload, losing none, while
# [servers6] adds and removes segment 2 as a lower interface with a server
# of its own: Solicits there are answered whenever it is named, and none
# while it is not.
# Then a broken file: one error line with the start's text, and the relay
# goes on as before. Last, bind_ip moves segment 1's relay address, a
# reload names segment 2 while it does not exist: it relays once it comes,
# and relay_port moves the DHCPv6 server socket.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
[ -x "$LOADGEN" ] && [ -x "$RESPONDER" ] || kv_skip "the bench tools are not built ($LOADGEN, $RESPONDER)"
# A sanitizer build is slower by an order, and shares the machine with the
# generator: its bounds are its reports, and the normal build judges time
# and loss (none lost, 100 ms). In a sanitizer build a reload still has a
# second, and at most 1 % may be lost.
limit_ms=${KESTIVANE_RELOAD_LIMIT_MS:-100}
lost_limit=0
if [ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -cE '__(asan|tsan)_init')" -gt 0 ]; then
    limit_ms=1000
    lost_limit=160
fi
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1"

KV_IPV6=1 kv_topology 2
kv_start_responder6
kv_v6_clients 1 4
kv_v6_clients 2 4
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --port 1067 --max-seconds 60
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 1067 || kv_fail "the responder did not start"
kv_start_dnsmasq

conf="$KV_TMP/relay.conf"
one="$KV_IP_SERVER:1067 ${KV_IF_RELAY[1]}"
two="$KV_IP_SERVER ${KV_IF_RELAY[2]}"
# Options change too, among them one that the reporter thread reads and
# one that changes what the relay writes into option 82; the
# checks run inside the relay's sandbox.
options() {
    printf '[options]\nsandbox=on\nstats_file=%s\nstats_interval=%s\nmax_hops=%s\nlink_selection=%s\n' \
        "$KV_TMP/stats" "$1" "$2" "${3:-off}"
}
# [servers6]: segment 1, and with an argument segment 2 with a server of
# its own (the same host by another text, which names another server).
servers6() {
    printf '[servers6]\n%s %s\n' "$KV_IP6_SERVER" "${KV_IF_RELAY[1]}"
    [ $# = 0 ] || printf '[%s]:547 %s\n' "$KV_IP6_SERVER" "${KV_IF_RELAY[2]}"
}
{ options 2 4; printf '[servers]\n%s\n' "$one"; servers6; } >"$conf"
kv_start_relay relay -f "$conf"

kv_bg load "${KV_NS_CLIENT[1]}" "$LOADGEN" --iface "${KV_IF_CLIENT[1]}" --rate 1000 --count 16000 \
    --seconds 16 --drain-ms 2000 --xid-base 0x10000000
load_pid=$KV_LAST_PID
kv_bg load6 "${KV_NS_CLIENT[1]}" "$LOADGEN" --iface "${KV_IF_CLIENT[1]}" --v6 --v6-clients 4 --rate 200 \
    --count 3200 --seconds 16 --drain-ms 2000
load6_pid=$KV_LAST_PID
sleep 1

times=()
leases=0
for ((round = 1; round <= 10; round++)); do
    if ((round % 2)); then
        { options 1 5 on; printf '[servers]\n%s\n%s\n' "$one" "$two"; servers6 2; } >"$conf"
        want="interfaces +1 -0, servers +1 -0, DHCPv6 interfaces +1 -0, DHCPv6 servers +1 -0, options max_hops, stats_interval, fabric sub-options"
    else
        { options 2 4; printf '[servers]\n%s\n' "$one"; servers6; } >"$conf"
        want="interfaces +0 -1, servers +0 -1, DHCPv6 interfaces +0 -1, DHCPv6 servers +0 -1, options max_hops, stats_interval, fabric sub-options"
    fi
    ms=$(kv_hup "$round")
    times+=("$ms")
    line=$(grep -E '^(Reloaded|Can.t reload) ' "$KV_RELAY_LOG" | sed -n "${round}p")
    case "$line" in *": $want") ;; *) kv_check_fail "reload $round: '$line', not '... $want'" ;; esac
    if [ "$ms" = timeout ] || [ "$ms" -gt "$limit_ms" ]; then
        kv_check_fail "reload $round: in effect after $ms ms, more than $limit_ms"
    fi
    answered6=$(kv_answered6 "v6round$round" 2 10 100 1)
    if ((round % 2)); then
        kv_udhcpc 2 3 "udhcpc$round" >/dev/null && leases=$((leases + 1)) ||
            kv_check_fail "reload $round: no lease on segment 2"
        [ "$answered6" = 10 ] || kv_check_fail "reload $round: $answered6 of 10 DHCPv6 Solicits answered on segment 2"
    else
        kv_udhcpc 2 1 "udhcpc$round" >/dev/null &&
            kv_check_fail "reload $round: a lease on segment 2, which the file no longer names"
        [ "$answered6" = 0 ] || kv_check_fail "reload $round: $answered6 DHCPv6 answers on segment 2, no longer named"
    fi
done
kv_pass "10 reloads in effect after ${times[*]} ms; $leases leases and DHCPv6 answers on segment 2 when named"

# A broken file: the start's refusal, once, and nothing changes.
{ printf '[options]\nmax_hops=70\n[servers]\n%s\n%s\n' "$one" "$two"; servers6; } >"$conf"
ms=$(kv_hup 11)
[ "$(kv_count_lines "$KV_RELAY_LOG" "Can't reload $conf: Wrong hops number. Line: 2")" = 1 ] ||
    kv_check_fail "a broken file did not give exactly one error line"
[ "$(kv_count_lines "$KV_RELAY_LOG" "Reloaded ")" = 10 ] || kv_check_fail "a broken file was applied"
kv_relay_alive || kv_fail "the relay ended on a broken file"

wait "$load_pid"
summary=$(cat "$KV_TMP/load.log")
echo "segment 1: $summary" >&2
sent=$(sed -n 's/.* sent=\([0-9]*\) .*/\1/p' <<<"$summary")
lost=$(sed -n 's/.* lost=\([0-9]*\) .*/\1/p' <<<"$summary")
case " $summary " in
    *" dup=0 bad=0 "*)
        [ "$sent" -ge 14000 ] || kv_check_fail "segment 1: only $sent requests sent"
        if [ -n "$lost" ] && [ "$lost" -le "$lost_limit" ]; then
            kv_pass "segment 1: $sent requests at 1,000/s through 11 reloads, $lost lost"
        else
            kv_check_fail "segment 1 lost requests across the reloads (at most $lost_limit): $summary"
        fi ;;
    *) kv_check_fail "segment 1: duplicate or bad answers across the reloads: $summary" ;;
esac
wait "$load6_pid"
summary6=$(cat "$KV_TMP/load6.log")
echo "segment 1, DHCPv6: $summary6" >&2
lost6=$(sed -n 's/.* lost=\([0-9]*\) .*/\1/p' <<<"$summary6")
answered6=$(sed -n 's/.*answered=\([0-9]*\).*/\1/p' <<<"$summary6")
if [ "${answered6:-0}" -gt 2000 ] && [ -n "$lost6" ] && [ "$lost6" -le $((lost_limit / 5)) ]; then
    kv_pass "segment 1: $answered6 DHCPv6 Solicits answered through 11 reloads, $lost6 lost"
else
    kv_check_fail "segment 1 lost DHCPv6 Solicits across the reloads (at most $((lost_limit / 5))): $summary6"
fi
# bind_ip moves segment 1's relay address; the port needs no privilege in
# this namespace.
ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv4.ip_unprivileged_port_start=0
ip -n "$KV_NS_RELAY" addr add 198.51.100.2/26 dev "${KV_IF_RELAY[1]}"
{ options 2 4; printf '[servers]\nbind_ip=%s 198.51.100.2\n%s\n' "${KV_IF_RELAY[1]}" "$one"; servers6; } >"$conf"
ms=$(kv_hup 12)
kv_wait_log "$KV_RELAY_LOG" "interfaces +0 -0, servers +0 -0, addresses ${KV_IF_RELAY[1]}" 1 2 ||
    kv_check_fail "bind_ip: no reload line naming the address change"
ip netns exec "$KV_NS_RELAY" ss -uanp | grep -q "198.51.100.2:67 .*pid=$KV_RELAY_PID," ||
    kv_check_fail "bind_ip: no socket on 198.51.100.2 port 67"
kv_pass "bind_ip: the relay address moved in $ms ms"
# A reload naming an interface that is not there: it is awaited, and
# relays once it comes.
kv_segment_delete 2
{ options 2 4; printf '[servers]\nbind_ip=%s 198.51.100.2\n%s\n%s\n' "${KV_IF_RELAY[1]}" "$one" "$two"; servers6; } >"$conf"
ms=$(kv_hup 13)
listening=$(kv_count_lines "$KV_RELAY_LOG" "Listen at ${KV_IF_RELAY[2]}")
kv_segment_create 2
kv_wait_log "$KV_RELAY_LOG" "Listen at ${KV_IF_RELAY[2]}" $((listening + 1)) 3 ||
    kv_check_fail "segment 2, named while absent, was not opened when it came"
kv_udhcpc 2 3 late >/dev/null && kv_pass "segment 2, named while absent, relays a lease once it came" ||
    kv_check_fail "no lease on segment 2 after it came"
# Segment 1's DHCPv6 server changes (a second responder, on port 1548):
# its Solicits go there alone, the old server's series goes from the
# metrics, and so have segment 2's since a reload retired it.
kv_bg responder6b "$KV_NS_SERVER" "$RESPONDER" --listen6 "$KV_IP6_SERVER" --port 1548 --max-seconds 60
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 1548 || kv_fail "the second DHCPv6 responder did not start"
{ options 2 4; printf '[servers]\nbind_ip=%s 198.51.100.2\n%s\n%s\n' "${KV_IF_RELAY[1]}" "$one" "$two"
  printf '[servers6]\n[%s]:1548 %s\n' "$KV_IP6_SERVER" "${KV_IF_RELAY[1]}"; } >"$conf"
ms=$(kv_hup 14)
kv_wait_log "$KV_RELAY_LOG" "DHCPv6 interfaces +0 -0, DHCPv6 servers +1 -1" 1 2 ||
    kv_check_fail "a new server for segment 1: no reload line counting it"
answered6=$(kv_answered6 v6relist 1 10)
sleep 2.5
series6=$(grep '^kestivane_v6_requests_forwarded_total' "$KV_TMP/stats")
if [ "$answered6" = 10 ] && grep -q "${KV_IF_RELAY[1]}\",server=\"\[$KV_IP6_SERVER\]:1548\"} 10\$" <<<"$series6" &&
    [ "$(grep -c . <<<"$series6")" = 1 ]; then
    kv_pass "a new DHCPv6 server for segment 1 in $ms ms: 10 of 10 Solicits answered there, the old series gone"
else
    kv_check_fail "a new DHCPv6 server for segment 1: $answered6 of 10 answered; series: $series6"
fi

# relay_port moves the DHCPv6 server socket too: Solicits on segment 1 are
# relayed from the new port, and the Relay-Replies taken there are
# delivered (from that port, which the generator does not take: the relay's
# own count says it), and 547 is let go.
delivered6() {
    sed -n "s/^kestivane_v6_answers_delivered_total{interface=\"${KV_IF_RELAY[1]}\"} //p" "$KV_TMP/stats"
}
{ options 2 4; printf 'relay_port=1547\n[servers]\nbind_ip=%s 198.51.100.2\n%s\n%s\n' "${KV_IF_RELAY[1]}" \
    "$one" "$two"; servers6; } >"$conf"
ms=$(kv_hup 15)
kv_wait_log "$KV_RELAY_LOG" "options relay_port" 1 2 || kv_check_fail "relay_port: no reload line naming it"
sockets6=$(ip netns exec "$KV_NS_RELAY" ss -uanp -6 | grep "pid=$KV_RELAY_PID,")
grep -q ':1547 ' <<<"$sockets6" && ! grep -q ':547 ' <<<"$sockets6" ||
    kv_check_fail "relay_port: the DHCPv6 server socket did not move to 1547: $sockets6"
sleep 2.5
before6=$(delivered6)
kv_answered6 v6port 1 10 >/dev/null
sleep 2.5
after6=$(delivered6)
[ $((after6 - before6)) = 10 ] && kv_pass "relay_port: the DHCPv6 server socket moved in $ms ms, 10 of 10 Solicits answered through it" ||
    kv_check_fail "relay_port: $((after6 - before6)) of 10 DHCPv6 Relay-Replies delivered through the new port"
[ -s "$KV_TMP/stats" ] || kv_check_fail "no stats file written"
kv_sandbox_clean reload "$KV_RELAY_LOG"
if grep -q "ThreadSanitizer" "$KV_RELAY_LOG"; then kv_check_fail "ThreadSanitizer reports in the relay's log"; fi
kv_relay_alive || kv_fail "the relay died"
kv_finish
