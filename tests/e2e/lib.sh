# shellcheck shell=bash
# shellcheck disable=SC2034 # the KV_ variables are for the tests that source this
# End-to-end test library: network namespaces with client segments, the relay
# and a server segment joined by veth pairs, and helpers that start DHCP
# servers, DHCP clients, the relay and packet captures inside them.
#
# Source it from a test script; it checks for root and namespaces (exit 77
# when either is missing), makes a private temporary directory and installs a
# trap that stops every process it started (by PID) and deletes every
# namespace and file it made, however the test ends.
#
#   source "$(dirname "$0")/lib.sh"
#   kv_topology 2                      # two client segments
#   kv_start_dnsmasq
#   kv_start_relay relay -i "${KV_IF_RELAY[1]}" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"
#   ip=$(kv_udhcpc 1) || kv_fail "no lease"
#
# Layout made by kv_topology N (segments numbered from 1):
#   client namespace KV_NS_CLIENT[i], interface KV_IF_CLIENT[i] (no address)
#     <-veth->  relay namespace KV_NS_RELAY, interface KV_IF_RELAY[i],
#               address KV_IP_RELAY[i] in 198.51.100.(64*(i-1))/26
#               (more than 4 segments, up to 64: equal blocks of
#               198.51.100.0/24, prefix KV_PREFIX; with 64, a /30 each)
#   relay namespace, interface KV_IF_UPLINK, 203.0.113.1/24
#     <-veth->  server namespace KV_NS_SERVER, interface KV_IF_SERVER, 203.0.113.2/24,
#               with a route to 198.51.100.0/24 through the relay.
# Hardware addresses: KV_MAC_RELAY[i], KV_MAC_CLIENT[i].
# With KV_IPV6=1 set (in the shell, not just for the call) before kv_topology, IPv6 stays on (without duplicate
# address detection, so that addresses work at once) and the relay side gets
# 2001:db8:0:i::1/64 (KV_IP6_RELAY[i]) on segment i, 2001:db8:ff::1/64
# (KV_IP6_UPLINK) on the uplink; the server 2001:db8:ff::2/64
# (KV_IP6_SERVER), with a route to 2001:db8::/48 through the relay. The
# clients have their link-local addresses only.
# Lease ranges for the servers: KV_RANGE_LO[i] .. KV_RANGE_HI[i], netmask KV_MASK.
#
# Everything that waits is bounded (KV_TIMEOUT seconds unless told otherwise).

# Refuse to run without what the tests need, with a message saying why.
kv_skip() {
    echo "SKIP: $*" >&2
    exit 77
}

if [ "$(id -u)" -ne 0 ]; then
    kv_skip "end-to-end tests need root (network namespaces, packet capture)"
fi
command -v ip >/dev/null 2>&1 || kv_skip "the ip command (iproute2) is missing"

KV_ID=$$
KV_TIMEOUT=${KV_TIMEOUT:-10}
KV_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
KV_PYTHON=/usr/bin/python3
KV_FRAMES="$KV_DIR/frames.py"

if ! ip netns add "kv${KV_ID}probe" 2>/dev/null; then
    kv_skip "ip netns is not usable here (cannot create a network namespace)"
fi
ip netns del "kv${KV_ID}probe" 2>/dev/null

# The relay under test: the build gives KESTIVANE; otherwise look beside the
# sources.
if [ -z "${KESTIVANE:-}" ]; then
    if [ -n "${KESTIVANE_BUILD_DIR:-}" ]; then
        KESTIVANE="$KESTIVANE_BUILD_DIR/kestivane"
    else
        KESTIVANE="$KV_DIR/../../build/kestivane"
    fi
fi
if [ ! -x "$KESTIVANE" ]; then
    echo "FAIL: relay executable not found: $KESTIVANE (set KESTIVANE)" >&2
    exit 1
fi
KESTIVANE=$(readlink -f "$KESTIVANE")

KV_TMP=$(mktemp -d "/tmp/kestivane-e2e.$KV_ID.XXXXXX")
KV_PIDS=()        # processes to stop at teardown, by PID
declare -A KV_STARTED=() # their start times, so that a reused PID is never hit
KV_NAMESPACES=()  # namespaces to delete at teardown
KV_CLEANUP=()     # extra shell commands run at teardown (e.g. rm of a pid file)
KV_RELAY_PREFIX=()
KV_FAILED=0

# kv__start_time PID: the process's start time (field 22 of its stat).
kv__start_time() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    echo "${20}"
}

# kv__track PID: stop this process at teardown.
kv__track() {
    KV_PIDS+=("$1")
    KV_STARTED[$1]=$(kv__start_time "$1")
}

# kv_kill PID: stop one process by its id, politely first, and wait for it
# (at most a few seconds). Harmless when it has already gone, also when its
# id has since gone to another process.
kv_kill() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    if [ -n "${KV_STARTED[$pid]:-}" ] && [ "$(kv__start_time "$pid")" != "${KV_STARTED[$pid]}" ]; then
        return 0
    fi
    kill -TERM "$pid" 2>/dev/null
    for i in $(seq 1 40); do
        kill -0 "$pid" 2>/dev/null || break
        # A child of this shell stays as a zombie until it is waited for.
        if [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ]; then break; fi
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ] &&
        kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

