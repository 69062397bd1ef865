#!/usr/bin/env bash
# The relay benchmark: kestivane beside the DHCP relays that Debian ships and
# beside the kernel's own forwarding, in one run, on network namespaces this
# script creates and removes.
#
# For each relay it builds its own topology (client segments, the relay's
# namespace, a server segment), starts the responder as the DHCP server and
# the relay, then drives the load generator through a ladder of offered
# rates and a bisection for the capacity: the highest offered rate with loss
# under 1 % and median latency under 10 ms (medians over the repetitions).
# Repetitions run round-robin over the relays, so a slow spell of this
# shared machine falls on all of them alike. It also measures each relay's
# CPU use with four interfaces and no traffic.
#
# Relays: kestivane, dhcrelay (ISC), dnsmasq, dhcp-helper, wire, and
# kestivane-nocount: the same relay built with -DKESTIVANE_COUNTING=OFF (in
# <build>-nocount, or --kestivane-nocount), to show what counting costs. "wire" is
# no relay at all: the relay namespace forwards in the kernel, and the
# generator sends the same DISCOVER frames unicast to the server through it,
# with giaddr naming a made-up neighbour on the client segment so that the
# answers come back through the same namespace (see RESULTS.md).
#
# Output: a markdown report in bench/out/ (also printed) and the raw points
# beside it. Every load step is bounded in count and time, and the whole run
# by --max-minutes.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/run.sh [options]
  --quick            1 repetition of 1 s, short ladder, 3 bisection steps, 3 s idle
  --reps N           repetitions per point (default 3)
  --seconds S        sending time per point (default 3)
  --segments N       client segments per relay, 1 to 64 (default 1); above 8, kestivane
                     only (the responder offers from 32-address blocks, which then span
                     several segments: a relay that routes answers by yiaddr misses)
  --relays LIST      comma-separated, from kestivane,dhcrelay,dnsmasq,dhcp-helper,wire,
                     kestivane-nocount (default: all but kestivane-nocount)
  --rates LIST       comma-separated ladder of offered rates, requests/s
                     (default 2000,5000,10000,20000,40000,80000)
  --steps N          bisection steps for the capacity, 0 for none (default 5)
  --idle-seconds S   idle measurement per relay, 0 for none (default 10)
  --idle-segments N  client interfaces of the idle measurement, 1 to 64 (default 4)
  --broadcast        clients set the broadcast flag (answers are broadcast)
  --v6               DHCPv6: Solicits from made-up link-local clients; relays from
                     kestivane,dhcrelay,dnsmasq,wide (wide-dhcpv6-relay), default all
  --build DIR        build folder (default: <source>/build)
  --no-build         use the tools already built there
  --kestivane PATH   the relay executable (default: <build>/kestivane)
  --kestivane-nocount PATH  the relay built without counting
                     (default: <build>-nocount/kestivane, built when missing)
  --out DIR          report folder (default: <source>/bench/out)
  --max-minutes M    stop starting new measurements after M minutes (default 40)
  --storm            also the storms (2 segments per relay; the ladder and the
                     capacity use the first): one point at the generator's
                     maximum, (a) one segment at twice kestivane's capacity,
                     (b) one segment at the generator's maximum while the
                     other sends 1,000/s, each followed by 2,000 requests at
                     1,000/s; peak RSS sampled every 0.1 s; the SVG ladder
  --storm-all        also a storm on every segment at once (the generator's maximum, round
                     robin over the segments) for --storm-seconds, peak RSS sampled, then
                     1,000/s over all segments
  --storm-seconds S  length of each storm (default 10)
  --storm-reps N     repetitions of the storms (default: --reps)
  --storm-rate R     the rate of storm (a) (default: twice kestivane's capacity)
  --queue-limit N    run kestivane with this queue_limit (through a configuration
                     file) instead of its default
EOF
    exit "${1:-2}"
}

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
reps=3 seconds=3 segments=1 steps=5 idle_seconds=10 broadcast=0 max_minutes=40 do_build=1 v6=0
idle_segments=4 storm_all=0 storm_reps=""
storm=0 storm_seconds=10 storm_rate="" queue_limit=""
relays=""
rates="2000,5000,10000,20000,40000,80000"
build="$root/build" out="$here/out" kestivane="" kestivane_nocount=""

while [ $# -gt 0 ]; do
    case "$1" in
        --quick) reps=1 seconds=1 steps=3 idle_seconds=3 rates="2000,10000,40000" ;;
        --reps) reps=$2; shift ;;
        --seconds) seconds=$2; shift ;;
        --segments) segments=$2; shift ;;
        --relays) relays=$2; shift ;;
        --rates) rates=$2; shift ;;
        --steps) steps=$2; shift ;;
        --idle-seconds) idle_seconds=$2; shift ;;
        --idle-segments) idle_segments=$2; shift ;;
        --storm-all) storm_all=1 ;;
        --broadcast) broadcast=1 ;;
        --v6) v6=1 ;;
        --build) build=$2; shift ;;
        --no-build) do_build=0 ;;
        --kestivane) kestivane=$2; shift ;;
        --kestivane-nocount) kestivane_nocount=$2; shift ;;
        --out) out=$2; shift ;;
        --max-minutes) max_minutes=$2; shift ;;
        --storm) storm=1 ;;
        --storm-seconds) storm_seconds=$2; shift ;;
        --storm-reps) storm_reps=$2; shift ;;
        --storm-rate) storm_rate=$2; shift ;;
        --queue-limit) queue_limit=$2; shift ;;
        -h|--help) usage 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage ;;
    esac
    shift
done

if [ -z "$relays" ]; then
    if [ "$v6" = 1 ]; then relays="kestivane,dhcrelay,dnsmasq,wide"; else relays="kestivane,dhcrelay,dnsmasq,dhcp-helper,wire"; fi
fi
is_uint() { [[ $1 =~ ^[0-9]+$ ]]; }
is_uint "$reps" && [ "$reps" -ge 1 ] && [ "$reps" -le 20 ] || { echo "run.sh: --reps 1 to 20" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] && awk -v s="$seconds" 'BEGIN{exit !(s>0 && s<=60)}' ||
    { echo "run.sh: --seconds above 0, at most 60" >&2; exit 2; }
