#!/usr/bin/env bash
# The relay set up from a configuration file, in network namespaces: leases
# on two client segments from one server line; a bind_ip that makes an
# interface with two addresses relay from its second one (giaddr and the
# socket's source address on the wire); the bind_ip lines that are refused
# or come too late, each with its outcome; a server line beside a
# [servers6] line; max_packet_size governing only the interfaces opened
# after it; and the shipped sample configuration with its names adapted to
# the test's namespaces. Every file is first checked (kestivane -t) as the
# user nobody: the check opens no socket and says what the start then says.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

for tool in dnsmasq busybox tcpdump strace setpriv; do
    command -v "$tool" >/dev/null 2>&1 || kv_skip "$tool is not installed"
done
SAMPLE="${KESTIVANE_SOURCE_DIR:-$KV_DIR/../..}/dist/kestivane.conf"
[ -f "$SAMPLE" ] || kv_fail "sample configuration not found: $SAMPLE"

KV_IPV6=1 # for the [servers6] case
kv_topology 2
R1=${KV_IF_RELAY[1]} R2=${KV_IF_RELAY[2]}
C1=${KV_IF_CLIENT[1]}
SECOND=198.51.100.2 # a second address on segment 1's relay interface
ip -n "$KV_NS_RELAY" addr add "$SECOND/26" dev "$R1"
# A second server address, for the sample's second server line.
ip -n "$KV_NS_SERVER" addr add 203.0.113.3/24 dev "$KV_IF_SERVER"
kv_start_dnsmasq

# checked_then_started NAME FILE COUNT [FINE]: check FILE (kestivane -t, as
# nobody, opening no socket), then start the relay on it and wait until it
# logs "Listen at" COUNT times. The check reads the file with the code a
# start runs, so it must say what the start said up to "Total interfaces",
# "Would listen at" where the start listened, and then that the file is
# fine: "... is fine: FINE" (a pattern; default "COUNT interfaces, .*").
checked_then_started() {
    local name=$1 file=$2 count=$3 fine=${4:-"$3 interfaces, .*"} said started
    kv_check_config "$name-check" -d -f "$file"
    [ "$KV_CHECK_STATUS" -eq 0 ] || kv_fail "$name: the check refused: $(cat "$KV_TMP/$name-check.err")"
    kv_start_relay "$name" -f "$file"
    kv_wait_log "$KV_RELAY_LOG" "Listen at" "$count" ||
        kv_fail "$name: the relay listens on fewer than $count interfaces"
    kv_wait_log "$KV_RELAY_LOG" "Total interfaces: " || kv_fail "$name: the relay did not finish its start"
    said=$(sed -e '$d' -e 's/^Would listen at /Listen at /' "$KV_TMP/$name-check.out")
    started=$(sed '/^Total interfaces: /,$d' "$KV_RELAY_LOG")
    [ "$said" = "$started" ] || kv_fail "$name: the check said
$said
where the start said
$started"
    tail -n 1 "$KV_TMP/$name-check.out" | grep -qx "Configuration file $file is fine: $fine" ||
        kv_fail "$name: the check did not end in 'is fine: $fine': $(cat "$KV_TMP/$name-check.out")"
    kv_pass "$name: checked first (as nobody, no socket opened), and the check said what the start said"
}

# relay_from NAME TEXT [LISTENS [FINE]]: write TEXT as a configuration file,
# check it and start the relay on it (checked_then_started); LISTENS
# defaults to 1.
relay_from() {
    local name=$1 text=$2
    printf '%s' "$text" >"$KV_TMP/$name.conf"
    checked_then_started "$name" "$KV_TMP/$name.conf" "${3:-1}" "${@:4}"
}

# expect_log TEXT: the relay started last logged a line holding TEXT.
expect_log() {
    grep -qF -- "$1" "$KV_RELAY_LOG" || kv_fail "relay log lacks: $1"
}

