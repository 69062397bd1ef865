#!/usr/bin/env bash
# Flood soak, bounded to about a minute: two client segments send valid
# DISCOVERs (the bench load generator, as fast as it goes) mixed with every
# kind of malformed or unrelayable frame (flood_frames.py, as fast as it
# goes), while the bench responder answers through the relay. The
# queue_probe plug-in counts what passes each hook and the request queue's
# peak length. Afterwards:
# - the relay still runs, and its resident memory after the warm-up stayed
#   flat (sampled every second; the curve is printed; a sanitizer build's
#   curve is only printed);
# - every request that passed the frame checks and was under the hop limit
#   was forwarded, and every forwarded request reached the responder;
# - every answer the responder sent reached the relay and was written to
#   its segment, and every written answer reached the generator, well
#   formed and once;
# - every kind of malformed frame that the capture passes was refused with
#   its own log line, and none was relayed;
# - the peak length of the request queue and the offered rates are printed.
# Every load is bounded in count and in time.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

say() { echo "[$(date +%T.%3N)] $*" >&2; }

LOADGEN=${KESTIVANE_LOADGEN:-$KESTIVANE_BUILD_DIR/bench/loadgen}
RESPONDER=${KESTIVANE_RESPONDER:-$KESTIVANE_BUILD_DIR/bench/responder}
[ -x "$LOADGEN" ] && [ -x "$RESPONDER" ] || kv_skip "the bench tools are not built ($LOADGEN, $RESPONDER)"
PLUGIN_DIR=${KESTIVANE_TEST_PLUGIN_DIR:-$KESTIVANE_BUILD_DIR/tests/plugins/}
[ -f "$PLUGIN_DIR/kestivane_queue_probe_plugin.so" ] || kv_fail "queue_probe plug-in not built in $PLUGIN_DIR"
FLOOD="$KV_DIR/flood_frames.py"

FLOOD_SECONDS=${KESTIVANE_SOAK_SECONDS:-35} # the flood; the whole test takes about 20 s more
WARMUP=8                                    # seconds of flood before memory must stay flat
RSS_SLACK_KB=8192                           # growth allowed after the warm-up
# The soak judges the whole path (every request forwarded, every answer
# delivered), so it runs under an rps_limit that a consumer on a busy
# two-core machine outpaces; past that, the bounded request queue makes the
# listeners leave the excess in the capture rings (test_storm.sh floods
# without a limit). KESTIVANE_SOAK_RPS_LIMIT=0 floods without it here too.
RPS_LIMIT=${KESTIVANE_SOAK_RPS_LIMIT:-3000}

kv_topology 2
kv_bg responder "$KV_NS_SERVER" "$RESPONDER" --listen "$KV_IP_SERVER" --max-seconds $((FLOOD_SECONDS + 60))
RESPONDER_PID=$KV_LAST_PID
kv_wait_for "$KV_TIMEOUT" kv_udp_bound "$KV_NS_SERVER" 67 || kv_fail "the responder did not start"

REPORT="$KV_TMP/queue_probe.report"
cat >"$KV_TMP/relay.conf" <<EOF
[options]
plugin_path=$PLUGIN_DIR
rps_limit=$RPS_LIMIT
[servers]
$KV_IP_SERVER ${KV_IF_RELAY[1]} ${KV_IF_RELAY[2]}
[queue_probe-plugin]
file=$REPORT
max_hops=4
EOF

# The relay logs one line per refused frame: a filter counts those lines by
# message and passes every other line to the log, so that the log stays
# small under the flood. The log and the counts are complete once the
# relay's output closes.
KV_RELAY_LOG="$KV_TMP/relay.log"
mkfifo "$KV_TMP/relay.fifo"
awk '/-- packet (discarded|ignore)$/ { refused[$0]++; next }
     /droped due to RPS limit$/ { limited++; next }
     { print; fflush() }
     END { for (m in refused) print "REFUSED " refused[m] " " m; print "RATE_LIMITED " limited + 0 }' <"$KV_TMP/relay.fifo" >"$KV_RELAY_LOG" &