is_uint "$segments" && [ "$segments" -ge 1 ] && [ "$segments" -le 64 ] || { echo "run.sh: --segments 1 to 64" >&2; exit 2; }
is_uint "$idle_segments" && [ "$idle_segments" -ge 1 ] && [ "$idle_segments" -le 64 ] ||
    { echo "run.sh: --idle-segments 1 to 64" >&2; exit 2; }
is_uint "$steps" && [ "$steps" -le 12 ] || { echo "run.sh: --steps 0 to 12" >&2; exit 2; }
is_uint "$idle_seconds" && [ "$idle_seconds" -le 120 ] || { echo "run.sh: --idle-seconds 0 to 120" >&2; exit 2; }
is_uint "$max_minutes" && [ "$max_minutes" -ge 1 ] || { echo "run.sh: --max-minutes at least 1" >&2; exit 2; }
is_uint "$storm_seconds" && [ "$storm_seconds" -ge 1 ] && [ "$storm_seconds" -le 60 ] ||
    { echo "run.sh: --storm-seconds 1 to 60" >&2; exit 2; }
[ -z "$storm_rate" ] || is_uint "$storm_rate" || { echo "run.sh: --storm-rate is a rate" >&2; exit 2; }
storm_reps=${storm_reps:-$reps}
is_uint "$storm_reps" && [ "$storm_reps" -ge 1 ] && [ "$storm_reps" -le 20 ] || { echo "run.sh: --storm-reps 1 to 20" >&2; exit 2; }
# The storms need a second segment; the ladder still loads one.
load_segments=$segments
if [ "$storm" = 1 ]; then
    [ "$segments" -ge 2 ] || segments=2
    load_segments=1
fi
IFS=, read -r -a ladder <<<"$rates"
for r in "${ladder[@]}"; do
    is_uint "$r" && [ "$r" -ge 1 ] && [ "$r" -le 2000000 ] || { echo "run.sh: rates are 1 to 2000000" >&2; exit 2; }
done
IFS=, read -r -a relay_list <<<"$relays"
declare -A code=([kestivane]=k [dhcrelay]=i [dnsmasq]=d [dhcp-helper]=h [wire]=w [kestivane-nocount]=n [wide]=y)
for r in "${relay_list[@]}"; do
    [ -n "${code[$r]:-}" ] || { echo "run.sh: unknown relay $r" >&2; exit 2; }
    if [ "$v6" = 1 ]; then
        case "$r" in dhcp-helper|wire|kestivane-nocount) echo "run.sh: $r has no DHCPv6 mode here" >&2; exit 2 ;; esac
    elif [ "$r" = wide ]; then
        echo "run.sh: wide relays DHCPv6 only (--v6)" >&2; exit 2
    fi
    case "$r" in
        kestivane|kestivane-nocount) ;;
        *) [ "$segments" -le 8 ] || { echo "run.sh: above 8 segments only kestivane is measured, not $r" >&2; exit 2; } ;;
    esac
