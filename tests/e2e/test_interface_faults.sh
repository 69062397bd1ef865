#!/usr/bin/env bash
# Interfaces that vanish and come back, and addresses that change, with one
# relay on two client segments and real clients:
#   a  link down and up: leases keep flowing, nothing is reopened (before
#      and after a reopening, which binds the capture anew);
#   b  an interface deleted: one line says so, the other segment keeps
#      getting leases meanwhile; created again under its name (new index
#      and hardware address): leases flow on it again within 2 s, and the
#      answer frames carry the new hardware address;
#   c  the relay address replaced by another: giaddr follows (the opener
#      binds the server port to it), or where the opener lacks the privilege
#      for that, the relay ends with 77;
#   d  with bind_ip: the relay waits for that address, and takes no other;
#   e  every interface deleted: the relay ends after its grace period, with
#      its message and status 75;
#   f  no busy waiting while an interface is absent (under 50 ms of CPU
#      over 5 s);
#   g  a link that serves DHCPv4 and DHCPv6, deleted and created again with
#      a new IPv6 prefix (new index and hardware address): one line each
#      way, back within 2 s, the Relay-Forward's link-address is the new
#      address and a DHCPv6 client leases from the new prefix; renumbered
#      back: the link-address follows; segment 2 gets DHCPv4 and DHCPv6
#      leases throughout.
# The relay runs with only CAP_NET_RAW and CAP_NET_BIND_SERVICE, serving both
# families on both segments; in case c also with CAP_NET_RAW alone. Every
# relay runs with the sandbox on: no reopening, move or exit needs a call
# outside it. In a ThreadSanitizer build only cases b, c and g run, with
# clients on segment 2 throughout cases b and g (and on segment 1 too in g),
# and any report fails the test.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq busybox tcpdump setpriv; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done
TSAN=0
[ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -c __tsan_init)" -gt 0 ] && TSAN=1
export TSAN_OPTIONS="halt_on_error=0"

KV_IPV6=1
kv_topology 2
R1=${KV_IF_RELAY[1]} R2=${KV_IF_RELAY[2]}
# A link taken down keeps its IPv6 addresses (case a): the kernel's default
# flushes them, which would be a renumbering of its own.
ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv6.conf.all.keep_addr_on_down=1
# The prefix segment 1 gets when it is created again in case g.
NEW6=2001:db8:0:21::1
GRACE=2
STATS="$KV_TMP/kestivane.prom"
metrics() { "$KV_PYTHON" "$KV_DIR/metrics.py" "$@"; }
kv_start_dnsmasq --dhcp-range=2001:db8:0:1::100,2001:db8:0:1::1ff,64,10m \
    --dhcp-range=2001:db8:0:2::100,2001:db8:0:2::1ff,64,10m --dhcp-range=2001:db8:0:21::100,2001:db8:0:21::1ff,64,10m

say() { echo "[$(date +%T.%3N)] $*" >&2; }

# lease SEG [TRIES]: a lease on segment SEG, in its range.
lease() {
    local got
    got=$(kv_udhcpc "$1" "${2:-4}" "lease$1") || return 1
    kv_in_range "$1" "$got"
}

# cpu_ticks: the relay's user and system time so far, in clock ticks.
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$KV_RELAY_PID/stat") || return 1
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    echo $((${12} + ${13}))
}

log_lines() { kv_count_lines "$KV_RELAY_LOG" "$1"; }

# forwarded_with NAME SEG GIADDR: a request sent on segment SEG reaches the
# server with GIADDR, sent from GIADDR.
forwarded_with() {
    local name=$1 seg=$2 giaddr=$3 capture
    kv_next_xid
    kv_tcpdump "$name" "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 67
    capture=$KV_LAST_PID
    kv_frames_in "${KV_NS_CLIENT[seg]}" request "${KV_IF_CLIENT[seg]}" --xid "$KV_XID"
    kv_wait_pcap "$name" 1 3 --xid "$KV_XID" --op 1 || { kv_stop "$capture"; return 1; }
    kv_stop "$capture"
    kv_frames check "$(kv_pcap "$name")" ip_src="$giaddr" giaddr="$giaddr" --xid "$KV_XID" --op 1
}

