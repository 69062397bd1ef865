#!/usr/bin/env bash
# Where a DHCPv4 request and its answer go inside a relay: counts that the
# load of a shared machine does not change. One client segment, the
# responder as the server, one bounded load step at a fixed rate, and while
# it runs, per thread of the relay:
#   - every system call made (the raw_syscalls tracepoint) and the calls of
#     the packet path by name (syscalls:sys_enter_* tracepoints), counted by
#     perf stat: exact counts, no ptrace, no lost events;
#   - task switches (perf's context-switches event, and the kernel's own
#     voluntary/nonvoluntary counts in /proc/<pid>/task/*/status);
# or, with --callgrind, the relay runs under valgrind's callgrind and the
# instructions of the step are dumped by function (the counters are zeroed
# just before it). Figures are per answered request (the generator's count).
#
# Times are not reported: on a shared machine only ratios of one run mean
# anything, and those come from bench/run.sh.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/profile.sh [options]
  --relay NAME       kestivane (default), dnsmasq or dhcp-helper
  --rate R           offered requests/s (default 1000)
  --seconds S        sending time (default 3)
  --segments N       client segments, 1 to 64 (default 1; above 1 kestivane only), the
                     requests round robin over them
  --callgrind        instructions by function instead of system calls
  --record           instead of counting, sample where the relay's processor time goes
                     (perf record on the cpu-clock event, kernel and user, with call chains);
                     shares of one run only
  --event E          the event --record samples (default cpu-clock); e.g.
                     syscalls:sys_enter_futex to see who waits on a lock, by call chain
  --build DIR        build folder with kestivane and bench/ (default: <source>/build)
  --kestivane PATH   the relay executable (default: <build>/kestivane)
  --dhcp-helper PATH the dhcp-helper executable (default: unpacked into <build>/bench/dhcp-helper)
  --out DIR          where the raw files go (default: a new folder under /tmp)
EOF
    exit "${1:-2}"
}

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
relay=kestivane rate=1000 seconds=3 segments=1 event=cpu-clock callgrind=0 record=0 build="$root/build" dhcp_helper="" out="" kestivane=""
while [ $# -gt 0 ]; do
    case "$1" in
        --relay) relay=$2; shift ;;
        --rate) rate=$2; shift ;;
        --seconds) seconds=$2; shift ;;
        --segments) segments=$2; shift ;;
        --callgrind) callgrind=1 ;;
        --record) record=1 ;;
        --event) event=$2; shift ;;
        --build) build=$2; shift ;;
        --kestivane) kestivane=$2; shift ;;
        --dhcp-helper) dhcp_helper=$2; shift ;;
        --out) out=$2; shift ;;
        -h|--help) usage 0 ;;
        *) echo "profile.sh: unknown option $1" >&2; usage ;;
    esac
    shift
done
[[ $rate =~ ^[0-9]+$ ]] && [ "$rate" -ge 1 ] && [ "$rate" -le 500000 ] || { echo "profile.sh: --rate 1 to 500000" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ] && [ "$seconds" -le 30 ] || { echo "profile.sh: --seconds 1 to 30" >&2; exit 2; }
[[ $segments =~ ^[0-9]+$ ]] && [ "$segments" -ge 1 ] && [ "$segments" -le 64 ] || { echo "profile.sh: --segments 1 to 64" >&2; exit 2; }
[ "$segments" = 1 ] || [ "$relay" = kestivane ] || { echo "profile.sh: several segments only with kestivane" >&2; exit 2; }
case "$relay" in kestivane|dnsmasq|dhcp-helper) ;; *) echo "profile.sh: unknown relay $relay" >&2; exit 2 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "profile.sh: needs root (network namespaces)" >&2; exit 1; }
kestivane=${kestivane:-$build/kestivane}
loadgen="$build/bench/loadgen" responder="$build/bench/responder"
for f in "$loadgen" "$responder"; do [ -x "$f" ] || { echo "profile.sh: $f is missing" >&2; exit 1; }; done
if [ "$relay" = dhcp-helper ]; then
    dhcp_helper=${dhcp_helper:-$build/bench/dhcp-helper/usr/sbin/dhcp-helper}
    [ -x "$dhcp_helper" ] || { echo "profile.sh: $dhcp_helper is missing (bench/run.sh unpacks it)" >&2; exit 1; }
