#!/usr/bin/env bash
# Start-up with real interfaces: the pid file of a relay in the background
# (named after the program when -p is absent, holding the background
# process's id, and refusing a second relay with the first one's id), no pid
# file in debug mode, interfaces that cannot be opened, and the refusal to
# run without any.
source "$(dirname "$0")/lib.sh"

kv_topology 2
kv_tcpdump server "$KV_NS_SERVER" "$KV_IF_SERVER" udp dst port 67

# Invoked under a name of this run only, so that its default pid file,
# /var/run/<name>.pid, is this test's own.
PROGRAM="kvrelay$KV_ID"
ln -s "$KESTIVANE" "$KV_TMP/$PROGRAM"
PID_FILE="/var/run/$PROGRAM.pid"
[ -e "$PID_FILE" ] && kv_fail "$PID_FILE exists already"
KV_CLEANUP+=("rm -f '$PID_FILE'")

# forwards SEG NAME: a request on segment SEG reaches the server.
forwards() {
    kv_next_xid
    if kv_frames_in "${KV_NS_CLIENT[$1]}" request "${KV_IF_CLIENT[$1]}" --xid "$KV_XID" \
        --wait "$(kv_pcap server)"; then
        kv_pass "$2"
    else
        kv_check_fail "$2: request not forwarded"
    fi
}

# pid_in FILE: the number the file holds, once it holds one (the file need
# not end in a newline).
pid_in() {
    local pid=
    read -r pid <"$1" 2>/dev/null
    [[ $pid =~ ^[0-9]+$ ]] && echo "$pid"
}
has_pid() { pid_in "$1" >/dev/null; }

# --- A relay in the background, default pid file.
kv_ns "$KV_NS_RELAY" "$KV_TMP/$PROGRAM" -i "${KV_IF_RELAY[1]}" "$KV_IP_SERVER" >"$KV_TMP/daemon.log" 2>&1 &
launcher=$!
wait "$launcher"
status=$?
[ "$status" -eq 0 ] || kv_fail "the relay did not start in the background (status $status)"
kv_wait_for 5 has_pid "$PID_FILE" || kv_fail "no pid file $PID_FILE"
daemon=$(pid_in "$PID_FILE")
kv_adopt_pid "$daemon"
if [ "$daemon" = "$launcher" ] || ! kill -0 "$daemon" 2>/dev/null; then
    kv_check_fail "the pid file holds $daemon, not the running background process"
elif [ "$(readlink "/proc/$daemon/exe")" != "$KESTIVANE" ]; then
    kv_check_fail "process $daemon of the pid file is not the relay"
else
    kv_pass "default pid file $PID_FILE holds the background process $daemon"
fi
forwards 1 "the relay in the background forwards requests"

# --- A second relay with the same pid file, by its default name and by -p.
# refused NAME ARGS...: the second relay ends with status 1 and the first's id.
refused() {
    local name=$1 out status
    shift
    out=$(timeout 10 ip netns exec "$KV_NS_RELAY" "$@" 2>&1)
    status=$?
    if [ "$status" -eq 1 ] && [[ $out == *"Already run with PID $daemon. Exiting."* ]]; then
        kv_pass "$name"
    else
        kv_check_fail "$name: status $status, output: $out"
    fi
}
refused "second relay with the same default pid file is refused" \
    "$KV_TMP/$PROGRAM" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"
refused "second relay with the same pid file by -p is refused" \
    "$KESTIVANE" -p "$PID_FILE" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"
kill -0 "$daemon" 2>/dev/null || kv_check_fail "the first relay is gone after the refusals"
[ "$(pid_in "$PID_FILE")" = "$daemon" ] || kv_check_fail "the refused relays changed the pid file"

kv_kill "$daemon"

# --- Debug mode: no pid file even with -p; a missing interface is only
# logged and the others open.
missing="nosuch$KV_ID"
KV_LISTEN_COUNT=1 kv_start_relay debug -p "$KV_TMP/debug.pid" -i "$missing" -i "${KV_IF_RELAY[2]}" "$KV_IP_SERVER"
kv_wait_log "$KV_RELAY_LOG" "Total interfaces: 1" 1 5 || kv_check_fail "no 'Total interfaces: 1' line"
forwards 2 "a relay with one missing interface forwards on the other"
if [ -e "$KV_TMP/debug.pid" ]; then
    kv_check_fail "-d with -p created the pid file"
else
    kv_pass "-d with -p creates no pid file"
fi
if [ "$(kv_count_lines "$KV_RELAY_LOG" "Interface $missing does not exist. Ignored.")" -eq 1 ] &&
    [ "$(kv_count_lines "$KV_RELAY_LOG" "Listen at")" -eq 1 ] &&
    [ "$(kv_count_lines "$KV_RELAY_LOG" "Listen at ${KV_IF_RELAY[2]}: ${KV_IP_RELAY[2]}, ")" -eq 1 ]; then
    kv_pass "missing interface: logged, not opened"
else
    kv_check_fail "missing interface: expected one 'does not exist' line and one 'Listen at' for ${KV_IF_RELAY[2]}"
fi
kv_kill "$KV_RELAY_PID"

# --- No interface to listen on: a missing one, one without an IPv4 address.
# no_interfaces NAME ARGS...: the relay ends at once with status 1.
no_interfaces() {
    local name=$1 out status
    shift
    out=$(timeout 10 ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d "$@" 2>&1)
    status=$?
    if [ "$status" -eq 1 ] && [[ $out == *"No interfaces found to listen. Exiting."* ]] &&
        [[ $out != *"Listen at"* ]]; then
        kv_pass "$name"
    else
        kv_check_fail "$name: status $status, output: $out"
    fi
}
no_interfaces "only a missing interface" -i "$missing" "$KV_IP_SERVER"
ip -n "$KV_NS_RELAY" addr flush dev "${KV_IF_RELAY[1]}"
no_interfaces "an interface without an IPv4 address" -i "${KV_IF_RELAY[1]}" "$KV_IP_SERVER"

kv_finish