# forwarded_from NAME SEG ADDRESS: a request sent on segment SEG reaches the
# server from ADDRESS, port bootps, with giaddr ADDRESS.
forwarded_from() {
    local name=$1 seg=$2 address=$3
    kv_next_xid
    kv_tcpdump "$name" "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 67
    local capture=$KV_LAST_PID
    kv_frames_in "${KV_NS_CLIENT[seg]}" request "${KV_IF_CLIENT[seg]}" --xid "$KV_XID"
    kv_wait_pcap "$name" 1 "$KV_TIMEOUT" --xid "$KV_XID" --op 1 || kv_fail "$name: request not forwarded"
    # (the expected fields go right after the capture: argparse takes no
    # positional arguments after options)
    kv_frames check "$(kv_pcap "$name")" ip_src="$address" udp_sport=67 giaddr="$address" hops=1 \
        --xid "$KV_XID" --op 1 ||
        kv_fail "$name: request not relayed from $address"
    kv_stop "$capture"
}

# lease SEG: a udhcpc lease on segment SEG, in its range; sets LEASE.
lease() {
    LEASE=$(kv_udhcpc "$1" 5) || kv_fail "no lease on segment $1"
    kv_in_range "$1" "$LEASE" || kv_fail "lease $LEASE outside segment $1's range"
}

# two_leases: a lease on each segment; sets LEASES.
two_leases() {
    lease 1
    LEASES="segment 1 leased $LEASE"
    lease 2
    LEASES="$LEASES, segment 2 leased $LEASE"
}

# --- One server line for two client segments: a lease on each.
relay_from two "[options]
max_hops=4
[servers]
$KV_IP_SERVER $R1 $R2
" 2
expect_log "Listen at $R1: ${KV_IP_RELAY[1]}, "
expect_log "Listen at $R2: ${KV_IP_RELAY[2]}, "
two_leases
kv_pass "two segments, one server line: $LEASES"
kv_stop "$KV_RELAY_PID"

# --- bind_ip for the second address of an interface: requests leave from
# it and carry it as giaddr, and the answers to it reach the client.
relay_from bound "bind_ip=$R1 $SECOND
$KV_IP_SERVER $R1
"
expect_log "interface $R1 binded to address $SECOND"
expect_log "Listen at $R1: $SECOND, ${KV_MAC_RELAY[1]}"
forwarded_from bound-server 1 "$SECOND"
kv_tcpdump bound-client "${KV_NS_CLIENT[1]}" "$C1" udp src port 67
capture=$KV_LAST_PID
lease 1
kv_wait_pcap bound-client 1 "$KV_TIMEOUT" --sport 67 || kv_fail "no answer frame on segment 1"
kv_stop "$capture"
answers=$(kv_frames count "$(kv_pcap bound-client)" --sport 67)
kv_frames check "$(kv_pcap bound-client)" ip_src="$SECOND" eth_src="${KV_MAC_RELAY[1]}" giaddr="$SECOND" \
    --count "$answers" --sport 67 ||
    kv_fail "answers on segment 1 not sent from $SECOND"
kv_pass "bind_ip: relayed from $SECOND, $answers answers from it, leased $LEASE"
kv_stop "$KV_RELAY_PID"

# --- bind_ip values that are ignored: the interface keeps its first address.
while IFS='|' read -r case value warning; do
    relay_from "ignored-$case" "bind_ip=$value
$KV_IP_SERVER $R1
"
    expect_log "$warning"
    expect_log "Listen at $R1: ${KV_IP_RELAY[1]}, "
    kv_stop "$KV_RELAY_PID"
    kv_pass "bind_ip $case: ignored with a warning, relays from ${KV_IP_RELAY[1]}"
done <<EOF
two-blanks|$R1  $SECOND|bind_ip:  $SECOND is not a valid IPv4 address. Ignoring
invalid|$R1 198.51.100.256|bind_ip: 198.51.100.256 is not a valid IPv4 address. Ignoring
absent|$R1 ${KV_IP_RELAY[2]}|bind_ip: address ${KV_IP_RELAY[2]} not found on interface $R1. Ignoring
EOF

# --- A tab instead of the blank stops the relay before it starts, and the
# check refuses the file alike.
printf '#\nbind_ip=%s\t%s\n%s %s\n' "$R1" "$SECOND" "$KV_IP_SERVER" "$R1" >"$KV_TMP/tab.conf"
status=0
timeout 10 ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/tab.conf" \
    >"$KV_TMP/tab.out" 2>"$KV_TMP/tab.err" || status=$?
[ "$status" -eq 1 ] || kv_fail "bind_ip with a tab: status $status, not 1"
grep -qx "kestivane: bind_ip syntax error at line 2" "$KV_TMP/tab.err" ||
    kv_fail "bind_ip with a tab: $(cat "$KV_TMP/tab.err")"