fi

t="kp$$"
work=$(mktemp -d "/tmp/kestivane-profile.$$.XXXXXX")
out=${out:-$work/out}
mkdir -p "$out"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    for p in c r s; do ip netns del "$t$p" 2>/dev/null || true; done
    [ "$out" = "$work/out" ] && echo "profile.sh: raw files were in $out (removed)" >&2
    rm -rf "$work"
}
trap cleanup EXIT

for p in c r s; do ip netns add "$t$p"; ip -n "$t$p" link set lo up; done
# Segment i of n: an equal block of 198.51.100.0/24, the relay on its first
# host (as bench/run.sh lays them out).
bits=0; while [ $((1 << bits)) -lt "$segments" ]; do bits=$((bits + 1)); done
block=$((256 >> bits))
relay_ifaces=() gen_ifaces=()
for ((i = 0; i < segments; i++)); do
    ip link add "${t}c$i" netns "${t}c" type veth peer name "${t}r$i" netns "${t}r"
    ip -n "${t}c" link set "${t}c$i" up
    ip -n "${t}r" addr add "198.51.100.$((block * i + 1))/$((24 + bits))" dev "${t}r$i"
    ip -n "${t}r" link set "${t}r$i" up
    relay_ifaces+=(-i "${t}r$i") gen_ifaces+=(--iface "${t}c$i")
done
ip link add "${t}rs" netns "${t}r" type veth peer name "${t}s0" netns "${t}s"
ip -n "${t}r" addr add 203.0.113.1/24 dev "${t}rs"
ip -n "${t}r" link set "${t}rs" up
ip -n "${t}s" addr add 203.0.113.2/24 dev "${t}s0"
ip -n "${t}s" link set "${t}s0" up
ip -n "${t}s" route add 198.51.100.0/24 via 203.0.113.1

ip netns exec "${t}s" "$responder" --listen 203.0.113.2 --max-seconds 600 >"$work/responder.out" 2>&1 &
pids+=("$!")
wrap=()
[ "$callgrind" = 1 ] && wrap=(valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out.%p")
case "$relay" in
    kestivane)
        ip netns exec "${t}r" "${wrap[@]}" "$kestivane" -d "${relay_ifaces[@]}" 203.0.113.2 >"$out/relay.log" 2>&1 & ;;
    dnsmasq)
        ip netns exec "${t}r" "${wrap[@]}" dnsmasq -k -C /dev/null --port=0 --pid-file="$work/dnsmasq.pid" \
            --interface="${t}r0" --dhcp-relay=198.51.100.1,203.0.113.2 >"$out/relay.log" 2>&1 & ;;
    dhcp-helper)
        ip netns exec "${t}r" "${wrap[@]}" "$dhcp_helper" -d -s 203.0.113.2 -i "${t}r0" >"$out/relay.log" 2>&1 & ;;
esac
relay_pid=$!
pids+=("$relay_pid")

gen() { ip netns exec "${t}c" "$loadgen" "${gen_ifaces[@]}" --drain-ms 1000 "$@"; }
up=0 probe=$((segments > 4 ? segments : 4))
for try in $(seq 1 40); do
    line=$(gen --rate 100 --count "$probe" --seconds 2 --xid-base $((0x10000000 + try * 128))) || true
    case " $line " in *" answered=$probe "*) up=1; break ;; esac
    sleep 0.5
done
[ "$up" = 1 ] || { echo "profile.sh: no answer through $relay"; cat "$out/relay.log"; exit 1; }

# The relay's own threads (under valgrind, the process is valgrind's).
switches() { # one line per thread: tid name voluntary nonvoluntary
    local task
    for task in /proc/"$relay_pid"/task/*; do
        printf '%s %s %s %s\n' "${task##*/}" "$(cat "$task/comm")" \
            "$(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status")" \
            "$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$task/status")"
    done
}