case_a() {
    local before
    before=$(log_lines "Interface $R1")/$(log_lines "Capture on")
    ip -n "$KV_NS_RELAY" link set "$R1" down
    sleep 0.3
    ip -n "$KV_NS_RELAY" link set "$R1" up
    kv_wait_for 3 kv__links_up || kv_fail "a: $R1 did not come up"
    lease 1 || kv_fail "a: no lease on segment 1 after link down and up"
    [ "$(log_lines "Interface $R1")/$(log_lines "Capture on")" = "$before" ] ||
        kv_fail "a: a link down and up was taken for a fault: $(grep -F -e "Interface $R1" -e "Capture on" "$KV_RELAY_LOG")"
    kv_pass "a: link down and up, lease on segment 1, nothing reopened"
}

# Clients on segment 2 throughout (ThreadSanitizer: the answer thread reads
# every record while segment 1's is switched), until told to stop, at most
# 200 leases or 30 s. Prints one line a lease: its address, or "miss".
background_leases() {
    local n end=$(($(date +%s) + 30))
    for n in $(seq 1 200); do
        [ -e "$KV_TMP/bg.stop" ] || [ "$(date +%s)" -ge "$end" ] && break
        kv_udhcpc 2 2 "bg$n" || echo miss
    done >"$KV_TMP/bg.result"
}

case_b() {
    local before after t0 took got
    [ "$TSAN" = 1 ] && { background_leases 20 & KV_BG_LEASES=$!; }
    kv_segment_delete 1
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 disappeared" 1 3 || kv_fail "b: the deletion went unnoticed"
    # f: five seconds of absence cost next to nothing.
    before=$(cpu_ticks)
    sleep 5
    after=$(cpu_ticks)
    # (Not under ThreadSanitizer: segment 2 is kept busy there on purpose.)
    [ "$TSAN" = 1 ] || [ $(((after - before) * 1000 / $(getconf CLK_TCK))) -lt 50 ] ||
        kv_fail "f: $((after - before)) clock ticks of CPU over 5 s of absence"
    kv_pass "f: $((after - before)) clock ticks of CPU over 5 s with $R1 absent"
    lease 2 || kv_fail "b: no lease on segment 2 while segment 1 is gone"
    kv_wait_for 3 metrics check "$STATS" "kestivane_interface_up{interface=$R1}=0" \
        "kestivane_interface_up{interface=$R2}=1" "kestivane_interface_reopened_total{interface=$R1}=0" ||
        kv_fail "b: the metrics do not show $R1 gone: $(grep interface_ "$STATS")"
    kv_segment_create 1
    t0=$(date +%s%N)
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 is back" 1 2 || kv_fail "b: not reopened within 2 s"
    kv_tcpdump answers1 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" udp src port 67
    got=$(kv_udhcpc 1 3 lease1b) || kv_fail "b: no lease on the re-created segment 1"
    took=$((($(date +%s%N) - t0) / 1000000))
    kv_wait_pcap answers1 1 2 --sport 67 || kv_fail "b: no answer frame captured on segment 1"
    kv_frames check "$(kv_pcap answers1)" eth_src="${KV_MAC_RELAY[1]}" \
        --count "$(kv_frames count "$(kv_pcap answers1)" --sport 67)" --sport 67 ||
        kv_fail "b: answers on segment 1 do not carry its new hardware address ${KV_MAC_RELAY[1]}"
    [ "$(log_lines "Interface $R1 disappeared")" = 1 ] || kv_fail "b: the deletion was not logged once"
    [ "$(log_lines "Interface $R1 is back")" = 1 ] || kv_fail "b: the return was not logged once"
    kv_wait_for 3 metrics check "$STATS" "kestivane_interface_up{interface=$R1}=1" \
        "kestivane_interface_reopened_total{interface=$R1}=1" ||
        kv_fail "b: the metrics do not show $R1 reopened: $(grep interface_ "$STATS")"
    if [ "$TSAN" = 1 ]; then
        touch "$KV_TMP/bg.stop"
        wait "$KV_BG_LEASES"
        local leased missed
        missed=$(grep -c miss "$KV_TMP/bg.result")
        leased=$(($(wc -l <"$KV_TMP/bg.result") - missed))
        [ "$leased" -ge 10 ] && [ "$missed" -le 2 ] ||
            kv_fail "b: segment 2 leased $leased times and missed $missed meanwhile"
        kv_pass "b: segment 2 leased $leased times throughout, missed $missed"
    fi
    kv_pass "b: deleted, logged once, segment 2 leased meanwhile; back with ${KV_MAC_RELAY[1]}, lease $got after $took ms"
}