done
[ "$v6" = 1 ] && [ "$broadcast" = 1 ] && { echo "run.sh: --broadcast is DHCPv4 only" >&2; exit 2; }
# DHCPv6: the made-up clients of the generator (each has a neighbour entry
# in the relay's namespace), the server and the relay's addresses.
v6_clients=64
server6=2001:db8:ff::2
relay6_addr() { echo "2001:db8:0:$(($1 + 1))::1"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "run.sh: needs root (network namespaces)" >&2
    exit 1
fi

# ---------------------------------------------------------------- tools
if [ "$do_build" = 1 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target kestivane kestivane_bench_loadgen kestivane_bench_responder >/dev/null
fi
loadgen="$build/bench/loadgen"
responder="$build/bench/responder"
kestivane=${kestivane:-$build/kestivane}
if [[ ",$relays," == *,kestivane-nocount,* ]] && [ -z "$kestivane_nocount" ]; then
    kestivane_nocount="$build-nocount/kestivane"
    if [ "$do_build" = 1 ]; then
        cmake -S "$root" -B "$build-nocount" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTIVANE_COUNTING=OFF \
            -DKESTIVANE_TESTS=OFF >/dev/null
        cmake --build "$build-nocount" -j2 --target kestivane >/dev/null
    fi
fi
for f in "$loadgen" "$responder"; do
    [ -x "$f" ] || { echo "run.sh: $f is missing (build first)" >&2; exit 1; }
done

# dhcp-helper cannot be installed beside isc-dhcp-relay: its package is
# unpacked into the build folder instead.
dhcp_helper="$build/bench/dhcp-helper/usr/sbin/dhcp-helper"
fetch_dhcp_helper() {
    [ -x "$dhcp_helper" ] && return 0
    local dir="$build/bench/dhcp-helper"
    mkdir -p "$dir"
    (cd "$dir" && apt-get download dhcp-helper >/dev/null 2>&1 && dpkg -x dhcp-helper_*.deb .) || return 1
    [ -x "$dhcp_helper" ]
}

# ---------------------------------------------------------------- state
tag="kb$$"                       # every name of this run carries it
work=$(mktemp -d "/tmp/kestivane-bench.$$.XXXXXX")
mkdir -p "$out"
stamp=$(date +%Y%m%d-%H%M%S)
report="$out/bench-$stamp.md"
raw="$out/bench-$stamp.points"
: >"$raw"
clk_tck=$(getconf CLK_TCK)
deadline=$((SECONDS + max_minutes * 60))
budget_hit=0
server=203.0.113.2
declare -A relay_pid=() responder_pid=() status=()
namespaces=()
pids=()

cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    for p in "${namespaces[@]}"; do ip netns del "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { echo "run.sh: $*" >&2; }

# Segment i of n: a block of 256/2^k addresses of 198.51.100.0/24. The relay
# takes the first host, the wire-limit sender the second, the made-up
# neighbour the last but one (the responder never offers those). With 64
# segments a block has 4 addresses: the relay's, and one host.
set_blocks() { # NSEG
    bits=0; while [ $((1 << bits)) -lt "$1" ]; do bits=$((bits + 1)); done
    block=$((256 >> bits)) prefix=$((24 + bits))
}
set_blocks "$segments"
relay_addr() { echo "198.51.100.$((block * $1 + 1))"; }
sender_addr() { echo "198.51.100.$((block * $1 + 2))"; }
phantom_addr() { echo "198.51.100.$((block * $1 + block - 2))"; }
phantom_mac() { printf '02:00:00:00:fe:%02x' "$1"; }

# build_topology ID NSEG: namespaces ${tag}${ID}c (clients), r (relay),
# s (server); links c<i> <-> r<i> per segment and rs <-> s0.
build_topology() {
    local id=$1 n=$2 b="$tag$1" i
    for i in c r s; do ip netns add "$b$i"; namespaces+=("$b$i"); done
    for i in c r s; do ip -n "$b$i" link set lo up; done
    for ((i = 0; i < n; i++)); do
        ip link add "${b}c$i" netns "${b}c" type veth peer name "${b}r$i" netns "${b}r"
        ip -n "${b}c" link set "${b}c$i" up
        ip -n "${b}r" addr add "$(relay_addr "$i")/$prefix" dev "${b}r$i"
        ip -n "${b}r" link set "${b}r$i" up
    done
    ip link add "${b}rs" netns "${b}r" type veth peer name "${b}s0" netns "${b}s"
    ip -n "${b}r" addr add 203.0.113.1/24 dev "${b}rs"
    ip -n "${b}r" link set "${b}rs" up
    ip -n "${b}s" addr add "$server/24" dev "${b}s0"
    ip -n "${b}s" link set "${b}s0" up
    ip -n "${b}s" route add 198.51.100.0/24 via 203.0.113.1
    ip netns exec "${b}r" sysctl -qw net.ipv4.ip_forward=0
    [ "$v6" = 1 ] && add_v6 "$id" "$n"
    return 0
}

# add_v6 ID NSEG: IPv6 addresses without duplicate address detection, the
# server's route, and the relay's neighbour entries for the made-up clients
# (answers then need no neighbour discovery).
add_v6() {
    local id=$1 n=$2 b="$tag$1" i c ns
    for ns in c r s; do
        ip netns exec "$b$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
    done
    for ((i = 0; i < n; i++)); do
        ip -n "${b}r" addr add "$(relay6_addr "$i")/64" dev "${b}r$i" nodad
        for ((c = 0; c < v6_clients; c++)); do
            printf 'neigh replace fe80::ff:fe00:%x lladdr 02:00:00:00:%02x:%02x dev %s nud permanent\n' \
                "$c" $((c >> 8)) $((c & 255)) "${b}r$i"
        done | ip -n "${b}r" -batch -
    done
    ip -n "${b}r" addr add 2001:db8:ff::1/64 dev "${b}rs" nodad
    ip -n "${b}s" addr add "$server6/64" dev "${b}s0" nodad
    ip -n "${b}s" -6 route add 2001:db8::/48 via 2001:db8:ff::1
    # Link-local addresses come with the links; wait until none is tentative.
    for i in 1 2 3 4 5 6 7 8 9 10; do
        ip -n "${b}r" -6 addr show tentative | grep -q inet6 || ip -n "${b}s" -6 addr show tentative | grep -q inet6 || break
        sleep 0.5
    done
}

# start_relay NAME ID NSEG: starts NAME in namespace ${tag}${ID}r and records
# its pid (the command runs in place of ip netns exec, so $! is its pid).
start_relay() {
    local name=$1 id=$2 n=$3 b="$tag$2" i args=()
    if [ "$v6" = 1 ]; then
        start_relay6 "$@"
        return
    fi
    case "$name" in
        kestivane|kestivane-nocount)
            local exe=$kestivane
            [ "$name" = kestivane-nocount ] && exe=$kestivane_nocount
            if [ -n "$queue_limit" ]; then
                printf '[options]\nqueue_limit=%s\n[servers]\n%s' "$queue_limit" "$server" >"$work/$id.conf"
                for ((i = 0; i < n; i++)); do printf ' %s' "${b}r$i" >>"$work/$id.conf"; done
                echo >>"$work/$id.conf"
                args=(-f "$work/$id.conf")
            else
                for ((i = 0; i < n; i++)); do args+=(-i "${b}r$i"); done
                args+=("$server")
            fi
            ip netns exec "${b}r" "$exe" -d "${args[@]}" >"$work/$id.log" 2>&1 &
            ;;
        dhcrelay)
            for ((i = 0; i < n; i++)); do args+=(-i "${b}r$i"); done
            ip netns exec "${b}r" dhcrelay -d -q -4 -pf "$work/$id-dhcrelay.pid" "${args[@]}" -i "${b}rs" \
                "$server" >"$work/$id.log" 2>&1 &
            ;;
        dnsmasq)
            for ((i = 0; i < n; i++)); do
                args+=("--interface=${b}r$i" "--dhcp-relay=$(relay_addr "$i"),$server")
            done
            ip netns exec "${b}r" dnsmasq -k -C /dev/null --port=0 --pid-file="$work/$id-dnsmasq.pid" \
                --log-facility="$work/$id.log" "${args[@]}" >>"$work/$id.log" 2>&1 &
            ;;
        dhcp-helper)
            for ((i = 0; i < n; i++)); do args+=(-i "${b}r$i"); done
            ip netns exec "${b}r" "$dhcp_helper" -d -s "$server" "${args[@]}" >"$work/$id.log" 2>&1 &
            ;;
        wire)
            ip netns exec "${b}r" sysctl -qw net.ipv4.ip_forward=1
            for ((i = 0; i < n; i++)); do
                ip -n "${b}r" neigh replace "$(phantom_addr "$i")" lladdr "$(phantom_mac "$i")" \
                    dev "${b}r$i" nud permanent
            done
            relay_pid[$name]=""
            return 0
            ;;
    esac
    relay_pid[$name]=$!
    pids+=("$!")
}