kv_adopt_pid $!
FILTER_PID=$!
ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/relay.conf" >"$KV_TMP/relay.fifo" 2>&1 </dev/null &
KV_RELAY_PID=$!
kv_adopt_pid "$KV_RELAY_PID"
# (awk may hold its input until the end, so the sockets tell that the relay
# is up: one UDP socket on port 67 per interface.)
relay_sockets() { [ "$(ip netns exec "$KV_NS_RELAY" ss -Huln "sport = :67" 2>/dev/null | wc -l)" -ge 2 ]; }
kv_wait_for "$KV_TIMEOUT" relay_sockets || kv_fail "the relay does not listen on both segments"
kv_relay_alive || kv_fail "the relay ended at start-up"
sleep 0.5

# Resident memory, once a second while the relay runs (bounded).
(
    for ((i = 0; i < FLOOD_SECONDS + 30; i++)); do
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$KV_RELAY_PID/status" 2>/dev/null) || break
        [ -n "$rss" ] || break
        echo "$i $rss"
        sleep 1
    done
) >"$KV_TMP/rss.samples" &
kv_adopt_pid $!

# The clients would be other machines: the generators run at the lowest
# priority, so that they take what the relay and the server leave of this
# machine's cores rather than starve them.
say "flood: ${FLOOD_SECONDS}s of valid and malformed frames on two segments"
for seg in 1 2; do
    kv_bg "load$seg" "${KV_NS_CLIENT[seg]}" nice -n 19 "$LOADGEN" --iface "${KV_IF_CLIENT[seg]}" --rate 0 \
        --count 20000000 --seconds "$FLOOD_SECONDS" --drain-ms 3000 --xid-base $((0x10000000 * seg))
    eval "LOAD$seg=\$KV_LAST_PID"
    kv_bg "flood$seg" "${KV_NS_CLIENT[seg]}" nice -n 19 /usr/bin/python3 "$FLOOD" --iface "${KV_IF_CLIENT[seg]}" \
        --count 50000000 --seconds "$FLOOD_SECONDS"
    eval "FLOOD$seg=\$KV_LAST_PID"
done
wait "$LOAD1" "$LOAD2" "$FLOOD1" "$FLOOD2"
# Wait until the relay has forwarded what it queued: the responder's
# counters stand still for a second (bounded).
responder_counts() {
    kill -USR1 "$RESPONDER_PID" 2>/dev/null
    sleep 0.5
    tail -n 1 "$KV_TMP/responder.log"
}
last=$(responder_counts)
for ((i = 0; i < 60; i++)); do
    now=$(responder_counts)
    [ "$now" = "$last" ] && break
    last=$now
done
# The probe writes its final figures when the relay gets SIGUSR2.
kill -USR2 "$KV_RELAY_PID"
sleep 0.3

kv_relay_alive || kv_fail "the relay died under the flood"
alive_rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$KV_RELAY_PID/status")
kv_pass "the relay runs after the flood (VmRSS ${alive_rss} kB)"
kv_stop "$KV_RELAY_PID"
kv_stop "$RESPONDER_PID"
wait "$FILTER_PID" 2>/dev/null

# field NAME FILE: the value of NAME=... in the one-line report FILE.
field() { sed -n "s/.*\\b$1=\\([0-9]*\\).*/\\1/p" "$2" | tail -n 1; }
sum_field() { echo $(($(field "$1" "$KV_TMP/load1.log") + $(field "$1" "$KV_TMP/load2.log"))); }

for seg in 1 2; do
    say "segment $seg valid:     $(cat "$KV_TMP/load$seg.log")"
    say "segment $seg malformed: $(cat "$KV_TMP/flood$seg.log")"
done
say "queue_probe: $(tr -s ' ' <"$REPORT")"
say "responder:   $(tail -n 1 "$KV_TMP/responder.log")"

# Memory: the curve, and its growth after the warm-up.
say "VmRSS (kB) per second: $(awk '{ printf "%s%s", (NR > 1 ? " " : ""), $2 }' "$KV_TMP/rss.samples")"
read -r base peak <<<"$(awk -v w="$WARMUP" '$1 == w { base = $2 } $1 >= w { if ($2 > peak) peak = $2 }
                        END { print base + 0, peak + 0 }' "$KV_TMP/rss.samples")"
if [ "$(nm -D "$KESTIVANE" 2>/dev/null | grep -cE '__(asan|tsan)_init')" -gt 0 ]; then
    # A sanitizer keeps freed memory aside (ASan's quarantine alone is 256
    # MiB) and maps shadow memory as it goes: the curve rises to the
    # sanitizer's plateau whatever the relay does.
    kv_pass "memory not judged in a sanitizer build (the normal build judges it)"