kv_teardown() {
    local rc=$? i
    trap - EXIT INT TERM
    [ "$KV_FAILED" -ne 0 ] && rc=1
    for ((i = ${#KV_PIDS[@]} - 1; i >= 0; i--)); do
        kv_kill "${KV_PIDS[$i]}"
    done
    for ((i = ${#KV_CLEANUP[@]} - 1; i >= 0; i--)); do
        eval "${KV_CLEANUP[$i]}" 2>/dev/null || true
    done
    for ((i = ${#KV_NAMESPACES[@]} - 1; i >= 0; i--)); do
        ip netns del "${KV_NAMESPACES[$i]}" 2>/dev/null || true
    done
    if [ -n "${KV_KEEP:-}" ]; then
        echo "kept: $KV_TMP" >&2
    else
        rm -rf "$KV_TMP"
    fi
    exit "$rc"
}
trap kv_teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# kv_dump_logs: print what the processes of this test wrote, to explain a
# failure.
kv_dump_logs() {
    local f
    for f in "$KV_TMP"/*.log; do
        [ -f "$f" ] || continue
        echo "----- ${f##*/} (last 40 lines)" >&2
        tail -n 40 "$f" >&2
    done
}

# kv_fail MESSAGE: the test has failed; show the logs and end.
kv_fail() {
    echo "FAIL: $*" >&2
    kv_dump_logs
    KV_FAILED=1
    exit 1
}

# kv_check_fail MESSAGE: record a failure but go on with the other cases.
kv_check_fail() {
    echo "FAIL: $*" >&2
    KV_FAILED=1
}

kv_pass() { echo "ok: $*" >&2; }

# kv_finish: end of a test script; logs are shown when a case failed.
kv_finish() {
    if [ "$KV_FAILED" -ne 0 ]; then
        kv_dump_logs
        exit 1
    fi
    echo "PASS" >&2
    exit 0
}

# kv_wait_for SECONDS COMMAND...: poll COMMAND until it succeeds; 1 on time-out.
kv_wait_for() {
    local limit=$1 deadline
    shift
    deadline=$(($(date +%s%N) + limit * 1000000000))
    while :; do
        "$@" && return 0
        [ "$(date +%s%N)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# kv_count_lines FILE TEXT: how many lines of FILE contain TEXT (fixed string).
kv_count_lines() {
    local n
    n=$(grep -cF -- "$2" "$1" 2>/dev/null) || true
    echo "${n:-0}"
}

# kv_wait_log FILE TEXT [COUNT [SECONDS]]: wait until at least COUNT lines of
# FILE contain TEXT.
kv_wait_log() {
    local file=$1 text=$2 count=${3:-1} limit=${4:-$KV_TIMEOUT}
    kv_wait_for "$limit" kv__has_lines "$file" "$text" "$count"
}
kv__has_lines() { [ "$(kv_count_lines "$1" "$2")" -ge "$3" ]; }

# kv_check_log_flood FILE LINE IFACE TOTAL [SECONDS]: TOTAL lines LINE about
# IFACE were due in one burst (and none before), just sent. The first 10 of
# each second stand as they are; the summaries ("LINE: N more suppressed on
# IFACE in the last second") account for the rest, exactly. The first
# summary must come within SECONDS (default 5): a burst shorter than a second
# is summed up at most about a second after it began, whether or not its
# message comes again.
kv_check_log_flood() {
    local file=$1 line=$2 iface=$3 total=$4 within=${5:-5} re exact suppressed first
    re="^$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$line"): ([0-9]+) more suppressed on $iface in the last second\$"
    if ! kv_wait_for "$within" grep -qE "$re" "$file"; then
        kv_check_fail "no summary line within ${within}s for the suppressed lines of '$line'"
        return
    fi
    sleep 1.2 # a burst that straddled two seconds has its second summary too
    exact=$(grep -cxF -- "$line" "$file")
    suppressed=$(grep -E "$re" "$file" | sed -E "s/$re/\\1/" | awk '{ s += $1 } END { print s + 0 }')
    if [ "$exact" -ge 10 ] && [ $((exact + suppressed)) -eq "$total" ]; then
        kv_pass "$total lines due on $iface: $exact as always, $suppressed told in summaries"
    else
        kv_check_fail "$total lines due on $iface: $exact as always and $suppressed in summaries"
    fi
    first=$(grep -F -- "$line" "$file" | head -n 10 | sort -u)
    [ "$first" = "$line" ] || kv_check_fail "the first 10 lines are not the line as it is: $first"
}

# kv_ns NS COMMAND...: run a command inside a namespace.
kv_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

# kv_bg NAME NS COMMAND...: start COMMAND in the background inside NS, with
# standard output and error in $KV_TMP/NAME.log. Its PID is kept for the
# teardown and left in KV_LAST_PID.
kv_bg() {
    local name=$1 ns=$2
    shift 2
    ip netns exec "$ns" "$@" >"$KV_TMP/$name.log" 2>&1 </dev/null &
    KV_LAST_PID=$!
    kv__track "$KV_LAST_PID"
}

# kv_adopt_pid PID: have the teardown stop a process this shell did not start
# itself (a daemon that went into the background).
kv_adopt_pid() { kv__track "$1"; }

# kv_mac NS IF: the hardware address of an interface.
kv_mac() {
    ip -n "$1" -o link show dev "$2" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p'
}

# kv_add_ns NAME: create a namespace, delete it at teardown, bring up lo and
# keep IPv6 quiet so that captures hold only what the test sends. With
# KV_IPV6=1, IPv6 stays on, without duplicate address detection and router
# solicitations.
kv_add_ns() {
    ip netns add "$1" || kv_fail "cannot create namespace $1"
    KV_NAMESPACES+=("$1")
    ip -n "$1" link set lo up
    if [ "${KV_IPV6:-0}" = 1 ]; then
        ip netns exec "$1" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0 \
            net.ipv6.conf.all.router_solicitations=0 net.ipv6.conf.default.router_solicitations=0 \
            >/dev/null 2>&1 || true
        return
    fi
    ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
        >/dev/null 2>&1 || true
}

# kv_no_tentative NS: no IPv6 address of NS waits for duplicate address
# detection.
kv_no_tentative() { ! ip -n "$1" -6 addr show tentative 2>/dev/null | grep -q inet6; }

# kv_link_local NS IF: the link-local address of an interface.
kv_link_local() {
    ip -n "$1" -6 -o addr show dev "$2" scope link | sed -n 's/.*inet6 \([0-9a-f:]*\)\/.*/\1/p' | head -n 1
}

# kv_topology [N]: build N client segments (1 to 64), the relay and the
# server segment (see the head of this file).
kv_topology() {
    local n=${1:-1} i base block=64
    if [ "$n" -lt 1 ] || [ "$n" -gt 64 ]; then kv_fail "kv_topology: 1 to 64 segments, not $n"; fi
    while [ $((256 / block)) -lt "$n" ]; do block=$((block / 2)); done
    KV_SEGMENTS=$n
    KV_NS_RELAY="kv${KV_ID}r"
    KV_NS_SERVER="kv${KV_ID}s"
    KV_IF_UPLINK="ru${KV_ID}"
    KV_IF_SERVER="sv${KV_ID}"
    KV_IP_UPLINK=203.0.113.1
    KV_IP_SERVER=203.0.113.2
    KV_PREFIX=$((32 - $(kv__log2 "$block")))
    KV_MASK=255.255.255.$((256 - block))
    KV_NS_CLIENT=() KV_IF_CLIENT=() KV_IF_RELAY=() KV_IP_RELAY=() KV_NET=()
    KV_RANGE_LO=() KV_RANGE_HI=() KV_MAC_RELAY=() KV_MAC_CLIENT=() KV_IP6_RELAY=()
    kv_add_ns "$KV_NS_RELAY"
    kv_add_ns "$KV_NS_SERVER"
    for ((i = 1; i <= n; i++)); do
        base=$((block * (i - 1)))
        KV_NS_CLIENT[i]="kv${KV_ID}c$i"
        KV_IF_RELAY[i]="r${i}k${KV_ID}"
        KV_IF_CLIENT[i]="c${i}k${KV_ID}"
        KV_NET[i]="198.51.100.$base"
        KV_IP_RELAY[i]="198.51.100.$((base + 1))"
        # A block of 64 leases from .10 to .50; a smaller one from its
        # second host to its last.
        if [ "$block" -eq 64 ]; then
            KV_RANGE_LO[i]="198.51.100.$((base + 10))"
            KV_RANGE_HI[i]="198.51.100.$((base + 50))"
        else
            KV_RANGE_LO[i]="198.51.100.$((base + 2))"
            KV_RANGE_HI[i]="198.51.100.$((base + block - 2))"
        fi
        kv_add_ns "${KV_NS_CLIENT[i]}"
        kv__segment_link "$i" "${KV_IP_RELAY[i]}"
    done
    ip -n "$KV_NS_RELAY" link add "$KV_IF_UPLINK" type veth peer name "$KV_IF_SERVER" \
        netns "$KV_NS_SERVER" || kv_fail "cannot create the server veth pair"
    ip -n "$KV_NS_RELAY" addr add "$KV_IP_UPLINK/24" dev "$KV_IF_UPLINK"
    ip -n "$KV_NS_RELAY" link set "$KV_IF_UPLINK" up
    ip -n "$KV_NS_SERVER" addr add "$KV_IP_SERVER/24" dev "$KV_IF_SERVER"
    ip -n "$KV_NS_SERVER" link set "$KV_IF_SERVER" up
    ip -n "$KV_NS_SERVER" route add 198.51.100.0/24 via "$KV_IP_UPLINK"
    if [ "${KV_IPV6:-0}" = 1 ]; then
        KV_IP6_UPLINK=2001:db8:ff::1
        KV_IP6_SERVER=2001:db8:ff::2
        ip -n "$KV_NS_RELAY" addr add "$KV_IP6_UPLINK/64" dev "$KV_IF_UPLINK" nodad
        ip -n "$KV_NS_SERVER" addr add "$KV_IP6_SERVER/64" dev "$KV_IF_SERVER" nodad
        ip -n "$KV_NS_SERVER" -6 route add 2001:db8::/48 via "$KV_IP6_UPLINK"
    fi
    KV_MAC_UPLINK=$(kv_mac "$KV_NS_RELAY" "$KV_IF_UPLINK")
    KV_MAC_SERVER=$(kv_mac "$KV_NS_SERVER" "$KV_IF_SERVER")
    # veth links come up at once, but give the carriers a moment to settle.
    kv_wait_for 3 kv__links_up || kv_fail "veth links did not come up"
    if [ "${KV_IPV6:-0}" = 1 ]; then
        kv_wait_for 5 kv__v6_ready || kv_fail "IPv6 addresses stayed tentative"
    fi
}
kv__log2() {
    local v=$1 b=0
    while [ "$v" -gt 1 ]; do v=$((v / 2)) b=$((b + 1)); done
    echo "$b"
}
kv__v6_ready() {
    local i
    kv_no_tentative "$KV_NS_RELAY" && kv_no_tentative "$KV_NS_SERVER" || return 1
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        kv_no_tentative "${KV_NS_CLIENT[i]}" || return 1
        [ -n "$(kv_link_local "${KV_NS_CLIENT[i]}" "${KV_IF_CLIENT[i]}")" ] || return 1
    done
}
# kv__segment_link SEG ADDRESS [ADDRESS6]: segment SEG's veth pair,
# ADDRESS/KV_PREFIX (26 unless set) on the relay end ("none": no address) and with KV_IPV6=1
# ADDRESS6/64 (default 2001:db8:0:SEG::1, kept in KV_IP6_RELAY[SEG]), both
# ends up; records the hardware addresses (new ones at every creation).
kv__segment_link() {
    local i=$1 address=$2
    ip -n "$KV_NS_RELAY" link add "${KV_IF_RELAY[i]}" type veth \
        peer name "${KV_IF_CLIENT[i]}" netns "${KV_NS_CLIENT[i]}" ||
        kv_fail "cannot create veth pair for segment $i"
    [ "$address" = none ] || ip -n "$KV_NS_RELAY" addr add "$address/${KV_PREFIX:-26}" dev "${KV_IF_RELAY[i]}"
    if [ "${KV_IPV6:-0}" = 1 ]; then
        KV_IP6_RELAY[i]=${3:-2001:db8:0:$i::1}
        ip -n "$KV_NS_RELAY" addr add "${KV_IP6_RELAY[i]}/64" dev "${KV_IF_RELAY[i]}" nodad
    fi
    ip -n "$KV_NS_RELAY" link set "${KV_IF_RELAY[i]}" up
    ip -n "${KV_NS_CLIENT[i]}" link set "${KV_IF_CLIENT[i]}" up
    KV_MAC_RELAY[i]=$(kv_mac "$KV_NS_RELAY" "${KV_IF_RELAY[i]}")
    KV_MAC_CLIENT[i]=$(kv_mac "${KV_NS_CLIENT[i]}" "${KV_IF_CLIENT[i]}")
}

# kv_segment_delete SEG: delete client segment SEG's veth pair (both ends),
# as a network manager does when it rebuilds an interface.
kv_segment_delete() {
    ip -n "$KV_NS_RELAY" link del "${KV_IF_RELAY[$1]}" || kv_fail "cannot delete segment $1"
}

# kv_segment_create SEG [ADDRESS [ADDRESS6]]: create client segment SEG
# again under its names: a new interface index and new hardware addresses
# (KV_MAC_RELAY[SEG] and KV_MAC_CLIENT[SEG] follow), ADDRESS on the relay
# end (default KV_IP_RELAY[SEG]; "none" for none), and with KV_IPV6=1
# ADDRESS6 (default 2001:db8:0:SEG::1). Waits until both ends are up, and
# with KV_IPV6=1 until the client end has its link-local address.
kv_segment_create() {
    kv__segment_link "$1" "${2:-${KV_IP_RELAY[$1]}}" "${3:-}"
    kv_wait_for 3 kv__links_up || kv_fail "segment $1 did not come up again"
    if [ "${KV_IPV6:-0}" = 1 ]; then
        kv_wait_for 5 kv__v6_ready || kv_fail "segment $1: IPv6 addresses stayed tentative"
    fi
}

kv__links_up() {
    local i
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        # A deleted segment is skipped.
        ip -n "$KV_NS_RELAY" link show dev "${KV_IF_RELAY[i]}" >/dev/null 2>&1 || continue
        ip -n "$KV_NS_RELAY" -o link show dev "${KV_IF_RELAY[i]}" | grep -q 'state UP' || return 1
        ip -n "${KV_NS_CLIENT[i]}" -o link show dev "${KV_IF_CLIENT[i]}" | grep -q 'state UP' || return 1
    done
    ip -n "$KV_NS_SERVER" -o link show dev "$KV_IF_SERVER" | grep -q 'state UP'
}

# kv_client_host SEG: give client segment SEG's end an IPv4 address of the
# segment (its base + 9, KV_IP_CLIENT[SEG]), so that a test can send from a
# client host as any host on the segment could.
kv_client_host() {
    local seg=$1 base=$((64 * ($1 - 1)))
    KV_IP_CLIENT[seg]="198.51.100.$((base + 9))"
    ip -n "${KV_NS_CLIENT[seg]}" addr add "${KV_IP_CLIENT[seg]}/${KV_PREFIX:-26}" dev "${KV_IF_CLIENT[seg]}" ||
        kv_fail "cannot give segment $seg's client an address"
}

# kv_dump_line IFACE: the relay started last logs its counters (SIGUSR1);
# prints that dump's line for IFACE ("Counters of interface IFACE: ..."),
# or returns 1 when none came.
kv_dump_line() {
    local iface=$1 before
    before=$(kv_count_lines "$KV_RELAY_LOG" "Counters of interface $iface: ")
    kill -USR1 "$KV_RELAY_PID" 2>/dev/null || return 1
    kv_wait_log "$KV_RELAY_LOG" "Counters of interface $iface: " $((before + 1)) 5 || return 1
    grep -F -- "Counters of interface $iface: " "$KV_RELAY_LOG" | tail -n 1
}

# kv_udp_bound NS PORT: true when something in NS has a UDP socket on PORT.
kv_udp_bound() {
    ip netns exec "$1" ss -Huln "sport = :$2" 2>/dev/null | grep -q .
}

# kv_start_dnsmasq [ARGS...]: dnsmasq in the server namespace with a lease
# range for every client segment and DNS off. Extra arguments are passed on.
# Sets KV_DNSMASQ_PID.
kv_start_dnsmasq() {
    local args=() i
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        args+=("--dhcp-range=${KV_RANGE_LO[i]},${KV_RANGE_HI[i]},$KV_MASK,10m")
    done
    kv_bg dnsmasq "$KV_NS_SERVER" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
        --user=root --group=root --interface="$KV_IF_SERVER" --bind-interfaces \
        --pid-file="$KV_TMP/dnsmasq.pid" --dhcp-leasefile="$KV_TMP/dnsmasq.leases" \
        --no-ping --log-facility=- --log-dhcp "${args[@]}" "$@"
    KV_DNSMASQ_PID=$KV_LAST_PID
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "dnsmasq did not start"
}

# kv_start_dhcpd [EXTRA_CONF]: ISC dhcpd in the server namespace with a
# subnet for the server segment and one with a range for every client
# segment. Sets KV_DHCPD_PID.
kv_start_dhcpd() {
    local conf="$KV_TMP/dhcpd.conf" i
    {
        echo "authoritative;"
        echo "default-lease-time 600;"
        echo "max-lease-time 600;"
        echo "ddns-update-style none;"
        echo "ping-check false;"
        echo "subnet 203.0.113.0 netmask 255.255.255.0 { }"
        for ((i = 1; i <= KV_SEGMENTS; i++)); do
            echo "subnet ${KV_NET[i]} netmask $KV_MASK {"
            echo "  range ${KV_RANGE_LO[i]} ${KV_RANGE_HI[i]};"
            echo "  option routers ${KV_IP_RELAY[i]};"
            echo "}"
        done
        [ -n "${1:-}" ] && echo "$1"
    } >"$conf"
    : >"$KV_TMP/dhcpd.leases"
    kv_bg dhcpd "$KV_NS_SERVER" dhcpd -4 -f -d -cf "$conf" -lf "$KV_TMP/dhcpd.leases" \
        -pf "$KV_TMP/dhcpd.pid" "$KV_IF_SERVER"
    KV_DHCPD_PID=$KV_LAST_PID
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "dhcpd did not start"
}

# kv_stop PID: stop one process started through kv_bg (it stays in KV_PIDS;
# stopping it twice is harmless).
kv_stop() { kv_kill "$1"; }

# kv_start_relay NAME ARGS...: the relay in the relay namespace in debug
# mode, "$KESTIVANE -d ARGS...", logging to $KV_TMP/NAME.log. Waits until it
# logs "Listen at" KV_LISTEN_COUNT times, by default once for every -i among
# ARGS (at least once). The array KV_RELAY_PREFIX, when set, goes before the
# executable (e.g. a command that drops privileges). Sets KV_RELAY_PID and
# KV_RELAY_LOG.
kv_start_relay() {
    local name=$1 a want=0
    shift
    for a in "$@"; do [ "$a" = -i ] && want=$((want + 1)); done
    [ "$want" -ge 1 ] || want=1
    want=${KV_LISTEN_COUNT:-$want}
    kv_bg "$name" "$KV_NS_RELAY" "${KV_RELAY_PREFIX[@]}" "$KESTIVANE" -d "$@"
    KV_RELAY_PID=$KV_LAST_PID
    KV_RELAY_LOG="$KV_TMP/$name.log"
    if ! kv_wait_log "$KV_RELAY_LOG" "Listen at" "$want"; then
        kv_fail "relay did not log 'Listen at' $want time(s): $KESTIVANE -d $*"
    fi
    kill -0 "$KV_RELAY_PID" 2>/dev/null || kv_fail "relay exited at start-up: $KESTIVANE -d $*"
    # The listener threads start right after the last interface opened; the
    # capture handles already queue frames, so a short pause is plenty.
    sleep 0.2
}

# kv_hup N: sends the relay started last SIGHUP and waits for its Nth
# reload line (either kind: "Reloaded ..." or "Can't reload ..."); prints
# the milliseconds from the signal to the line, or "timeout" after 5 s.
kv_hup() {
    local n=$1 start end
    start=$(date +%s%N)
    kill -HUP "$KV_RELAY_PID"
    while [ "$(grep -cE '^(Reloaded|Can.t reload) ' "$KV_RELAY_LOG")" -lt "$n" ]; do
        [ $(($(date +%s%N) - start)) -lt 5000000000 ] || { echo timeout; return; }
        sleep 0.002
    done
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

# kv_relay_alive: the relay started last is still running.
kv_relay_alive() { kill -0 "$KV_RELAY_PID" 2>/dev/null; }

# kv_opener_pid [RELAY_PID]: the relay's opener, the other live process of
# the relay's program in the relay namespace (none, or several, print
# nothing and fail).
kv_opener_pid() {
    local relay=${1:-$KV_RELAY_PID} p found=()
    for p in $(ip netns pids "$KV_NS_RELAY"); do
        [ "$p" != "$relay" ] && [ "$(readlink -f "/proc/$p/exe" 2>/dev/null)" = "$KESTIVANE" ] || continue
        [ "$(sed -n 's/^State:[[:space:]]*//p' "/proc/$p/status" 2>/dev/null | cut -c1)" = Z ] && continue
        found+=("$p")
    done
    [ "${#found[@]}" -eq 1 ] && echo "${found[0]}"
}

# kv_gone PID: the process has ended (a zombie counts as ended).
kv_gone() {
    [ ! -e "/proc/$1" ] || [ "$(sed -n 's/^State:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null | cut -c1)" = Z ]
}

# kv_sandbox_clean NAME LOG...: no relay log among LOG names a system call
# the sandbox (sandbox=on) refused: every path the test drove runs within
# the relay's allow-list.
kv_sandbox_clean() {
    local name=$1 refused
    shift
    refused=$(grep -h "refused by the sandbox" "$@" | sort -u | tr '\n' ' ')
    if [ -n "$refused" ]; then
        kv_check_fail "$name: the sandbox refused calls of the relay: $refused"
    else
        kv_pass "$name: the sandbox refused no call of the relay"
    fi
}

# kv_check_config NAME ARGS...: the relay's check, "$KESTIVANE -t ARGS...",
# in the relay namespace as the user nobody with no capability, traced by
# strace. Sets KV_CHECK_STATUS; standard output and error go to
# $KV_TMP/NAME.out and NAME.err. Fails the test when the check created an
# IPv4, IPv6 or packet socket: a check only reads (netlink for the
# interfaces and a unix socket for names are reading). $KV_TMP is made
# readable for nobody, so that files written there can be checked.
kv_check_config() {
    local name=$1 opened
    shift
    chmod a+rx "$KV_TMP"
    KV_CHECK_STATUS=0
    # The leak checker cannot work under a tracer (it stops the process
    # with ptrace itself): a sanitizer build checks for leaks elsewhere.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        timeout 10 ip netns exec "$KV_NS_RELAY" strace -f -qq -e trace=execve,socket -o "$KV_TMP/$name.strace" \
            setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --inh-caps=-all \
            --bounding-set=-all -- "$KESTIVANE" -t "$@" >"$KV_TMP/$name.out" 2>"$KV_TMP/$name.err" ||
        KV_CHECK_STATUS=$?
    grep -q "execve(\"$KESTIVANE\"" "$KV_TMP/$name.strace" 2>/dev/null || kv_fail "$name: strace saw no relay"
    opened=$(grep -E 'socket\((AF_INET|AF_INET6|AF_PACKET),' "$KV_TMP/$name.strace")
    [ -z "$opened" ] || kv_fail "$name: the check opened sockets: $opened"
}

# kv_udhcpc SEG [TRIES [NAME]]: busybox udhcpc on client segment SEG, one
# DISCOVER a second for TRIES seconds. Prints the leased address and returns
# 0, or returns 1 without a lease. With KV_RELEASE=1 it puts the address and
# a default route through the offered router on its interface, stays once
# bound, and releases the lease (by unicast to the server) when stopped.
kv_udhcpc() {
    local seg=$1 tries=${2:-5} name=${3:-udhcpc$1} pid
    local script="$KV_TMP/$name.script" rec="$KV_TMP/$name.lease"
    # Records the lease; leaves the interface alone unless told to release.
    printf '#!/bin/sh\ncase "$1" in bound|renew) echo "$ip" > %s ;; esac\n' "$rec" >"$script"
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        printf '%s\n' 'case "$1" in' \
            'bound) ip addr add "$ip/$mask" dev "$interface"; ip route replace default via "${router%% *}" dev "$interface" ;;' \
            'deconfig) ip -4 addr flush dev "$interface" ;;' 'esac' >>"$script"
    fi
    echo 'exit 0' >>"$script"
    chmod 755 "$script"
    rm -f "$rec"
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        # Quitting at once (-q) would leave before it counts as bound, and
        # release nothing.
        kv_bg "$name" "${KV_NS_CLIENT[seg]}" busybox udhcpc -i "${KV_IF_CLIENT[seg]}" -n -f -R \
            -t "$tries" -T 1 -s "$script"
        pid=$KV_LAST_PID
        kv_wait_for "$((tries + 2))" test -s "$rec"
        kv_kill "$pid"
    else
        timeout $((tries + 5)) ip netns exec "${KV_NS_CLIENT[seg]}" \
            busybox udhcpc -i "${KV_IF_CLIENT[seg]}" -n -q -f -t "$tries" -T 1 -s "$script" \
            >"$KV_TMP/$name.log" 2>&1
    fi
    [ -s "$rec" ] || return 1
    cat "$rec"
}

# kv_dhclient SEG [SECONDS [NAME]]: ISC dhclient on client segment SEG, one
# attempt of at most SECONDS (its own lease, pid and script files). Prints
# the leased address and returns 0, or returns 1 without a lease. With
# KV_RELEASE=1 it puts the address and a default route through the offered
# router on its interface, and a second run (-r) releases the lease (by
# unicast to the server) once it is recorded.
kv_dhclient() {
    local seg=$1 limit=${2:-8} name=${3:-dhclient$1}
    local script="$KV_TMP/$name.script" rec="$KV_TMP/$name.lease" pid
    # dhclient gives its script a fresh environment, so the record's path is
    # written into the script. It records the lease and leaves the interface
    # alone unless told to release.
    printf '#!/bin/sh\ncase "$reason" in BOUND|RENEW|REBOOT) echo "$new_ip_address" > %s ;; esac\n' \
        "$rec" >"$script"
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        printf '%s\n' 'case "$reason" in' \
            'BOUND) ip addr add "$new_ip_address/$new_subnet_mask" dev "$interface"; ip route replace default via "${new_routers%% *}" dev "$interface" ;;' \
            'RELEASE) ip -4 addr flush dev "$interface" ;;' 'esac' >>"$script"
    fi
    echo 'exit 0' >>"$script"
    chmod 755 "$script"
    printf 'timeout %d;\nretry 60;\ninitial-interval 1;\nbackoff-cutoff 1;\n' "$limit" >"$KV_TMP/$name.conf"
    rm -f "$rec"
    : >"$KV_TMP/$name.leases"
    kv_bg "$name" "${KV_NS_CLIENT[seg]}" dhclient -4 -d -1 -v \
        -cf "$KV_TMP/$name.conf" -lf "$KV_TMP/$name.leases" -pf "$KV_TMP/$name.pid" \
        -sf "$script" "${KV_IF_CLIENT[seg]}"
    pid=$KV_LAST_PID
    kv_wait_for "$((limit + 2))" test -s "$rec"
    kv_kill "$pid"
    [ -s "$rec" ] || return 1
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        timeout 5 ip netns exec "${KV_NS_CLIENT[seg]}" dhclient -4 -r -v \
            -cf "$KV_TMP/$name.conf" -lf "$KV_TMP/$name.leases" -pf "$KV_TMP/$name.pid" \
            -sf "$script" "${KV_IF_CLIENT[seg]}" >>"$KV_TMP/$name.log" 2>&1
    fi
    cat "$rec"
}

# kv_in_range SEG IP: IP lies in segment SEG's lease range.
kv_in_range() {
    local seg=$1 ip=$2 lo hi last
    case "$ip" in 198.51.100.*) ;; *) return 1 ;; esac
    last=${ip##*.}
    lo=${KV_RANGE_LO[seg]##*.}
    hi=${KV_RANGE_HI[seg]##*.}
    [ "$last" -ge "$lo" ] && [ "$last" -le "$hi" ]
}

# kv_tcpdump NAME NS IF [FILTER...]: capture on IF in NS into
# $KV_TMP/NAME.pcap, packet by packet (-U). Returns once tcpdump listens.
# Sets KV_LAST_PID (stop it with kv_stop, or leave it to the teardown).
kv_tcpdump() {
    local name=$1 ns=$2 dev=$3
    shift 3
    # Immediate mode: packets reach the file as they arrive, not when a
    # capture buffer block times out (up to a second later).
    kv_bg "$name.tcpdump" "$ns" tcpdump -Z root -n -U --immediate-mode -s 2000 -i "$dev" -w "$KV_TMP/$name.pcap" "$@"
    kv_wait_log "$KV_TMP/$name.tcpdump.log" "listening on" 1 "$KV_TIMEOUT" ||
        kv_fail "tcpdump on $dev did not start"
}

# kv_pcap NAME: the path of a capture made by kv_tcpdump.
kv_pcap() { echo "$KV_TMP/$1.pcap"; }

# kv_frames ARGS...: run the frame tool (tests/e2e/frames.py) in this
# namespace; kv_frames_in NS ARGS... runs it in another.
kv_frames() { "$KV_PYTHON" "$KV_FRAMES" "$@"; }
kv_frames_in() {
    local ns=$1
    shift
    ip netns exec "$ns" "$KV_PYTHON" "$KV_FRAMES" "$@"
}

# kv_option_hex PCAP OP CODE: option CODE of every captured DHCP message
# with that op, as hex, one line each ("none" when it has none).
kv_option_hex() {
    "$KV_PYTHON" - "$1" "$2" "$3" "$KV_DIR" <<'EOF'
import sys
sys.path.insert(0, sys.argv[4])
import frames
for stamp, frame in frames.read_pcap(sys.argv[1]):
    f = frames.fields(stamp, frame)
    if f is None or f.get("op") != int(sys.argv[2]):
        continue
    value = frames.option(bytes.fromhex(f["payload_hex"]), int(sys.argv[3]))
    print(value.hex() if value is not None else "none")
EOF
}

# kv_wire_messages FAMILY CLIENT_PCAP SERVER_PCAP: the DHCP messages of two
# captures as the relay between them saw them, one line "DIRECTION TYPE N"
# for every direction and type its message counters name (zeros included).
# FAMILY 4: requests (op 1) on the client side were received, answers sent;
# on the server side requests were sent (one per server), answers received.
# FAMILY 6: on the client side what went to port 547 was received, the rest
# sent; on the server side Relay-Forwards were sent, the rest received.
kv_wire_messages() {
    "$KV_PYTHON" - "$@" "$KV_DIR" <<'EOF'
import sys
sys.path.insert(0, sys.argv[4])
import frames
family, client, server = sys.argv[1:4]
names = (["discover", "offer", "request", "decline", "ack", "nak", "release", "inform"] if family == "4" else
         ["solicit", "advertise", "request", "confirm", "renew", "rebind", "reply", "release", "decline",
          "reconfigure", "information_request", "relay_forward", "relay_reply"]) + ["other"]
count = {(d, n): 0 for d in ("received", "sent") for n in names}
for side, path in (("client", client), ("server", server)):
    for stamp, frame in frames.read_pcap(path):
        f = frames.fields(stamp, frame)
        if f is None or "msg_type" not in f:
            continue
        t = f["msg_type"]
        name = names[t - 1] if isinstance(t, int) and 1 <= t < len(names) else "other"
        if family == "4":
            inward = f.get("op") == 1
        else:
            inward = f["udp_dport"] == 547 if side == "client" else t == 12
        received = inward if side == "client" else not inward
        count["received" if received else "sent", name] += 1
for (d, n), v in count.items():
    print(d, n, v)
EOF
}

# kv_wait_pcap NAME COUNT SECONDS SELECT...: wait until the capture holds
# at least COUNT DHCP packets matching the selection (frames.py count).
kv_wait_pcap() {
    local name=$1 count=$2 limit=$3
    shift 3
    KV__PCAP_SEEN=-1
    kv_wait_for "$limit" kv__pcap_has "$(kv_pcap "$name")" "$count" "$@"
}
# Reads the capture only when it has grown since the last look.
kv__pcap_has() {
    local file=$1 count=$2 n size
    shift 2
    size=$(stat -c %s "$file" 2>/dev/null) || return 1
    [ "$size" = "$KV__PCAP_SEEN" ] && return 1
    KV__PCAP_SEEN=$size
    n=$(kv_frames count "$file" "$@" 2>/dev/null) || return 1
    [ "${n:-0}" -ge "$count" ]
}

# kv_next_xid: set KV_XID to a transaction id (hex) that no other case of
# this run uses (call it directly, not in $(...), so that the count advances).
KV_XID_SEQ=0
kv_next_xid() {
    KV_XID_SEQ=$((KV_XID_SEQ + 1))
    KV_XID=$(printf '0x%04x%04x' $((KV_ID & 0xffff)) "$KV_XID_SEQ")
}

# kv_start_dnsmasq6 [ARGS...]: dnsmasq as a DHCPv6 server in the server
# namespace (KV_IPV6=1 topology), a stateful range 2001:db8:0:i::100-1ff for
# every client segment. Extra arguments (more ranges) are passed on. Sets
# KV_DNSMASQ_PID.
kv_start_dnsmasq6() {
    local args=() i
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        args+=("--dhcp-range=2001:db8:0:$i::100,2001:db8:0:$i::1ff,64,10m")
    done
    kv_bg dnsmasq6 "$KV_NS_SERVER" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
        --user=root --group=root --interface="$KV_IF_SERVER" --bind-interfaces \
        --pid-file="$KV_TMP/dnsmasq6.pid" --dhcp-leasefile="$KV_TMP/dnsmasq6.leases" \
        --log-facility=- --log-dhcp "${args[@]}" "$@"
    KV_DNSMASQ_PID=$KV_LAST_PID
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 547 || kv_fail "dnsmasq (DHCPv6) did not start"
}

# kv_start_dhcpd6 CONF_LINES: ISC dhcpd -6 in the server namespace with a
# subnet6 for the server segment and the given configuration after it.
# Sets KV_DHCPD_PID.
kv_start_dhcpd6() {
    local conf="$KV_TMP/dhcpd6.conf"
    {
        echo "default-lease-time 600;"
        echo "max-lease-time 600;"
        echo "ddns-update-style none;"
        echo "subnet6 2001:db8:ff::/64 { }"
        echo "$1"
    } >"$conf"
    : >"$KV_TMP/dhcpd6.leases"
    kv_bg dhcpd6 "$KV_NS_SERVER" dhcpd -6 -f -d -cf "$conf" -lf "$KV_TMP/dhcpd6.leases" \
        -pf "$KV_TMP/dhcpd6.pid" "$KV_IF_SERVER"
    KV_DHCPD_PID=$KV_LAST_PID
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 547 || kv_fail "dhcpd -6 did not start"
}

# kv_dhclient6 NS IF [SECONDS [NAME [FLAGS...]]]: ISC dhclient -6 on IF in
# NS, at most SECONDS. FLAGS (e.g. -P for a delegated prefix) go to
# dhclient. Prints what it was given (address, or prefix with -P) and
# returns 0, or returns 1 with nothing. With KV_RELEASE=1 a second run (-r) releases
# what it was given once it is recorded.
kv_dhclient6() {
    local ns=$1 dev=$2 limit=${3:-8} name=${4:-dhclient6$2} pid
    shift 4 2>/dev/null || shift $#
    local script="$KV_TMP/$name.script" rec="$KV_TMP/$name.lease"
    printf '#!/bin/sh\ncase "$reason" in BOUND6|RENEW6|REBIND6) echo "${new_ip6_address:-$new_ip6_prefix}" > %s ;; esac\nexit 0\n' \
        "$rec" >"$script"
    chmod 755 "$script"
    printf 'timeout %d;\n' "$limit" >"$KV_TMP/$name.conf"
    rm -f "$rec"
    : >"$KV_TMP/$name.leases"
    kv_bg "$name" "$ns" dhclient -6 -d -v "$@" -cf "$KV_TMP/$name.conf" -lf "$KV_TMP/$name.leases" \
        -pf "$KV_TMP/$name.pid" -sf "$script" "$dev"
    pid=$KV_LAST_PID
    kv_wait_for "$((limit + 2))" test -s "$rec"
    kv_kill "$pid"
    [ -s "$rec" ] || return 1
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        timeout 5 ip netns exec "$ns" dhclient -6 -r -v "$@" -cf "$KV_TMP/$name.conf" -lf "$KV_TMP/$name.leases" \
            -pf "$KV_TMP/$name.pid" -sf "$script" "$dev" >>"$KV_TMP/$name.log" 2>&1
    fi
    cat "$rec"
}

# kv_dhcpcd6 NS IF [SECONDS [NAME]]: dhcpcd asking for an address by
# DHCPv6 alone (no router advertisement needed) on IF in NS. Prints the
# address and returns 0, or returns 1 without one. With KV_RELEASE=1
# it stays after the lease and releases it when stopped.
kv_dhcpcd6() {
    local dev=$2
    # A lease left by an earlier run would be confirmed, not asked for.
    KV_CLEANUP+=("rm -f /var/lib/dhcpcd/$dev.lease6 /var/lib/dhcpcd/$dev-6.lease /run/dhcpcd/$dev-6.pid")
    kv__dhcpcd 6 "$1" "$dev" "${3:-8}" "${4:-dhcpcd6$dev}" "BOUND6|RENEW6|REBIND6" new_dhcp6_ia_na1_ia_addr1 \
        "/var/lib/dhcpcd/$dev.lease6" "$(printf 'ipv6only\nnoipv6rs\nnohook resolv.conf\nduid\ninterface %s\n  ia_na 1' "$dev")"
}

# kv_v6_clients SEG [N]: the bench generator's made-up DHCPv6 clients (N,
# default 16, fe80::ff:fe00:0 on) as permanent neighbours of the relay's
# end of segment SEG: their answers need no neighbour discovery.
kv_v6_clients() {
    local c
    for ((c = 0; c < ${2:-16}; c++)); do
        printf 'neigh replace fe80::ff:fe00:%x lladdr 02:00:00:00:00:%02x dev %s nud permanent\n' "$c" "$c" \
            "${KV_IF_RELAY[$1]}"
    done | ip -n "$KV_NS_RELAY" -batch - || kv_fail "cannot add the DHCPv6 clients' neighbour entries on segment $1"
}

# kv_start_responder6: the bench responder answering relayed DHCPv6
# Solicits on port 547 in the server namespace (KV_IPV6=1 topology), for at
# most 120 s. Sets KV_RESPONDER6_PID.
kv_start_responder6() {
    kv_bg responder6 "$KV_NS_SERVER" "${RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}" \
        --listen6 "$KV_IP6_SERVER" --max-seconds 120
    KV_RESPONDER6_PID=$KV_LAST_PID
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 547 || kv_fail "the DHCPv6 responder did not start"
}

# kv_answered6 NAME SEG COUNT [RATE [SECONDS]]: COUNT DHCPv6 Solicits of 4
# made-up clients (kv_v6_clients) from segment SEG by the bench generator,
# RATE a second (default 50) for at most SECONDS (default 2); prints how
# many were answered through the relay (its summary in $KV_TMP/NAME.log).
kv_answered6() {
    kv_ns "${KV_NS_CLIENT[$2]}" "${LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}" --iface "${KV_IF_CLIENT[$2]}" \
        --v6 --v6-clients 4 --rate "${4:-50}" --count "$3" --seconds "${5:-2}" --drain-ms 500 \
        >"$KV_TMP/$1.log" 2>&1
    sed -n 's/.*answered=\([0-9]*\).*/\1/p' "$KV_TMP/$1.log" | head -n 1 | grep . || echo 0
}

# kv_chain_segment SEG: make client segment SEG's namespace a second relay's
# home (KV_IPV6=1 topology): a link behind it, KV_IF_INNER (address
# 2001:db8:0:1SEG::1/64, KV_IP6_INNER) in KV_NS_CLIENT[SEG], to a new client
# namespace KV_NS_INNER_CLIENT, interface KV_IF_INNER_CLIENT (hardware
# address KV_MAC_INNER_CLIENT).
kv_chain_segment() {
    local seg=$1
    KV_NS_INNER_CLIENT="kv${KV_ID}c${seg}b"
    KV_IF_INNER="i${seg}k${KV_ID}"
    KV_IF_INNER_CLIENT="b${seg}k${KV_ID}"
    KV_IP6_INNER="2001:db8:0:1$seg::1"
    kv_add_ns "$KV_NS_INNER_CLIENT"
    ip -n "${KV_NS_CLIENT[seg]}" link add "$KV_IF_INNER" type veth peer name "$KV_IF_INNER_CLIENT" \
        netns "$KV_NS_INNER_CLIENT" || kv_fail "cannot create the veth pair behind segment $seg"
    ip -n "${KV_NS_CLIENT[seg]}" addr add "$KV_IP6_INNER/64" dev "$KV_IF_INNER" nodad
    ip -n "${KV_NS_CLIENT[seg]}" link set "$KV_IF_INNER" up
    ip -n "$KV_NS_INNER_CLIENT" link set "$KV_IF_INNER_CLIENT" up
    KV_MAC_INNER_CLIENT=$(kv_mac "$KV_NS_INNER_CLIENT" "$KV_IF_INNER_CLIENT")
    kv_wait_for 5 kv__inner_ready || kv_fail "the link behind segment $seg did not come up"
}
kv__inner_ready() {
    kv_no_tentative "$KV_NS_INNER_CLIENT" && kv_no_tentative "${KV_NS_CLIENT[seg]}" &&
        [ -n "$(kv_link_local "$KV_NS_INNER_CLIENT" "$KV_IF_INNER_CLIENT")" ] &&
        [ -n "$(kv_link_local "${KV_NS_CLIENT[seg]}" "$KV_IF_INNER")" ]
}

# kv_dhcpcd4 NS IF [SECONDS [NAME]]: dhcpcd asking for an IPv4 address on IF
# in NS, without the ARP probe of the offered address (which would cost
# seconds). dhcpcd puts the address and routes on IF itself. Prints the
# address and returns 0, or returns 1 without one. KV_RELEASE=1 as
# for kv_dhcpcd6 (a DHCPv4 release goes by unicast to the server).
kv_dhcpcd4() {
    local dev=$2
    KV_CLEANUP+=("rm -f /var/lib/dhcpcd/$dev.lease /run/dhcpcd/$dev-4.pid")
    kv__dhcpcd 4 "$1" "$dev" "${3:-8}" "${4:-dhcpcd4$dev}" "BOUND|RENEW|REBIND|REBOOT" new_ip_address \
        "/var/lib/dhcpcd/$dev.lease" "$(printf 'ipv4only\nnoarp\nnoipv4ll\nnohook resolv.conf')"
}

# kv__dhcpcd FAMILY NS IF SECONDS NAME REASONS VARIABLE LEASE_FILE CONF: one
# dhcpcd run of either family; its script records VARIABLE for the REASONS
# that give a lease; LEASE_FILE, left by an earlier run, is removed first.
# Without KV_RELEASE=1 dhcpcd ends after the lease (-1); with it, it
# stays until stopped (-B once more) and releases the lease then.
kv__dhcpcd() {
    local family=$1 ns=$2 dev=$3 limit=$4 name=$5 pid once=-1
    local script="$KV_TMP/$name.script" rec="$KV_TMP/$name.lease" conf="$KV_TMP/$name.conf"
    printf '#!/bin/sh\ncase "$reason" in %s) echo "$%s" > %s ;; esac\nexit 0\n' "$6" "$7" "$rec" >"$script"
    chmod 755 "$script"
    printf '%s\n' "$9" >"$conf"
    if [ "${KV_RELEASE:-0}" = 1 ]; then
        echo release >>"$conf"
        once=-B
    fi
    rm -f "$rec" "$8"
    kv_bg "$name" "$ns" dhcpcd "-$family" -B "$once" -d -t "$limit" -f "$conf" -c "$script" "$dev"
    pid=$KV_LAST_PID
    kv_wait_for "$((limit + 2))" test -s "$rec"
    kv_kill "$pid"
    [ -s "$rec" ] || return 1
    cat "$rec"
}

# kv__start_kea FAMILY PORT SETTINGS: Kea's DHCPvFAMILY server in the server
# namespace with SETTINGS (members of its JSON configuration) and what every
# run shares: leases in KV_TMP, the log on standard output, and its lock and
# pid files in KV_TMP rather than the system's. Returns once it has PORT.
kv__start_kea() {
    local family=$1 port=$2 conf="$KV_TMP/kea$1.json"
    printf '{"Dhcp%s": {\n%s,\n  "lease-database": {"type": "memfile", "persist": true, "name": "%s", "lfc-interval": 0},\n  "loggers": [{"name": "kea-dhcp%s", "output_options": [{"output": "stdout"}], "severity": "INFO"}]\n}}\n' \
        "$family" "$3" "$KV_TMP/kea$family.leases" "$family" >"$conf"
    kv_bg "kea$family" "$KV_NS_SERVER" env "KEA_LOCKFILE_DIR=$KV_TMP" "KEA_PIDFILE_DIR=$KV_TMP" \
        "kea-dhcp$family" -c "$conf"
    kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" "$port" || kv_fail "kea-dhcp$family did not start"
}

# kv_start_kea4 [ADDRESS]: Kea's DHCPv4 server (kv__start_kea), a subnet
# with a pool KV_RANGE_LO[i]..KV_RANGE_HI[i] for every client segment
# (picked by giaddr); with ADDRESS, it listens on that address of the
# server interface alone (other addresses there answer nothing). Sets
# KV_KEA4_PID.
kv_start_kea4() {
    local i subnets="" listen=$KV_IF_SERVER
    [ -n "${1:-}" ] && listen="$KV_IF_SERVER/$1"
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        subnets+="{\"id\": $i, \"subnet\": \"${KV_NET[i]}/${KV_PREFIX:-26}\", \"pools\": [{\"pool\": \"${KV_RANGE_LO[i]} - ${KV_RANGE_HI[i]}\"}],"
        subnets+=" \"option-data\": [{\"name\": \"routers\", \"data\": \"${KV_IP_RELAY[i]}\"}]},"
    done
    kv__start_kea 4 67 "  \"interfaces-config\": {\"interfaces\": [\"$listen\"], \"dhcp-socket-type\": \"udp\"},
  \"valid-lifetime\": 600,
  \"subnet4\": [$subnets {\"id\": 100, \"subnet\": \"203.0.113.0/24\"}]"
    KV_KEA4_PID=$KV_LAST_PID
}

# kv_start_kea6: Kea's DHCPv6 server (kv__start_kea; KV_IPV6=1 topology),
# listening on KV_IP6_SERVER for relayed messages, a subnet 2001:db8:0:i::/64
# with a pool ::100-::1ff for every client segment (picked by the
# Relay-Forward's link-address), and a server DUID that is not kept. Sets
# KV_KEA6_PID. Each PREFIX (a /64 such as 2001:db8:0:13::/64, a link behind
# a second relay) gets a subnet and a pool ::100-::1ff too.
kv_start_kea6() {
    local i subnets="" net id=200
    for ((i = 1; i <= KV_SEGMENTS; i++)); do
        subnets+="{\"id\": $i, \"subnet\": \"2001:db8:0:$i::/64\","
        subnets+=" \"pools\": [{\"pool\": \"2001:db8:0:$i::100 - 2001:db8:0:$i::1ff\"}]},"
    done
    for net in "$@"; do
        subnets+="{\"id\": $((id++)), \"subnet\": \"$net\","
        subnets+=" \"pools\": [{\"pool\": \"${net%/64}100 - ${net%/64}1ff\"}]},"
    done
    kv__start_kea 6 547 "  \"interfaces-config\": {\"interfaces\": [\"$KV_IF_SERVER/$KV_IP6_SERVER\"]},
  \"server-id\": {\"type\": \"LLT\", \"persist\": false},
  \"preferred-lifetime\": 300, \"valid-lifetime\": 600,
  \"subnet6\": [$subnets {\"id\": 100, \"subnet\": \"2001:db8:ff::/64\"}]"
    KV_KEA6_PID=$KV_LAST_PID
}

# kv_fabric_topology [LEAVES]: a fabric's edge. LEAVES relays (leaves, 2 by
# default, at most 4) share one bridged client segment (segment 1: the bridge
# KV_IF_CLIENT[1] in KV_NS_CLIENT[1] is the client's interface) and all carry
# its anycast gateway KV_IP_RELAY[1] (198.51.100.1/26) on their client
# interface KV_IF_LEAF[L]; each has its own loopback address
# KV_IP_LOOP[L] (192.0.2.L/32 on lo) and an uplink KV_IP_LEAF_UP[L]
# (203.0.113.(10+L)/24) on the server bridge KV_IF_SERVER in KV_NS_SERVER,
# which has KV_IP_SERVER (203.0.113.2). Leaf namespaces: KV_NS_LEAF[L]; each
# routes the other leaves' loopbacks through their uplinks and forwards
# (without redirects). The server routes each loopback to its own leaf until
# kv_fabric_route says otherwise. kv_start_relay runs in KV_NS_RELAY: set it
# to a leaf's namespace first.
kv_fabric_topology() {
    local n=${1:-2} l m
    if [ "$n" -lt 1 ] || [ "$n" -gt 4 ]; then kv_fail "kv_fabric_topology: 1 to 4 leaves, not $n"; fi
    KV_SEGMENTS=1 KV_LEAVES=$n
    KV_NS_SERVER="kv${KV_ID}s"
    KV_IF_SERVER="sv${KV_ID}"
    KV_IP_SERVER=203.0.113.2
    KV_MASK=255.255.255.192
    KV_NS_CLIENT=([1]="kv${KV_ID}c1") KV_IF_CLIENT=([1]="cb${KV_ID}")
    KV_NET=([1]=198.51.100.0) KV_IP_RELAY=([1]=198.51.100.1)
    KV_RANGE_LO=([1]=198.51.100.10) KV_RANGE_HI=([1]=198.51.100.50)
    KV_NS_LEAF=() KV_IF_LEAF=() KV_IF_LEAF_UP=() KV_IP_LOOP=() KV_IP_LEAF_UP=()
    kv_add_ns "$KV_NS_SERVER"
    kv_add_ns "${KV_NS_CLIENT[1]}"
    ip -n "${KV_NS_CLIENT[1]}" link add "${KV_IF_CLIENT[1]}" type bridge stp_state 0 forward_delay 0 ||
        kv_fail "cannot create the client bridge"
    ip -n "$KV_NS_SERVER" link add "$KV_IF_SERVER" type bridge stp_state 0 forward_delay 0 ||
        kv_fail "cannot create the server bridge"
    ip -n "$KV_NS_SERVER" addr add "$KV_IP_SERVER/24" dev "$KV_IF_SERVER"
    for ((l = 1; l <= n; l++)); do
        KV_NS_LEAF[l]="kv${KV_ID}l$l"
        KV_IF_LEAF[l]="lc${l}k${KV_ID}"
        KV_IF_LEAF_UP[l]="lu${l}k${KV_ID}"
        KV_IP_LOOP[l]="192.0.2.$l"
        KV_IP_LEAF_UP[l]="203.0.113.$((10 + l))"
        kv_add_ns "${KV_NS_LEAF[l]}"
        ip -n "${KV_NS_LEAF[l]}" link add "${KV_IF_LEAF[l]}" type veth peer name "bc${l}k${KV_ID}" \
            netns "${KV_NS_CLIENT[1]}" || kv_fail "cannot create leaf $l's client link"
        ip -n "${KV_NS_LEAF[l]}" link add "${KV_IF_LEAF_UP[l]}" type veth peer name "bs${l}k${KV_ID}" \
            netns "$KV_NS_SERVER" || kv_fail "cannot create leaf $l's uplink"
        ip -n "${KV_NS_CLIENT[1]}" link set "bc${l}k${KV_ID}" master "${KV_IF_CLIENT[1]}" up
        ip -n "$KV_NS_SERVER" link set "bs${l}k${KV_ID}" master "$KV_IF_SERVER" up
        ip -n "${KV_NS_LEAF[l]}" addr add "${KV_IP_RELAY[1]}/26" dev "${KV_IF_LEAF[l]}"
        ip -n "${KV_NS_LEAF[l]}" addr add "${KV_IP_LEAF_UP[l]}/24" dev "${KV_IF_LEAF_UP[l]}"
        ip -n "${KV_NS_LEAF[l]}" addr add "${KV_IP_LOOP[l]}/32" dev lo
        ip -n "${KV_NS_LEAF[l]}" link set "${KV_IF_LEAF[l]}" up
        ip -n "${KV_NS_LEAF[l]}" link set "${KV_IF_LEAF_UP[l]}" up
        ip netns exec "${KV_NS_LEAF[l]}" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.send_redirects=0 \
            "net.ipv4.conf.${KV_IF_LEAF_UP[l]}.send_redirects=0" >/dev/null ||
            kv_fail "cannot make leaf $l forward"
    done
    for ((l = 1; l <= n; l++)); do
        for ((m = 1; m <= n; m++)); do
            [ "$l" = "$m" ] || ip -n "${KV_NS_LEAF[l]}" route add "${KV_IP_LOOP[m]}/32" via "${KV_IP_LEAF_UP[m]}"
        done
    done
    ip netns exec "$KV_NS_SERVER" sysctl -qw net.ipv4.conf.all.accept_redirects=0 >/dev/null || true
    ip -n "${KV_NS_CLIENT[1]}" link set "${KV_IF_CLIENT[1]}" up
    ip -n "$KV_NS_SERVER" link set "$KV_IF_SERVER" up
    kv_fabric_route direct
    KV_NS_RELAY=${KV_NS_LEAF[1]}
    kv_wait_for 3 kv__fabric_up || kv_fail "the fabric's links did not come up"
}
kv__fabric_up() {
    local l
    ip -n "${KV_NS_CLIENT[1]}" -o link show dev "${KV_IF_CLIENT[1]}" | grep -q 'state UP' || return 1
    for ((l = 1; l <= KV_LEAVES; l++)); do
        ip -n "${KV_NS_LEAF[l]}" -o link show dev "${KV_IF_LEAF[l]}" | grep -q 'state UP' || return 1
        ip -n "${KV_NS_LEAF[l]}" -o link show dev "${KV_IF_LEAF_UP[l]}" | grep -q 'state UP' || return 1
    done
}

# kv_fabric_route direct|via LEAF: how the server reaches the loopbacks:
# each through its own leaf, or all of them through leaf LEAF (which routes
# the others' on to their leaves).
kv_fabric_route() {
    local l
    for ((l = 1; l <= KV_LEAVES; l++)); do
        if [ "$1" = direct ]; then
            ip -n "$KV_NS_SERVER" route replace "${KV_IP_LOOP[l]}/32" via "${KV_IP_LEAF_UP[l]}"
        else
            ip -n "$KV_NS_SERVER" route replace "${KV_IP_LOOP[l]}/32" via "${KV_IP_LEAF_UP[$2]}"
        fi
    done
}

# kv_udhcpc_renew SEG NAME: busybox udhcpc on segment SEG takes a lease
# (puts it on its interface), renews it once (SIGUSR1) and stops. Prints
# its script's events ("bound IP", "renew IP"), one a line; returns 1
# unless the renewal was acknowledged.
kv_udhcpc_renew() {
    local seg=$1 name=$2 pid
    local script="$KV_TMP/$name.script" rec="$KV_TMP/$name.events"
    printf '%s\n' '#!/bin/sh' "case \"\$1\" in bound|renew) echo \"\$1 \$ip\" >> $rec ;; esac" \
        'case "$1" in bound) ip addr add "$ip/$mask" dev "$interface" ;; deconfig) ip -4 addr flush dev "$interface" ;; esac' \
        'exit 0' >"$script"
    chmod 755 "$script"
    rm -f "$rec"
    kv_bg "$name" "${KV_NS_CLIENT[seg]}" busybox udhcpc -i "${KV_IF_CLIENT[seg]}" -f -t 5 -T 1 -A 1 -s "$script"
    pid=$KV_LAST_PID
    kv_wait_for 8 kv__has_lines "$rec" "bound " 1 || { kv_kill "$pid"; return 1; }
    kill -USR1 "$pid"
    kv_wait_for 5 kv__has_lines "$rec" "renew " 1
    local renewed=$?
    kv_kill "$pid"
    cat "$rec"
    return "$renewed"
}