start_relay6() {
    local name=$1 id=$2 n=$3 b="$tag$2" i args=()
    case "$name" in
        kestivane)
            { echo "[servers6]"; printf '%s' "$server6"; for ((i = 0; i < n; i++)); do printf ' %s' "${b}r$i"; done; echo; } \
                >"$work/$id-kestivane.conf"
            ip netns exec "${b}r" "$kestivane" -d -f "$work/$id-kestivane.conf" >"$work/$id.log" 2>&1 &
            ;;
        dhcrelay)
            for ((i = 0; i < n; i++)); do args+=(-l "${b}r$i"); done
            ip netns exec "${b}r" dhcrelay -d -q -6 -pf "$work/$id-dhcrelay.pid" "${args[@]}" -u "$server6%${b}rs" \
                >"$work/$id.log" 2>&1 &
            ;;
        dnsmasq)
            for ((i = 0; i < n; i++)); do
                args+=("--interface=${b}r$i" "--dhcp-relay=$(relay6_addr "$i"),$server6")
            done
            ip netns exec "${b}r" dnsmasq -k -C /dev/null --port=0 --pid-file="$work/$id-dnsmasq.pid" \
                --log-facility="$work/$id.log" "${args[@]}" >>"$work/$id.log" 2>&1 &
            ;;
        wide)
            for ((i = 0; i < n; i++)); do args+=("${b}r$i"); done
            ip netns exec "${b}r" dhcp6relay -f -s "$server6" -r "${b}rs" -p "$work/$id-wide.pid" "${args[@]}" \
                >"$work/$id.log" 2>&1 &
            ;;
    esac
    relay_pid[$name]=$!
    pids+=("$!")
}

stop_relay() {
    local name=$1 p=${relay_pid[$1]:-}
    [ -n "$p" ] || return 0
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
    relay_pid[$name]=""
}

# The generator's interface arguments for a topology.
loadgen_ifaces() {
    local name=$1 id=$2 n=$3 b="$tag$2" i mac
    for ((i = 0; i < n; i++)); do
        if [ "$name" = wire ]; then
            mac=$(ip -n "${b}r" -br link show "${b}r$i" | awk '{print $3}')
            printf -- '--iface %s,%s,%s,%s ' "${b}c$i" "$mac" "$(sender_addr "$i")" "$(phantom_addr "$i")"
        else
            printf -- '--iface %s ' "${b}c$i"
        fi
    done
    [ "$name" = wire ] && printf -- '--server %s ' "$server"
    [ "$v6" = 1 ] && printf -- '--v6 --v6-clients %s ' "$v6_clients"
    return 0
}

# CPU ticks (user + system, all threads) and peak resident KiB of a pid.
cpu_ticks() {
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || { echo 0; return; }
    sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}
# CPU nanoseconds of a pid, all threads (the scheduler's own sums: a tick is
# too coarse for an idle relay).
cpu_ns() {
    [ -n "$1" ] && [ -d "/proc/$1/task" ] || { echo 0; return; }
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{t += $1} END {printf "%.0f\n", t}'
}
# settle PID: waits until the relay's start-up is over, which with many
# interfaces lasts seconds: until a second costs it under 2 ms (at most 20 s).
settle() {
    local i t0
    for ((i = 0; i < 20; i++)); do
        t0=$(cpu_ns "$1")
        sleep 1
        [ $(($(cpu_ns "$1") - t0)) -lt 2000000 ] && return 0
    done
}
peak_rss() {
    [ -n "$1" ] && [ -r "/proc/$1/status" ] || { echo 0; return; }
    awk '/^VmHWM:/ {print $2}' "/proc/$1/status"
}
# Starts a new peak (VmHWM drops to the current RSS), so that each point
# reports its own peak and not one left by an earlier, heavier point.
reset_peak_rss() {
    [ -n "$1" ] && [ -w "/proc/$1/clear_refs" ] && echo 5 >"/proc/$1/clear_refs" 2>/dev/null || true
}

field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k {print $2; exit}'; }

# run_load NAME RATE SECONDS [extra loadgen options]: one bounded load step;
# prints the generator's line followed by the relay's CPU ticks and peak RSS.
run_load() {
    local name=$1 rate=$2 secs=$3; shift 3
    local id=${code[$name]} pid=${relay_pid[$name]:-} count bound line t0 t1
    count=$(awk -v r="$rate" -v s="$secs" 'BEGIN{c = int(r * s + 0.5); print (c < 1 ? 1 : c)}')
    # The count ends the step; the time bound only stops a generator that
    # cannot keep up.
    bound=$(awk -v s="$secs" 'BEGIN{print s * 1.5 + 1}')
    reset_peak_rss "$pid"
    t0=$(cpu_ticks "$pid")
    local bflag=()
    [ "$broadcast" = 1 ] && [ "$name" != wire ] && bflag=(--broadcast)
    # shellcheck disable=SC2046
    line=$(ip netns exec "$tag${id}c" "$loadgen" $(loadgen_ifaces "$name" "$id" "$load_segments") \
        --rate "$rate" --count "$count" --seconds "$bound" --drain-ms 500 "${bflag[@]}" "$@") || true
    t1=$(cpu_ticks "$pid")
    [ -n "$line" ] || line="sent=0 answered=0 loss_pct=100 error=generator_failed"
    # A relay that ended during the point has no CPU figure for it.
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
        log "$name (pid $pid) is no longer running"
        echo "$line relay_ended=1 rss_kb=0"
        return
    fi
    echo "$line cpu_ticks=$((t1 - t0)) rss_kb=$(peak_rss "$pid")"
}

# A relay is measured only if it answers a short probe: a relay that does
# not relay (or not yet) is reported as such instead of as zero capacity.
probe() {
    local name=$1 try line
    for try in 1 2 3 4 5; do
        line=$(run_load "$name" 500 0.2)
        [ "$(field "$line" answered)" -ge 95 ] 2>/dev/null && return 0
        sleep 0.5
    done
    log "$name: probe answered $(field "$line" answered) of 100 ($(field "$line" bad_reasons))"
    return 1
}

