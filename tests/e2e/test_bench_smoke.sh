#!/usr/bin/env bash
# The benchmark's tools against the real relay, for correctness only: a few
# thousand DISCOVERs at a low rate through kestivane on two client segments,
# unicast and broadcast answers. Every request must get exactly one answer,
# well formed (addressing, both checksums, xid, chaddr, yiaddr, flags, the
# segment it was asked on), and the server must see each request once. No
# speed is asserted: the rate is low and late answers are waited for.
#
# BENCH_SMOKE_RELAY=dhcrelay runs the same checks through ISC dhcrelay, to
# tell a fault of the tools from a fault of the relay (dhcrelay sends about
# one answer in 65536 with a UDP checksum of 0, which the generator rejects).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root for network namespaces"
    exit 77
fi
build=${KESTIVANE_BUILD_DIR:?KESTIVANE_BUILD_DIR is not set}
relay_bin=${KESTIVANE:-$build/kestivane}
relay=${BENCH_SMOKE_RELAY:-kestivane}
loadgen="$build/bench/loadgen"
responder="$build/bench/responder"
for f in "$loadgen" "$responder"; do
    [ -x "$f" ] || { echo "FAIL: $f is not built"; exit 1; }
done

t="kbs$$"
work=$(mktemp -d "/tmp/kestivane-bench-smoke.$$.XXXXXX")
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    for p in c r s; do ip netns del "$t$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Two client segments (198.51.100.0/25 and .128/25) and the server segment.
for p in c r s; do ip netns add "$t$p"; ip -n "$t$p" link set lo up; done
for i in 0 1; do
    ip link add "${t}c$i" netns "${t}c" type veth peer name "${t}r$i" netns "${t}r"
    ip -n "${t}c" link set "${t}c$i" up
    ip -n "${t}r" addr add "198.51.100.$((128 * i + 1))/25" dev "${t}r$i"
    ip -n "${t}r" link set "${t}r$i" up
done
ip link add "${t}rs" netns "${t}r" type veth peer name "${t}s0" netns "${t}s"
ip -n "${t}r" addr add 203.0.113.1/24 dev "${t}rs"
ip -n "${t}r" link set "${t}rs" up
ip -n "${t}s" addr add 203.0.113.2/24 dev "${t}s0"
ip -n "${t}s" link set "${t}s0" up
ip -n "${t}s" route add 198.51.100.0/24 via 203.0.113.1

ip netns exec "${t}s" "$responder" --listen 203.0.113.2 --max-seconds 120 >"$work/responder.out" 2>&1 &
responder_pid=$!
pids+=("$responder_pid")
case "$relay" in
    kestivane)
        ip netns exec "${t}r" "$relay_bin" -d -i "${t}r0" -i "${t}r1" 203.0.113.2 >"$work/relay.log" 2>&1 & ;;
    dhcrelay)
        ip netns exec "${t}r" dhcrelay -d -q -4 -pf "$work/dhcrelay.pid" -i "${t}r0" -i "${t}r1" -i "${t}rs" \
            203.0.113.2 >"$work/relay.log" 2>&1 & ;;
    *) echo "FAIL: unknown BENCH_SMOKE_RELAY $relay"; exit 1 ;;
esac
pids+=("$!")

gen() { ip netns exec "${t}c" "$loadgen" --iface "${t}c0" --iface "${t}c1" --drain-ms 3000 "$@"; }

# The relay is up once a whole probe comes back; give it a few tries.
up=0
for try in 1 2 3 4 5 6 7 8 9 10; do
    probe=$(gen --rate 100 --count 4 --seconds 2 --drain-ms 1000 --xid-base $((0x10000000 + try * 16))) || true
    case " $probe " in *" answered=4 "*) up=1; break ;; esac
    sleep 0.5
done
if [ "$up" != 1 ]; then
    echo "FAIL: no answer through $relay"
    cat "$work/relay.log"
    exit 1
fi
kill -USR1 "$responder_pid"
sleep 0.3
before=$(tail -n 1 "$work/responder.out" | sed -n 's/.*received=\([0-9]*\).*/\1/p')

failures=0
check() { # NAME EXPECTED_COUNT generator-options...
    local name=$1 expected=$2 line rc=0
    shift 2
    line=$(gen --count "$expected" --seconds 30 --strict "$@") || rc=$?
    echo "$name: $line"
    if [ "$rc" -ne 0 ]; then
        echo "FAIL: $name: not every request got exactly one well-formed answer (exit $rc)"
        failures=$((failures + 1))
    fi
    case " $line " in
        *" sent=$expected answered=$expected lost=0 "*" dup=0 bad=0 "*) ;;
        *) echo "FAIL: $name: counts are not sent=answered=$expected, dup=0, bad=0"
           failures=$((failures + 1)) ;;
    esac
}

check unicast 2000 --rate 500 --xid-base 0x30000000
check broadcast 500 --rate 500 --broadcast --xid-base 0x40000000

# The server saw every request exactly once: none dropped, none repeated.
kill -USR1 "$responder_pid"
sleep 0.3
after=$(tail -n 1 "$work/responder.out" | sed -n 's/.*received=\([0-9]*\).*/\1/p')
if [ $((after - before)) -ne 2500 ]; then
    echo "FAIL: the server received $((after - before)) requests, not 2500"
    failures=$((failures + 1))
fi
if ! tail -n 1 "$work/responder.out" | grep -q 'ignored=0 '; then
    echo "FAIL: the server got requests it could not answer: $(tail -n 1 "$work/responder.out")"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "--- relay log"
    tail -n 50 "$work/relay.log"
    exit 1
fi
echo "PASS: 2500 requests through $relay, each answered once and well formed"