# The opener, which opens the relay's sockets once it runs, holds
# CAP_NET_BIND_SERVICE (bit 10) in its effective set.
relay_may_bind_low_ports() {
    local eff opener
    opener=$(kv_opener_pid) || return 1
    eff=$(sed -n 's/^CapEff:[[:space:]]*//p' "/proc/$opener/status")
    [ $(((16#$eff >> 10) & 1)) = 1 ]
}

# c, one relay on segment 2 per row: CAPS it starts with, PORT_START the
# namespace's lowest unprivileged port while it runs. (The relay gives up
# its capabilities once started; its opener keeps the two it was started
# with, and its CapEff decides.) The relay address is
# replaced by another: where the relay may bind the server port (the
# capability, or the port start lowered) giaddr follows; where it may not, it
# ends with status 77 and says why.
case_c() {
    local name caps port_start new=198.51.100.70 status outcome
    ip netns exec "$KV_NS_RELAY" sysctl -qw "net.ipv4.conf.$R2.promote_secondaries=1"
    while read -r name caps port_start; do
        ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv4.ip_unprivileged_port_start=67
        KV_RELAY_PREFIX=(setpriv --bounding-set=-all,"$caps" --inh-caps=-all,"$caps" --ambient-caps="$caps" --)
        # (A configuration file: on the command line the operands replace
        # each interface's server list and the first one is never freed,
        # which a leak checker would report at the exit this case expects.)
        printf '[options]\nsandbox=on\n[servers]\n%s %s\n' "$KV_IP_SERVER" "$R2" >"$KV_TMP/c-$name.conf"
        kv_start_relay "c-$name" -f "$KV_TMP/c-$name.conf"
        ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv4.ip_unprivileged_port_start="$port_start"
        outcome=refused
        { relay_may_bind_low_ports || [ "$port_start" -le 67 ]; } && outcome=moves
        ip -n "$KV_NS_RELAY" addr add "$new/26" dev "$R2"
        ip -n "$KV_NS_RELAY" addr del "${KV_IP_RELAY[2]}/26" dev "$R2"
        if [ "$outcome" = moves ]; then
            kv_wait_log "$KV_RELAY_LOG" "Interface $R2 lost its address ${KV_IP_RELAY[2]}: relaying from $new now" \
                1 3 || kv_fail "c-$name: the address change went unnoticed"
            forwarded_with "c-$name" 2 "$new" || kv_fail "c-$name: request not forwarded from and with $new"
            lease 2 || kv_fail "c-$name: no lease on segment 2 from its new address"
            kv_stop "$KV_RELAY_PID"
            kv_pass "c-$name: giaddr follows the new address $new, lease on segment 2"
        else
            kv_wait_for 3 sh -c "! kill -0 $KV_RELAY_PID 2>/dev/null" || kv_fail "c-$name: still running"
            status=0
            wait "$KV_RELAY_PID" || status=$?
            [ "$status" = 77 ] || kv_fail "c-$name: exit status $status, not 77"
            grep -qF "Interface $R2: no privilege to bind a socket to $new port 67" "$KV_RELAY_LOG" &&
                grep -qF "Can't reopen interface $R2 without privileges. Exiting." "$KV_RELAY_LOG" ||
                kv_fail "c-$name: the reason is not logged"
            kv_pass "c-$name: without the privilege for $new port 67: status 77, reason logged"
        fi
        ip -n "$KV_NS_RELAY" addr add "${KV_IP_RELAY[2]}/26" dev "$R2"
        ip -n "$KV_NS_RELAY" addr del "$new/26" dev "$R2"
    done <<EOF
with-capability  +net_raw,+net_bind_service 1024
port-lowered     +net_raw                   67
neither          +net_raw                   1024
EOF
    ip netns exec "$KV_NS_RELAY" sysctl -qw net.ipv4.ip_unprivileged_port_start=1024
}

case_d() {
    local other=198.51.100.2
    ip netns exec "$KV_NS_RELAY" sysctl -qw "net.ipv4.conf.$R1.promote_secondaries=1"
    ip -n "$KV_NS_RELAY" addr add "$other/26" dev "$R1"
    ip -n "$KV_NS_RELAY" addr del "${KV_IP_RELAY[1]}/26" dev "$R1"
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 lost its address ${KV_IP_RELAY[1]}: relaying on it stops" 1 3 ||
        kv_fail "d: the bound address's loss went unnoticed"
    lease 1 2 && kv_fail "d: a lease on segment 1 without its bound address"
    [ "$(log_lines "relaying from $other")" = 0 ] || kv_fail "d: moved to $other despite bind_ip"
    ip -n "$KV_NS_RELAY" addr add "${KV_IP_RELAY[1]}/26" dev "$R1"
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 is back: relaying on it again at ${KV_IP_RELAY[1]}" 1 3 ||
        kv_fail "d: the bound address came back unnoticed"
    lease 1 || kv_fail "d: no lease on segment 1 once its bound address is back"
    kv_pass "d: with bind_ip, waited for ${KV_IP_RELAY[1]} and relays from it again"
}

case_e() {
    local status=0 t0 took
    kv_segment_delete 1
    kv_segment_delete 2
    t0=$(date +%s%N)
    kv_wait_for $((GRACE + 4)) sh -c "! kill -0 $KV_RELAY_PID 2>/dev/null" || kv_fail "e: still running"
    took=$((($(date +%s%N) - t0) / 1000000))
    wait "$KV_RELAY_PID" || status=$?
    [ "$status" = 75 ] || kv_fail "e: exit status $status, not 75"
    [ "$took" -ge $((GRACE * 1000 - 500)) ] || kv_fail "e: ended after $took ms, before the grace period"
    grep -qF "No interface left to relay on for $GRACE seconds. Exiting." "$KV_RELAY_LOG" ||
        kv_fail "e: the relay's last words are missing"
    kv_pass "e: every interface gone: ended after $took ms with status 75"
}

# lease6 SEG WANT [NAME]: a DHCPv6 address on segment SEG (dhclient -6)
# that starts with WANT.
lease6() {
    local got
    got=$(kv_dhclient6 "${KV_NS_CLIENT[$1]}" "${KV_IF_CLIENT[$1]}" 6 "${3:-lease6-$1}") || return 1
    case "$got" in "$2"*) return 0 ;; esac
    echo "segment $1: $got is not in $2" >&2
    return 1
}

# forwarded6_with NAME LINK_ADDRESS: a Solicit sent on segment 1 reaches the
# server in a Relay-Forward whose link-address is LINK_ADDRESS.
forwarded6_with() {
    local name=$1 capture
    kv_next_xid
    kv_tcpdump "$name" "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 547
    capture=$KV_LAST_PID
    kv_frames_in "${KV_NS_CLIENT[1]}" send6 --iface "${KV_IF_CLIENT[1]}" --xid "0x${KV_XID: -6}" \
        --wait "$(kv_pcap "$name")" --wait-timeout 3 >/dev/null
    kv_stop "$capture"
    kv_frames check "$(kv_pcap "$name")" --at-least 1 --xid "0x${KV_XID: -6}" --where msg_type=12 \
        link_address="$2" interface_id="$R1"
}

# Clients of both families on segment SEG until $KV_TMP/dualSEG.stop exists
# (at most 60 rounds or 40 s). One line per attempt: "4 ADDRESS",
# "6 ADDRESS" or "4 miss", "6 miss". On segment 1, which case g deletes,
# only the traffic counts, not the outcome.
background_dual() {
    local seg=$1 n got end=$(($(date +%s) + 40))
    for n in $(seq 1 60); do
        [ -e "$KV_TMP/dual$seg.stop" ] || [ "$(date +%s)" -ge "$end" ] && break
        got=$(kv_udhcpc "$seg" 2 "dual4-$seg-$n") && echo "4 $got" || echo "4 miss"
        got=$(kv_dhclient6 "${KV_NS_CLIENT[seg]}" "${KV_IF_CLIENT[seg]}" 4 "dual6-$seg-$n") &&
            echo "6 $got" || echo "6 miss"
    done >"$KV_TMP/dual$seg.result"
}

case_g() {
    local gone back t0 took bg1 bg2 r
    rm -f "$KV_TMP"/dual?.stop
    background_dual 2 &
    bg2=$!
    # A failure ends the script at once: the loops end at their next round.
    KV_CLEANUP+=("touch $KV_TMP/dual2.stop; wait $bg2")
    gone=$(log_lines "Interface $R1 disappeared")
    back=$(log_lines "Interface $R1 is back")
    lease6 1 2001:db8:0:1:: || kv_fail "g: no DHCPv6 lease on segment 1 before the deletion"
    # (Clients on segment 1 while it goes and comes back, until the checks
    # below need it for themselves.)
    bg1=
    if [ "$TSAN" = 1 ]; then
        background_dual 1 &
        bg1=$!
        KV_CLEANUP+=("touch $KV_TMP/dual1.stop; wait $bg1")
        sleep 2
    fi
    kv_segment_delete 1
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 disappeared" $((gone + 1)) 3 || kv_fail "g: the deletion went unnoticed"
    kv_wait_for 3 metrics check "$STATS" "kestivane_interface_up{interface=$R1}=0" ||
        kv_fail "g: the metrics do not show $R1 gone: $(grep interface_ "$STATS")"
    # Created again with its new IPv6 prefix first, its IPv4 address a
    # moment later: DHCPv6 relays on it at once, and the link is back, with
    # one line, once DHCPv4 relays too.
    kv_segment_create 1 none "$NEW6"
    t0=$(date +%s%N)
    if [ -n "$bg1" ]; then
        touch "$KV_TMP/dual1.stop"
        wait "$bg1"
    fi
    kv_wait_for 2 forwarded6_with g-early "$NEW6" ||
        kv_fail "g: DHCPv6 not relayed within 2 s with the new link-address $NEW6 while DHCPv4 waits"
    [ "$(log_lines "Interface $R1 is back")" = "$back" ] || kv_fail "g: back before its IPv4 address"
    ip -n "$KV_NS_RELAY" addr add "${KV_IP_RELAY[1]}/26" dev "$R1"
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 is back: relaying on it again at ${KV_IP_RELAY[1]} and $NEW6, ${KV_MAC_RELAY[1]}" \
        1 2 || kv_fail "g: not back within 2 s of its IPv4 address"
    took=$((($(date +%s%N) - t0) / 1000000))
    forwarded6_with g-new "$NEW6" || kv_fail "g: the Relay-Forward's link-address is not the new $NEW6"
    lease6 1 2001:db8:0:21:: g-new || kv_fail "g: no DHCPv6 lease from the new prefix on segment 1"
    lease 1 || kv_fail "g: no DHCPv4 lease on the re-created segment 1"
    # Renumbered in place: the link-address follows, without a reopening
    # of the link.
    ip -n "$KV_NS_RELAY" addr add 2001:db8:0:1::1/64 dev "$R1" nodad
    ip -n "$KV_NS_RELAY" addr del "$NEW6/64" dev "$R1"
    kv_wait_log "$KV_RELAY_LOG" "Interface $R1 lost its address $NEW6: relaying from 2001:db8:0:1::1 now" 1 3 ||
        kv_fail "g: the renumbering went unnoticed"
    forwarded6_with g-renumbered 2001:db8:0:1::1 || kv_fail "g: the link-address did not follow the renumbering"
    lease6 1 2001:db8:0:1:: g-renumbered || kv_fail "g: no DHCPv6 lease from the renumbered prefix"
    [ "$(log_lines "Interface $R1 disappeared")" = $((gone + 1)) ] || kv_fail "g: the deletion was not logged once"
    [ "$(log_lines "Interface $R1 is back")" = $((back + 1)) ] || kv_fail "g: the return was not logged once"
    kv_wait_for 3 metrics check "$STATS" "kestivane_interface_up{interface=$R1}=1" ||
        kv_fail "g: the metrics do not show $R1 back: $(grep interface_ "$STATS")"
    touch "$KV_TMP/dual2.stop"
    wait "$bg2"
    for r in 4 6; do
        local leased missed
        leased=$(grep -c "^$r [0-9a-f]" "$KV_TMP/dual2.result")
        missed=$(grep -c "^$r miss" "$KV_TMP/dual2.result")
        [ "$leased" -ge 2 ] && [ "$missed" -le 1 ] ||
            kv_fail "g: segment 2 got $leased DHCPv$r leases and missed $missed meanwhile"
        kv_pass "g: segment 2 got $leased DHCPv$r leases throughout, missed $missed"
    done
    kv_pass "g: $R1 deleted, DHCPv6 at once with $NEW6, back after $took ms, link-address followed it and the renumbering"
}

# The relay as its service runs it: two capabilities and no others.
start_main_relay() {
    KV_RELAY_PREFIX=(setpriv --bounding-set=-all,+net_raw,+net_bind_service
        --inh-caps=-all,+net_raw,+net_bind_service --ambient-caps=+net_raw,+net_bind_service --)
    cat >"$KV_TMP/relay.conf" <<EOF
[options]
interface_grace=$GRACE
stats_file=$STATS
stats_interval=1
sandbox=on
[servers]
bind_ip=$R1 ${KV_IP_RELAY[1]}
$KV_IP_SERVER $R1 $R2
[servers6]
$KV_IP6_SERVER $R1 $R2
EOF
    kv_start_relay relay -f "$KV_TMP/relay.conf"
    kv_wait_log "$KV_RELAY_LOG" "Listen at" 4 || kv_fail "the relay does not listen on both segments"
    # Once it gives up its capabilities at start-up, every reopening below
    # is done without any.
    kv_pass "relay running with effective capabilities $(sed -n 's/^CapEff:[[:space:]]*//p' "/proc/$KV_RELAY_PID/status")"
}

# Case c starts relays of its own; the others share one.
cases=(c start_main_relay a b a d g e)
[ "$TSAN" = 1 ] && cases=(c start_main_relay b g)
for c in "${cases[@]}"; do
    say "$c"
    if [ "$c" = start_main_relay ]; then start_main_relay; else "case_$c"; fi
done
kv_sandbox_clean "every relay" "$KV_TMP"/c-*.log "$KV_TMP/relay.log"
if [ "$TSAN" = 1 ]; then
    # Every relay of the run: case c's and the shared one.
    grep -l "WARNING: ThreadSanitizer" "$KV_TMP"/c-*.log "$KV_TMP/relay.log" &&
        kv_fail "ThreadSanitizer reports in a relay's log"
    kv_pass "no ThreadSanitizer report"
fi
kv_finish