elif [ "$base" -eq 0 ]; then
    kv_check_fail "too few memory samples: $(wc -l <"$KV_TMP/rss.samples")"
elif [ $((peak - base)) -gt "$RSS_SLACK_KB" ]; then
    kv_check_fail "resident memory grew by $((peak - base)) kB after the warm-up (from $base to $peak kB)"
else
    kv_pass "resident memory flat after ${WARMUP}s: $base kB, at most $peak kB"
fi

# Requests: nothing lost between the checks, the queue and the server.
checked=$(field client_request "$REPORT")
over=$(field over_hops "$REPORT")
forwarded=$(field send_to_server "$REPORT")
received=$(field received "$KV_TMP/responder.log")
[ -n "$checked" ] && [ -n "$forwarded" ] && [ -n "$received" ] || kv_fail "missing counters"
if [ "$forwarded" -ne $((checked - over)) ]; then
    kv_check_fail "requests lost in the queue: $checked passed the checks, $over over the hop limit, $forwarded forwarded"
else
    kv_pass "every request that passed the checks and the hop limit was forwarded ($forwarded)"
fi
if [ "$received" -ne "$forwarded" ]; then
    kv_check_fail "the responder received $received of $forwarded forwarded requests" \
        "(server UDP: $(ip netns exec "$KV_NS_SERVER" awk '/^Udp:/ { getline; print "RcvbufErrors=" $6 }' /proc/net/snmp))"
else
    kv_pass "every forwarded request reached the responder ($received)"
fi

# Answers: from the responder through the relay to the segments.
answered=$(field answered "$KV_TMP/responder.log")
taken=$(field server_answer "$REPORT")
written=$(field send_to_client "$REPORT")
arrived=$(sum_field answered)
bad=$(($(sum_field bad) + $(sum_field dup)))
[ "$taken" -eq "$answered" ] || kv_check_fail "the relay took $taken of the responder's $answered answers" \
    "(relay UDP: $(ip netns exec "$KV_NS_RELAY" awk '/^Udp:/ { getline; print "RcvbufErrors=" $6 }' /proc/net/snmp))"
[ "$written" -eq "$taken" ] || kv_check_fail "the relay wrote $written of the $taken answers it took"
[ "$arrived" -eq "$written" ] ||
    kv_check_fail "the generators got $arrived of $written answers written (rx_drops $(sum_field rx_drops))"
[ "$bad" -eq 0 ] || kv_check_fail "$bad answers were malformed or duplicated"
[ "$taken" -eq "$answered" ] && [ "$written" -eq "$taken" ] && [ "$arrived" -eq "$written" ] &&
    kv_pass "every answer reached its segment ($arrived), none malformed"
failed_writes=$(kv_count_lines "$KV_RELAY_LOG" "bpf write failed")
[ "$failed_writes" -eq 0 ] || kv_check_fail "$failed_writes frame writes failed"

# Malformed frames: each kind that the capture passes met its own check.
grep -E '^(REFUSED|RATE_LIMITED)' "$KV_RELAY_LOG" | sed 's/^/    /' >&2
for message in "length too little -- packet discarded" "wrong ether type -- packet discarded" \
    "not enough DHCP data -- packet ignore" "malformed dhcp packet (can't find option 255) -- packet ignore"; do
    n=$(grep -F -- "$message" "$KV_RELAY_LOG" | awk '/^REFUSED/ { print $2 }')
    [ "${n:-0}" -gt 0 ] || kv_check_fail "no frame was refused with: $message"
done
# A malformed frame that got through would come back as an answer that no
# generator asked for.
foreign=$(sum_field foreign)
[ "$foreign" -eq 0 ] || kv_check_fail "$foreign answers to requests the generators never sent"

offered=$(($(field send_rate "$KV_TMP/load1.log") + $(field send_rate "$KV_TMP/load2.log")))
flood_rate=$(($(field rate "$KV_TMP/flood1.log") + $(field rate "$KV_TMP/flood2.log")))
say "offered: $offered valid requests/s and $flood_rate malformed frames/s on two segments" \
    "(rps_limit $RPS_LIMIT); $checked requests passed the checks, $forwarded forwarded;" \
    "request queue peak: $(field queue_peak "$REPORT") items"
kv_finish