measure_point() { # NAME RATE REP PHASE
    local line
    line=$(run_load "$1" "$2" "$seconds")
    echo "relay=$1 phase=$4 rate=$2 rep=$3 $line" >>"$raw"
}

# Medians over the repetitions of one relay at one rate (the peak for RSS).
median_of() { # NAME RATE KEY
    awk -v n="$1" -v r="$2" -v k="$3" -v tck="$clk_tck" '
        { delete f; for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
        f["relay"] == n && f["rate"] == r && (f["phase"] == "ladder" || f["phase"] == "bisect") {
            if (k == "cpu_us") { if (f["answered"] > 0 && ("cpu_ticks" in f)) print f["cpu_ticks"] * 1e6 / tck / f["answered"] }
            else if (k in f) print f[k]
        }' "$raw" | sort -g | awk -v k="$3" '
        { v[NR] = $1 }
        END {
            if (NR == 0) { print "nan"; exit }
            if (k == "rss_kb") { print v[NR]; exit }
            print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        }'
}

passes() { # NAME RATE: loss under 1 %, median latency under 10 ms, rate really offered
    local loss p50 sent_rate
    loss=$(median_of "$1" "$2" loss_pct) p50=$(median_of "$1" "$2" p50_us) sent_rate=$(median_of "$1" "$2" send_rate)
    awk -v l="$loss" -v p="$p50" -v s="$sent_rate" -v r="$2" \
        'BEGIN{exit !(l != "nan" && l < 1 && p < 10000 && s >= 0.9 * r)}'
}

over_budget() {
    if [ "$SECONDS" -ge "$deadline" ]; then
        [ "$budget_hit" = 1 ] || log "time budget of $max_minutes minutes reached: no further measurements"
        budget_hit=1
        return 0
    fi
    return 1
}

# ---------------------------------------------------------------- run
active=()
for name in "${relay_list[@]}"; do
    if [ "$name" = dhcp-helper ] && ! fetch_dhcp_helper; then
        log "dhcp-helper: could not fetch and unpack its package; skipped"
        status[$name]="not measured: package not available"
        continue
    fi
    if [ "$name" = kestivane ] && [ ! -x "$kestivane" ]; then
        status[$name]="not measured: $kestivane missing"
        continue
    fi
    if [ "$name" = kestivane-nocount ] && [ ! -x "$kestivane_nocount" ]; then
        status[$name]="not measured: $kestivane_nocount missing"
        continue
    fi
    id=${code[$name]}
    build_topology "$id" "$segments"
    listen=(--listen "$server")
    [ "$v6" = 1 ] && listen=(--listen6 "$server6")
    ip netns exec "$tag${id}s" "$responder" "${listen[@]}" --max-seconds $((max_minutes * 60 + 600)) \
        >"$work/$id-responder.log" 2>&1 &
    responder_pid[$name]=$!
    pids+=("$!")
    start_relay "$name" "$id" "$segments"
    active+=("$name")
done
sleep 1
measured=()
for name in "${active[@]}"; do
    if probe "$name"; then
        measured+=("$name")
        status[$name]="measured"
    else
        status[$name]="not measured: no answers through it (log: $(head -c 300 "$work/${code[$name]}.log" | tr '\n' ' '))"
        stop_relay "$name"
    fi
done
for name in "${measured[@]}"; do settle "${relay_pid[$name]:-}"; done
log "measuring: ${measured[*]:-nothing}"

# Ladder: each rate, each repetition, every relay in turn.
for rate in "${ladder[@]}"; do
    for ((rep = 1; rep <= reps; rep++)); do
        for name in "${measured[@]}"; do
            over_budget && break 3
            measure_point "$name" "$rate" "$rep" ladder
        done
    done
done

# Capacity: between the ladder's highest passing rate and the first
# failing rate above it, halve the interval (or double upwards while nothing
# has failed yet), all relays in lockstep. The bracket starts from the
# highest pass, not the lowest failure: on a shared machine a burst of
# someone else's work can fail a low rate, but nothing makes an overloaded
# relay pass.
declare -A lo=() hi=()
for name in "${measured[@]}"; do
    lo[$name]=0 hi[$name]=""
    for rate in $(printf '%s\n' "${ladder[@]}" | sort -n); do
        passes "$name" "$rate" && lo[$name]=$rate
    done
    for rate in $(printf '%s\n' "${ladder[@]}" | sort -n); do
        if [ "$rate" -gt "${lo[$name]}" ] && ! passes "$name" "$rate"; then hi[$name]=$rate; break; fi
    done
done
for ((step = 1; step <= steps; step++)); do
    declare -A mid=()
    for name in "${measured[@]}"; do
        if [ -z "${hi[$name]}" ]; then
            [ "${lo[$name]}" -lt 1000000 ] && mid[$name]=$((lo[$name] * 2))
        elif [ $((hi[$name] - lo[$name])) -gt $((lo[$name] / 32 + 100)) ]; then
            mid[$name]=$(((lo[$name] + hi[$name]) / 2 / 100 * 100))
        fi
    done
    [ ${#mid[@]} -gt 0 ] || break
    for ((rep = 1; rep <= reps; rep++)); do
        for name in "${measured[@]}"; do
            [ -n "${mid[$name]:-}" ] || continue
            over_budget && break 3
            measure_point "$name" "${mid[$name]}" "$rep" bisect
        done
    done
    for name in "${!mid[@]}"; do
        if passes "$name" "${mid[$name]}"; then lo[$name]=${mid[$name]}; else hi[$name]=${mid[$name]}; fi
    done
    unset mid
done

# ---------------------------------------------------------------- storms
# rss_sampler PID FILE: the relay's resident KiB every 0.1 s into FILE, in
# the background (bounded by the relay's life and by 10 minutes); sets
# sampler_pid.
rss_sampler() {
    local p=$1 file=$2
    (
        for ((i = 0; i < 6000; i++)); do
            awk '/^VmRSS:/ {print $2}' "/proc/$p/status" 2>/dev/null || break
            sleep 0.1
        done
    ) >"$file" &
    sampler_pid=$!
    pids+=("$!")
}
sampled_peak() { # FILE PID: the highest sample, or VmHWM when higher
    local s h
    s=$(sort -n "$1" 2>/dev/null | tail -n 1)
    h=$(peak_rss "$2")
    echo $(( ${s:-0} > ${h:-0} ? ${s:-0} : ${h:-0} ))
}

# seg_load NAME SEG RATE COUNT SECONDS XID_BASE: the generator on one
# segment only (rate 0: as fast as it goes, bounded by SECONDS).
seg_load() {
    local name=$1 seg=$2 rate=$3 count=$4 secs=$5 xid=$6 id=${code[$1]}
    ip netns exec "$tag${id}c" "$loadgen" --iface "$tag${id}c$seg" --rate "$rate" --count "$count" \
        --seconds "$secs" --drain-ms 500 --xid-base "$xid" || true
}

# storm_point NAME REP: the storms for one relay, one repetition. Each
# storm's lines go to the raw file with phase=storm_a|storm_b|after_a|after_b
# and seg=, the sampled peak as rss_kb.
storm_point() {
    local name=$1 rep=$2 pid=${relay_pid[$1]:-} line a b rss
    # The generator's maximum on one segment, as a point of the ladder.
    reset_peak_rss "$pid"
    rss_sampler "$pid" "$work/rss.samples"
    line=$(seg_load "$name" 0 0 10000000 "$seconds" 0x41000000)
    kill "$sampler_pid" 2>/dev/null; wait "$sampler_pid" 2>/dev/null || true
    echo "relay=$name phase=max rate=0 rep=$rep seg=0 $line rss_kb=$(sampled_peak "$work/rss.samples" "$pid")" >>"$raw"
    sleep 1

    # (a) one segment at twice the capacity.
    reset_peak_rss "$pid"
    rss_sampler "$pid" "$work/rss.samples"
    line=$(seg_load "$name" 0 "$storm_a_rate" $((storm_a_rate * storm_seconds)) $((storm_seconds * 2)) 0x42000000)
    kill "$sampler_pid" 2>/dev/null; wait "$sampler_pid" 2>/dev/null || true
    echo "relay=$name phase=storm_a rate=$storm_a_rate rep=$rep seg=0 $line rss_kb=$(sampled_peak "$work/rss.samples" "$pid")" >>"$raw"
    line=$(seg_load "$name" 0 1000 2000 5 0x43000000)
    echo "relay=$name phase=after_a rate=1000 rep=$rep seg=0 $line" >>"$raw"
    sleep 1

    # (b) segment 0 at the generator's maximum, segment 1 at 1,000/s.
    reset_peak_rss "$pid"
    rss_sampler "$pid" "$work/rss.samples"
    seg_load "$name" 0 0 10000000 "$storm_seconds" 0x44000000 >"$work/storm_b0" &
    a=$!
    seg_load "$name" 1 1000 $((1000 * storm_seconds)) $((storm_seconds * 2)) 0x45000000 >"$work/storm_b1" &
    b=$!
    wait "$a" "$b" || true
    kill "$sampler_pid" 2>/dev/null; wait "$sampler_pid" 2>/dev/null || true
    rss=$(sampled_peak "$work/rss.samples" "$pid")
    echo "relay=$name phase=storm_b rate=0 rep=$rep seg=0 $(cat "$work/storm_b0") rss_kb=$rss" >>"$raw"
    echo "relay=$name phase=storm_b rate=1000 rep=$rep seg=1 $(cat "$work/storm_b1") rss_kb=$rss" >>"$raw"
    line=$(seg_load "$name" 0 1000 2000 5 0x46000000)
    echo "relay=$name phase=after_b rate=1000 rep=$rep seg=0 $line" >>"$raw"
    sleep 1
}

storm_measured=()
if [ "$storm" = 1 ]; then
    storm_a_rate=${storm_rate:-$((${lo[kestivane]:-0} * 2))}
    [ "$storm_a_rate" -gt 0 ] || storm_a_rate=20000
    for name in "${measured[@]}"; do [ "$name" = wire ] || storm_measured+=("$name"); done
    log "storms: (a) at $storm_a_rate/s, (b) at the generator's maximum, ${storm_seconds}s each"
    for ((rep = 1; rep <= storm_reps; rep++)); do
        for name in "${storm_measured[@]}"; do
            over_budget && break 2
            storm_point "$name" "$rep"
        done
    done
fi

# all_storm_point NAME REP: every segment at once at the generator's maximum,
# then 1,000/s over all of them; phase=storm_all|after_all.
all_storm_point() {
    local name=$1 rep=$2 pid=${relay_pid[$1]:-} id=${code[$1]} line
    reset_peak_rss "$pid"
    rss_sampler "$pid" "$work/rss.samples"
    # shellcheck disable=SC2046
    line=$(ip netns exec "$tag${id}c" "$loadgen" $(loadgen_ifaces "$name" "$id" "$segments") --rate 0 \
        --count 10000000 --seconds "$storm_seconds" --drain-ms 500 --xid-base 0x47000000) || true
    kill "$sampler_pid" 2>/dev/null; wait "$sampler_pid" 2>/dev/null || true
    echo "relay=$name phase=storm_all rate=0 rep=$rep seg=all $line rss_kb=$(sampled_peak "$work/rss.samples" "$pid")" >>"$raw"
    # shellcheck disable=SC2046
    line=$(ip netns exec "$tag${id}c" "$loadgen" $(loadgen_ifaces "$name" "$id" "$segments") --rate 1000 \
        --count 2000 --seconds 5 --drain-ms 500 --xid-base 0x48000000) || true
    echo "relay=$name phase=after_all rate=1000 rep=$rep seg=all $line" >>"$raw"
    sleep 1
}

if [ "$storm_all" = 1 ]; then
    log "storm on all ${segments} segments at the generator's maximum, ${storm_seconds}s"
    for ((rep = 1; rep <= storm_reps; rep++)); do
        for name in "${measured[@]}"; do
            [ "$name" = wire ] && continue
            over_budget && break 2
            all_storm_point "$name" "$rep"
        done
    done
fi

# Idle cost: each relay with --idle-segments interfaces and no traffic, one
# at a time.
declare -A idle_pct=() idle_rss=()
if [ "$idle_seconds" -gt 0 ]; then
    saved_segments=$segments saved_bits=$bits saved_block=$block saved_prefix=$prefix
    segments=$idle_segments
    set_blocks "$segments"
    build_topology x "$segments"
    for name in "${measured[@]}"; do
        [ "$name" = wire ] && continue
        over_budget && break
        saved_pid=${relay_pid[$name]}
        start_relay "$name" x "$segments"
        p=${relay_pid[$name]}
        settle "$p"
        t0=$(cpu_ns "$p")
        sleep "$idle_seconds"
        t1=$(cpu_ns "$p")
        idle_pct[$name]=$(awk -v d=$((t1 - t0)) -v s="$idle_seconds" 'BEGIN{printf "%.3f", d / 1e9 / s * 100}')
        idle_rss[$name]=$(peak_rss "$p")
        stop_relay "$name"
        relay_pid[$name]=$saved_pid
    done
    segments=$saved_segments bits=$saved_bits block=$saved_block prefix=$saved_prefix
fi

# ---------------------------------------------------------------- report
fmt() { awk -v v="$1" -v d="$2" -v s="${3:-1}" 'BEGIN{ if (v == "nan" || v == "") print "–"; else printf "%.*f", d, v / s }'; }


# median_where KEY FILTER...: the median of KEY over the raw lines that
# match every FILTER (key=value); rss_kb gives the highest instead.
median_where() {
    local key=$1
    shift
    awk -v k="$key" -v filters="$*" '
        BEGIN { n = split(filters, fl, " ") }
        { delete f; for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
          for (j = 1; j <= n; j++) { split(fl[j], kv, "="); if (f[kv[1]] != kv[2]) next }
          if (k in f) print f[k] }' "$raw" | sort -g | awk -v k="$key" '
        { v[NR] = $1 }
        END {
            if (NR == 0) { print "nan"; exit }
            if (k == "rss_kb") { print v[NR]; exit }
            print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        }'
}

# The ladder chart: answered/s and p99 against the offered rate, one line
# per relay, the generator's maximum as the last point (at the rate it
# really sent).
svg="$out/ladder-$stamp.svg"
if [ "$storm" = 1 ] && command -v gnuplot >/dev/null; then
    plots1=() plots2=()
    for name in "${storm_measured[@]}"; do
        data="$work/ladder-$name.dat"
        : >"$data"
        for rate in $(awk -v n="$name" '{for (i = 1; i <= NF; i++) {split($i, kv, "="); f[kv[1]] = kv[2]}
                      if (f["relay"] == n && (f["phase"] == "ladder" || f["phase"] == "bisect")) print f["rate"]}' "$raw" | sort -n | uniq); do
            echo "$rate $(median_of "$name" "$rate" answered_rate) $(median_of "$name" "$rate" p99_us)" >>"$data"
        done
        echo "$(median_where send_rate relay="$name" phase=max) $(median_where answered_rate relay="$name" phase=max)" \
            "$(median_where p99_us relay="$name" phase=max)" >>"$data"
        plots1+=("'$data' using 1:2 with linespoints title '$name'")
        plots2+=("'$data' using 1:(\$3/1000) with linespoints title '$name'")
    done
    (IFS=,; gnuplot <<GP
set terminal svg size 900,800 dynamic font "sans,12"
set output '$svg'
set multiplot layout 2,1 title "Relays on one segment: offered load up to the generator's maximum (medians of $reps)"
set logscale x
set grid
set key left top
set xlabel "offered requests/s"
set ylabel "answered/s"
plot ${plots1[*]}
set logscale y
set ylabel "p99 latency of answered requests, ms"
plot ${plots2[*]}
unset multiplot
GP
    ) || log "gnuplot failed; no chart"
fi

best_peer="" best_cap=0
for name in "${measured[@]}"; do
    case "$name" in kestivane|kestivane-nocount|wire) continue ;; esac
    if [ "${lo[$name]}" -gt "$best_cap" ]; then best_cap=${lo[$name]} best_peer=$name; fi
done
wire_cap=${lo[wire]:-0}

{
    echo "# kestivane relay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo
    echo "- Machine: $(nproc) CPUs ($(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)), kernel $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
    [ "$v6" = 1 ] && echo "- DHCPv6: Solicits from ${v6_clients} made-up link-local clients to ff02::1:2, Advertises back; relays in their DHCPv6 mode"
    echo "- Run: ${segments} client segment(s), ${reps} repetition(s) of ${seconds} s per point, $([ "$broadcast" = 1 ] && echo "broadcast" || echo "unicast") answers, ladder ${rates}, ${steps} bisection step(s)"
    [ -n "$queue_limit" ] && echo "- kestivane ran with queue_limit=$queue_limit."
    echo "- Capacity: the highest offered rate whose median loss is under 1 % and median latency under 10 ms (and that the generator really offered)."
    echo "- Latency: from just before the request's send call to the kernel's receive timestamp of the answer frame."
    echo "- CPU: user + system time of the relay process (all threads) per answered request; RSS: peak resident size (VmHWM) during the point (reset before each), the highest of the repetitions."
    for name in "${relay_list[@]}"; do
        [ "${status[$name]:-}" = measured ] || echo "- ${name}: ${status[$name]:-not measured}"
    done
    [ "$budget_hit" = 1 ] && echo "- The time budget (${max_minutes} min) ended the run early: some points are missing."
    echo
    echo "## Capacity"
    echo
    echo "| relay | capacity (req/s) | × best peer | % of wire | answered/s | p50 ms | p99 ms | CPU µs/answer | peak RSS KiB | idle CPU % ($idle_segments ifaces) |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for name in "${measured[@]}"; do
        c=${lo[$name]}
        ratio="–" pct="–"
        [ "$best_cap" -gt 0 ] && [ "$name" != wire ] && ratio=$(awk -v a="$c" -v b="$best_cap" 'BEGIN{printf "%.2f", a / b}')
        [ "$wire_cap" -gt 0 ] && [ "$name" != wire ] && pct=$(awk -v a="$c" -v b="$wire_cap" 'BEGIN{printf "%.0f", 100 * a / b}')
        if [ "$c" -gt 0 ]; then
            echo "| $name | $c | $ratio | $pct | $(fmt "$(median_of "$name" "$c" answered_rate)" 0) |" \
                "$(fmt "$(median_of "$name" "$c" p50_us)" 2 1000) | $(fmt "$(median_of "$name" "$c" p99_us)" 2 1000) |" \
                "$([ "$name" = wire ] && echo "–" || fmt "$(median_of "$name" "$c" cpu_us)" 1) |" \
                "$([ "$name" = wire ] && echo "–" || median_of "$name" "$c" rss_kb) | ${idle_pct[$name]:-–} |"
        else
            echo "| $name | below ${ladder[0]} | – | – | – | – | – | – | – | ${idle_pct[$name]:-–} |"
        fi
    done
    echo
    echo "Best peer: ${best_peer:-none measured} (${best_cap} req/s). Wire limit (kernel forwarding, no relay): ${wire_cap} req/s."
    echo
    echo "## Every point (medians of the repetitions)"
    echo
    echo "| relay | offered/s | answered/s | loss % | p50 ms | p99 ms | CPU µs/answer | RSS KiB | reps |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for name in "${measured[@]}"; do
        for rate in $(awk -v n="$name" '{for (i = 1; i <= NF; i++) {split($i, kv, "="); f[kv[1]] = kv[2]} if (f["relay"] == n && f["phase"] != "max" && f["phase"] !~ /^(storm|after)/) print f["rate"]}' "$raw" | sort -n | uniq); do
            n=$(grep -cE "^relay=$name phase=(ladder|bisect) rate=$rate " "$raw" || true)
            echo "| $name | $rate | $(fmt "$(median_of "$name" "$rate" answered_rate)" 0) |" \
                "$(fmt "$(median_of "$name" "$rate" loss_pct)" 2) | $(fmt "$(median_of "$name" "$rate" p50_us)" 2 1000) |" \
                "$(fmt "$(median_of "$name" "$rate" p99_us)" 2 1000) |" \
                "$([ "$name" = wire ] && echo "–" || fmt "$(median_of "$name" "$rate" cpu_us)" 1) |" \
                "$([ "$name" = wire ] && echo "–" || median_of "$name" "$rate" rss_kb) | $n |"
        done
    done
    if [ "$storm" = 1 ] && [ ${#storm_measured[@]} -gt 0 ]; then
        echo
        echo "## Storms (medians of ${storm_reps} repetitions; peak RSS sampled every 0.1 s, the highest)"
        echo
        echo "(a) one segment at ${storm_a_rate}/s for ${storm_seconds} s; (b) segment 1 at the generator's maximum for ${storm_seconds} s while segment 2 sends 1,000/s; after each, 2,000 requests at 1,000/s on segment 1. \"max\": one segment at the generator's maximum for ${seconds} s."
        echo
        echo "| relay | scenario | segment | offered/s | answered/s | loss % | p50 ms | p99 ms | peak RSS KiB |"
        echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
        for name in "${storm_measured[@]}"; do
            for row in "max 0" "storm_a 0" "after_a 0" "storm_b 0" "storm_b 1" "after_b 0"; do
                set -- $row
                f=(relay="$name" phase="$1" seg="$2")
                [ "$(median_where sent "${f[@]}")" = nan ] && continue
                echo "| $name | $1 | $(($2 + 1)) | $(fmt "$(median_where send_rate "${f[@]}")" 0) |" \
                    "$(fmt "$(median_where answered_rate "${f[@]}")" 0) | $(fmt "$(median_where loss_pct "${f[@]}")" 2) |" \
                    "$(fmt "$(median_where p50_us "${f[@]}")" 2 1000) | $(fmt "$(median_where p99_us "${f[@]}")" 2 1000) |" \
                    "$(case $1 in after_*) echo "–" ;; *) median_where rss_kb "${f[@]}" ;; esac) |"
            done
        done
        [ -f "$svg" ] && { echo; echo "Chart: $(basename "$svg")"; }
    fi
    if [ "$storm_all" = 1 ]; then
        echo
        echo "## Storm on every segment (medians of ${storm_reps} repetitions; peak RSS sampled every 0.1 s, the highest)"
        echo
        echo "All ${segments} segments at once at the generator's maximum for ${storm_seconds} s (round robin), then 2,000 requests at 1,000/s over all of them."
        echo
        echo "| relay | scenario | offered/s | answered/s | loss % | p50 ms | p99 ms | peak RSS KiB |"
        echo "|---|---|---:|---:|---:|---:|---:|---:|"
        for name in "${measured[@]}"; do
            for ph in storm_all after_all; do
                f=(relay="$name" phase="$ph")
                [ "$(median_where sent "${f[@]}")" = nan ] && continue
                echo "| $name | $ph | $(fmt "$(median_where send_rate "${f[@]}")" 0) |" \
                    "$(fmt "$(median_where answered_rate "${f[@]}")" 0) | $(fmt "$(median_where loss_pct "${f[@]}")" 2) |" \
                    "$(fmt "$(median_where p50_us "${f[@]}")" 2 1000) | $(fmt "$(median_where p99_us "${f[@]}")" 2 1000) |" \
                    "$([ "$ph" = after_all ] && echo "–" || median_where rss_kb "${f[@]}") |"
            done
        done
    fi
    # Answers that were wrong, not merely missing, are named here.
    faults=$(awk '{for (i = 1; i <= NF; i++) if ($i ~ /^bad_reasons=/ && $i != "bad_reasons=none") print $1, $i}' "$raw" | sort | uniq -c)
    if [ -n "$faults" ]; then
        echo
        echo "## Malformed answers"
        echo
        echo '```'
        echo "$faults"
        echo '```'
    fi
    echo
    echo "Raw points: $(basename "$raw")"
} >"$report"

cat "$report"
