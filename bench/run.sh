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
  --segments N       client segments per relay, 1 to 8 (default 1)
  --relays LIST      comma-separated, from kestivane,dhcrelay,dnsmasq,dhcp-helper,wire,
                     kestivane-nocount (default: all but kestivane-nocount)
  --rates LIST       comma-separated ladder of offered rates, requests/s
                     (default 2000,5000,10000,20000,40000,80000)
  --steps N          bisection steps for the capacity, 0 for none (default 5)
  --idle-seconds S   idle measurement per relay, 0 for none (default 10)
  --broadcast        clients set the broadcast flag (answers are broadcast)
  --build DIR        build folder (default: <source>/build)
  --no-build         use the tools already built there
  --kestivane PATH   the relay executable (default: <build>/kestivane)
  --kestivane-nocount PATH  the relay built without counting
                     (default: <build>-nocount/kestivane, built when missing)
  --out DIR          report folder (default: <source>/bench/out)
  --max-minutes M    stop starting new measurements after M minutes (default 40)
EOF
    exit "${1:-2}"
}

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
reps=3 seconds=3 segments=1 steps=5 idle_seconds=10 broadcast=0 max_minutes=40 do_build=1
relays="kestivane,dhcrelay,dnsmasq,dhcp-helper,wire"
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
        --broadcast) broadcast=1 ;;
        --build) build=$2; shift ;;
        --no-build) do_build=0 ;;
        --kestivane) kestivane=$2; shift ;;
        --kestivane-nocount) kestivane_nocount=$2; shift ;;
        --out) out=$2; shift ;;
        --max-minutes) max_minutes=$2; shift ;;
        -h|--help) usage 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage ;;
    esac
    shift
done

is_uint() { [[ $1 =~ ^[0-9]+$ ]]; }
is_uint "$reps" && [ "$reps" -ge 1 ] && [ "$reps" -le 20 ] || { echo "run.sh: --reps 1 to 20" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] && awk -v s="$seconds" 'BEGIN{exit !(s>0 && s<=60)}' ||
    { echo "run.sh: --seconds above 0, at most 60" >&2; exit 2; }
is_uint "$segments" && [ "$segments" -ge 1 ] && [ "$segments" -le 8 ] || { echo "run.sh: --segments 1 to 8" >&2; exit 2; }
is_uint "$steps" && [ "$steps" -le 12 ] || { echo "run.sh: --steps 0 to 12" >&2; exit 2; }
is_uint "$idle_seconds" && [ "$idle_seconds" -le 120 ] || { echo "run.sh: --idle-seconds 0 to 120" >&2; exit 2; }
is_uint "$max_minutes" && [ "$max_minutes" -ge 1 ] || { echo "run.sh: --max-minutes at least 1" >&2; exit 2; }
IFS=, read -r -a ladder <<<"$rates"
for r in "${ladder[@]}"; do
    is_uint "$r" && [ "$r" -ge 1 ] && [ "$r" -le 2000000 ] || { echo "run.sh: rates are 1 to 2000000" >&2; exit 2; }
done
IFS=, read -r -a relay_list <<<"$relays"
declare -A code=([kestivane]=k [dhcrelay]=i [dnsmasq]=d [dhcp-helper]=h [wire]=w [kestivane-nocount]=n)
for r in "${relay_list[@]}"; do
    [ -n "${code[$r]:-}" ] || { echo "run.sh: unknown relay $r" >&2; exit 2; }
done

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
# neighbour the last but one (the responder never offers those).
bits=0; while [ $((1 << bits)) -lt "$segments" ]; do bits=$((bits + 1)); done
block=$((256 >> bits)) prefix=$((24 + bits))
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
}

# start_relay NAME ID NSEG: starts NAME in namespace ${tag}${ID}r and records
# its pid (the command runs in place of ip netns exec, so $! is its pid).
start_relay() {
    local name=$1 id=$2 n=$3 b="$tag$2" i args=()
    case "$name" in
        kestivane|kestivane-nocount)
            local exe=$kestivane
            [ "$name" = kestivane-nocount ] && exe=$kestivane_nocount
            for ((i = 0; i < n; i++)); do args+=(-i "${b}r$i"); done
            ip netns exec "${b}r" "$exe" -d "${args[@]}" "$server" >"$work/$id.log" 2>&1 &
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
    return 0
}

# CPU ticks (user + system, all threads) and peak resident KiB of a pid.
cpu_ticks() {
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || { echo 0; return; }
    sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
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
    line=$(ip netns exec "$tag${id}c" "$loadgen" $(loadgen_ifaces "$name" "$id" "$segments") \
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
        f["relay"] == n && f["rate"] == r {
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
    ip netns exec "$tag${id}s" "$responder" --listen "$server" --max-seconds $((max_minutes * 60 + 600)) \
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

# Idle cost: each relay with four interfaces and no traffic, one at a time.
declare -A idle_pct=() idle_rss=()
if [ "$idle_seconds" -gt 0 ]; then
    saved_segments=$segments saved_bits=$bits saved_block=$block saved_prefix=$prefix
    segments=4 bits=2 block=64 prefix=26
    build_topology x 4
    for name in "${measured[@]}"; do
        [ "$name" = wire ] && continue
        over_budget && break
        saved_pid=${relay_pid[$name]}
        start_relay "$name" x 4
        sleep 1 # start-up is not idle time
        p=${relay_pid[$name]}
        t0=$(cpu_ticks "$p")
        sleep "$idle_seconds"
        t1=$(cpu_ticks "$p")
        idle_pct[$name]=$(awk -v d=$((t1 - t0)) -v t="$clk_tck" -v s="$idle_seconds" 'BEGIN{printf "%.2f", d / t / s * 100}')
        idle_rss[$name]=$(peak_rss "$p")
        stop_relay "$name"
        relay_pid[$name]=$saved_pid
    done
    segments=$saved_segments bits=$saved_bits block=$saved_block prefix=$saved_prefix
fi

# ---------------------------------------------------------------- report
fmt() { awk -v v="$1" -v d="$2" -v s="${3:-1}" 'BEGIN{ if (v == "nan" || v == "") print "–"; else printf "%.*f", d, v / s }'; }

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
    echo "- Run: ${segments} client segment(s), ${reps} repetition(s) of ${seconds} s per point, $([ "$broadcast" = 1 ] && echo "broadcast" || echo "unicast") answers, ladder ${rates}, ${steps} bisection step(s)"
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
    echo "| relay | capacity (req/s) | × best peer | % of wire | answered/s | p50 ms | p99 ms | CPU µs/answer | peak RSS KiB | idle CPU % (4 ifaces) |"
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
        for rate in $(awk -v n="$name" '{for (i = 1; i <= NF; i++) {split($i, kv, "="); f[kv[1]] = kv[2]} if (f["relay"] == n) print f["rate"]}' "$raw" | sort -n | uniq); do
            n=$(grep -c "^relay=$name .* rate=$rate " "$raw" || true)
            echo "| $name | $rate | $(fmt "$(median_of "$name" "$rate" answered_rate)" 0) |" \
                "$(fmt "$(median_of "$name" "$rate" loss_pct)" 2) | $(fmt "$(median_of "$name" "$rate" p50_us)" 2 1000) |" \
                "$(fmt "$(median_of "$name" "$rate" p99_us)" 2 1000) |" \
                "$([ "$name" = wire ] && echo "–" || fmt "$(median_of "$name" "$rate" cpu_us)" 1) |" \
                "$([ "$name" = wire ] && echo "–" || median_of "$name" "$rate" rss_kb) | $n |"
        done
    done
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