! grep -q "Listen at" "$KV_TMP/tab.out" || kv_fail "bind_ip with a tab: an interface was opened"
kv_check_config tab-check -d -f "$KV_TMP/tab.conf"
[ "$KV_CHECK_STATUS" -eq 1 ] && cmp -s "$KV_TMP/tab.err" "$KV_TMP/tab-check.err" &&
    cmp -s "$KV_TMP/tab.out" "$KV_TMP/tab-check.out" ||
    kv_fail "bind_ip with a tab: the check ended with $KV_CHECK_STATUS, $(cat "$KV_TMP/tab-check.err")"
kv_pass "bind_ip with a tab: refused at line 2, by the check too"

# --- A binding after the server line that opened its interface is kept but
# too late for it: the interface relays from its first address.
relay_from late "$KV_IP_SERVER $R1
bind_ip=$R1 $SECOND
"
expect_log "interface $R1 binded to address $SECOND"
expect_log "Listen at $R1: ${KV_IP_RELAY[1]}, "
forwarded_from late-server 1 "${KV_IP_RELAY[1]}"
kv_pass "bind_ip after the server line: kept, interface relays from ${KV_IP_RELAY[1]}"
kv_stop "$KV_RELAY_PID"

# --- Both families: a server line for segment 1 and a [servers6] line for
# segment 2; the check counts the DHCPv6 interface too.
relay_from both "$KV_IP_SERVER $R1
[servers6]
$KV_IP6_SERVER $R2
" 2 "1 interfaces, 1 servers, 1 DHCPv6 interfaces, 0 plug-ins"
expect_log "Listen at $R2 for DHCPv6: link-address ${KV_IP6_RELAY[2]}"
kv_pass "server line and [servers6] line: checked and started alike"
kv_stop "$KV_RELAY_PID"

# --- max_packet_size applies to interfaces opened after it. Segment 1 was
# opened before it and captures whole 600-byte frames, which the size check
# (which uses the last value) then refuses; segment 2 captures only 400 bytes
# of them and so misses their END option.
relay_from size "$KV_IP_SERVER $R1
[options]
max_packet_size=400
[servers]
$KV_IP_SERVER $R2
" 2
pads=$(printf '00%.0s' $(seq 314))
kv_next_xid
kv_frames_in "${KV_NS_CLIENT[1]}" request "$C1" --xid "$KV_XID" --options "350101$pads" --size 558
kv_wait_log "$KV_RELAY_LOG" "length too big -- packet discarded" ||
    kv_fail "a 600-byte frame on segment 1 was not seen whole"
! grep -qF "can't find option 255" "$KV_RELAY_LOG" || kv_fail "segment 1 captured a cut frame"
kv_frames_in "${KV_NS_CLIENT[2]}" request "${KV_IF_CLIENT[2]}" --xid "$KV_XID" --options "350101$pads" --size 558
kv_wait_log "$KV_RELAY_LOG" "malformed dhcp packet (can't find option 255) -- packet ignore" ||
    kv_fail "a 600-byte frame on segment 2 was not cut at 400 bytes"
kv_pass "max_packet_size after a server line: segment 1 captures at 1400, segment 2 at 400"
kv_stop "$KV_RELAY_PID"

# --- The shipped sample, adapted: its interfaces and servers are this
# test's, and its bind_ip example is taken up for segment 1's address.
sed -e "s/\beth1\b/$R1/g" -e "s/\beth2\b/$R2/g" \
    -e "s/203\.0\.113\.10/$KV_IP_SERVER/" -e "s/203\.0\.113\.11/203.0.113.3/" \
    -e "s/^#bind_ip=/bind_ip=/" "$SAMPLE" >"$KV_TMP/sample.conf"
grep -q "^bind_ip=$R1 ${KV_IP_RELAY[1]}\$" "$KV_TMP/sample.conf" ||
    kv_fail "the sample's bind_ip example no longer names segment 1's address"
checked_then_started sample "$KV_TMP/sample.conf" 2
expect_log "interface $R1 binded to address ${KV_IP_RELAY[1]}"
expect_log "DHCP server #2: 203.0.113.3"
two_leases
kv_pass "sample configuration: $LEASES"
kv_relay_alive || kv_fail "the relay died"
kv_stop "$KV_RELAY_PID"

kv_finish