count=$((rate * seconds))
bound=$((seconds * 3 / 2 + 2))
events="raw_syscalls:sys_enter,context-switches,task-clock"
for call in recvfrom recvmsg recvmmsg read poll ppoll select pselect6 epoll_wait sendto sendmsg sendmmsg write \
    futex clock_gettime nanosleep clock_nanosleep ioctl getsockopt setsockopt sched_yield; do
    events+=",syscalls:sys_enter_$call"
done
switches >"$out/switches.before"
if [ "$callgrind" = 1 ]; then
    callgrind_control --zero "$relay_pid" >/dev/null
    line=$(gen --rate "$rate" --count "$count" --seconds "$bound" --xid-base 0x20000000) || true
    callgrind_control --dump=step "$relay_pid" >/dev/null
elif [ "$record" = 1 ]; then
    if [ "$event" = cpu-clock ]; then sampling=(-F 20000); else sampling=(-c 1); fi
    perf record -q -e "$event" "${sampling[@]}" -g -p "$relay_pid" -o "$out/perf.data" 2>/dev/null &
    perf_pid=$!
    sleep 0.5
    line=$(gen --rate "$rate" --count "$count" --seconds "$bound" --xid-base 0x20000000) || true
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
else
    perf stat --per-thread -x, -e "$events" -p "$relay_pid" -o "$out/perf.csv" &
    perf_pid=$!
    sleep 0.5
    line=$(gen --rate "$rate" --count "$count" --seconds "$bound" --xid-base 0x20000000) || true
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
fi
switches >"$out/switches.after"
echo "$line" >"$out/loadgen.line"
answered=$(tr ' ' '\n' <<<"$line" | awk -F= '$1 == "answered" {print $2}')
echo "relay=$relay rate=$rate segments=$segments $line"
[ "${answered:-0}" -gt 0 ] || { echo "profile.sh: nothing answered"; exit 1; }

echo "task switches per answer (kernel counts over the step and the 0.5 s before it), by thread id (main: pid $relay_pid):"
join <(sort "$out/switches.before") <(sort "$out/switches.after") |
    awk -v a="$answered" -v main="$relay_pid" '{printf "  %-8s%-6s voluntary %.3f  nonvoluntary %.3f\n", $1, ($1 == main ? " main" : ""), ($6 - $3) / a, ($7 - $4) / a}'
if [ "$callgrind" = 1 ]; then
    f=$(ls -t "$out"/callgrind.out.* 2>/dev/null | head -1)
    [ -n "$f" ] || { echo "profile.sh: no callgrind dump"; exit 1; }
    total=$(awk '/^summary:/ {print $2} /^totals:/ {print $2}' "$f" | head -1)
    echo "instructions per answer: $(awk -v t="$total" -v a="$answered" 'BEGIN{printf "%.0f", t / a}') (file $f)"
    callgrind_annotate --threshold=100 "$f" 2>/dev/null | sed -n '/file:function/,$p' | head -60 >"$out/functions.txt" || true
    echo "by function (self cost, with the callers' shares on top): $out/functions.txt"
elif [ "$record" = 1 ]; then
    perf report -i "$out/perf.data" --no-children --sort dso --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -15
    perf report -i "$out/perf.data" --no-children --sort sym --stdio -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -40 >"$out/symbols.txt"
    echo "by symbol: $out/symbols.txt"
else
    echo "system calls per answer, by thread (perf stat):"
    # perf's CSV: thread-tid,count,unit,event,...
    awk -F, -v a="$answered" '
        /^#/ || NF < 4 { next }
        $4 == "task-clock" { cpu += $2; next }
        $2 ~ /^[0-9]+$/ && $2 > 0 { sub(/^syscalls:sys_enter_/, "", $4); sub(/^raw_syscalls:sys_enter$/, "ALL", $4);
            printf "  %-22s %-16s %.3f\n", $1, $4, $2 / a }
        END { printf "  %-22s %-16s %.1f (a time: compare only within one run)\n", "all threads", "CPU us", cpu * 1000 / a }' "$out/perf.csv" | sort
fi
