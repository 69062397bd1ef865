#!/usr/bin/env bash
# The relay needs two capabilities and nothing else of root: CAP_NET_RAW for
# capture and frame output, CAP_NET_BIND_SERVICE for the bootps port. As an
# unprivileged user holding only those two (as the systemd unit runs it), it
# detaches, writes its pid file in a directory that user owns, and relays a
# lease. Without either one it refuses to start before detaching, with the
# reason on standard error and exit status 32, and leaves nothing behind.
source "$(dirname "$0")/lib.sh"

command -v setpriv >/dev/null || kv_skip "setpriv (util-linux) is missing"
id nobody >/dev/null 2>&1 || kv_skip "there is no user nobody"
user=nobody
group=$(id -gn "$user")
uid=$(id -u "$user")

# as_user CAPS COMMAND...: run COMMAND in the relay namespace as the
# unprivileged user with exactly the capabilities CAPS (setpriv syntax, as
# "+net_raw,+net_bind_service"), in its bounding, inheritable and ambient sets.
as_user() {
    local caps=$1
    shift
    ip netns exec "$KV_NS_RELAY" setpriv --reuid="$user" --regid="$group" --init-groups \
        --bounding-set=-all,"$caps" --inh-caps=-all,"$caps" --ambient-caps="$caps" -- "$@"
}

kv_topology 1
if ! as_user +net_raw,+net_bind_service test -x "$KESTIVANE"; then
    kv_skip "$user cannot run $KESTIVANE (a directory on its path is not searchable)"
fi
kv_start_dnsmasq

# The pid file's directory belongs to the relay's user, as /run/kestivane
# does under systemd.
run_dir=$(mktemp -d "/tmp/kestivane-lp.$KV_ID.XXXXXX")
KV_CLEANUP+=("rm -rf '$run_dir'")
chown "$user:$group" "$run_dir"
chmod 755 "$run_dir"
pid_file="$run_dir/kestivane.pid"
relay_args=(-p "$pid_file" -i "${KV_IF_RELAY[1]}" "$KV_IP_SERVER")

# refused NAME CAPS PATTERN: the relay started with only CAPS exits 32 before
# detaching, its one line on standard error matching PATTERN (an extended
# regular expression, after the program name), with no pid file and no
# process left in its namespace.
refused() {
    local name=$1 caps=$2 pattern=$3 status=0 err="$KV_TMP/$1.stderr"
    as_user "$caps" "$KESTIVANE" "${relay_args[@]}" >"$KV_TMP/$name.stdout" 2>"$err" </dev/null || status=$?
    if [ "$status" -ne 32 ]; then
        kv_check_fail "$name: exit status $status, not 32; stderr: $(cat "$err")"
    elif ! grep -Eqx "kestivane: $pattern" "$err" || [ "$(wc -l <"$err")" -ne 1 ]; then
        kv_check_fail "$name: standard error is not one line 'kestivane: $pattern': $(cat "$err")"
    else
        kv_pass "$name: status 32, $(cat "$err")"
    fi
    [ -e "$pid_file" ] && kv_check_fail "$name: left a pid file" && rm -f "$pid_file"
    local left p
    left=$(ip netns pids "$KV_NS_RELAY")
    if [ -n "$left" ]; then
        kv_check_fail "$name: processes left in the relay namespace: $left"
        for p in $left; do kv_adopt_pid "$p"; done
    fi
}

# Without CAP_NET_RAW neither the frame output nor the capture opens. The
# frame output is opened first, so its message is the one expected; a relay
# that opens the capture first says so with libpcap's reason.
if_re=$(sed 's/[.[\]*^$]/\\&/g' <<<"${KV_IF_RELAY[1]}")
refused no-net-raw +net_bind_service \
    "(Can't BIOCSETIF|pcap_open_live\($if_re\): .*(ermission|not permitted).*)"
# The fixed refusal carries no reason; the log line before it does.
as_user +net_bind_service "$KESTIVANE" -d -i "${KV_IF_RELAY[1]}" "$KV_IP_SERVER" \
    >"$KV_TMP/no-net-raw-debug.stdout" 2>/dev/null </dev/null || true
if grep -Fqx "frame output on ${KV_IF_RELAY[1]}: Operation not permitted" "$KV_TMP/no-net-raw-debug.stdout"; then
    kv_pass "no-net-raw: the log names the reason"
else
    kv_check_fail "no-net-raw: no reason logged: $(cat "$KV_TMP/no-net-raw-debug.stdout")"
fi
# Without CAP_NET_BIND_SERVICE the bootps port cannot be bound.
refused no-bind-service +net_raw "bind: Permission denied"

# With both it starts: the parent returns 0 once the relay has detached, and
# the background process writes its own id into the pid file.
status=0
as_user +net_raw,+net_bind_service "$KESTIVANE" "${relay_args[@]}" \
    >"$KV_TMP/relay.stdout" 2>"$KV_TMP/relay.stderr" </dev/null || status=$?
[ "$status" -eq 0 ] || kv_fail "the relay exited with $status at start-up: $(cat "$KV_TMP/relay.stderr")"
kv_wait_for "$KV_TIMEOUT" test -s "$pid_file" || kv_fail "no pid written to $pid_file"
pid=$(cat "$pid_file")
[[ "$pid" =~ ^[0-9]+$ ]] || kv_fail "the pid file holds '$pid'"
kv_adopt_pid "$pid"
kill -0 "$pid" 2>/dev/null || kv_fail "no process $pid runs"
KV_RELAY_PID=$pid
[ "$(readlink -f "/proc/$pid/exe")" = "$KESTIVANE" ] || kv_fail "process $pid is not the relay"
[ -s "$KV_TMP/relay.stderr" ] && kv_check_fail "the relay wrote to standard error: $(cat "$KV_TMP/relay.stderr")"

# The running relay is that user, with exactly the two capabilities.
status_of() { sed -n "s/^$1:[[:space:]]*//p" "/proc/$pid/status"; }
[ "$(status_of Uid | tr -s '\t ' ' ')" = "$uid $uid $uid $uid" ] ||
    kv_check_fail "relay uids are $(status_of Uid), not $uid"
for set in CapEff CapPrm CapBnd; do
    # CAP_NET_BIND_SERVICE is bit 10, CAP_NET_RAW bit 13.
    [ $((16#$(status_of $set))) -eq $(((1 << 10) | (1 << 13))) ] ||
        kv_check_fail "relay $set is $(status_of $set), not net_raw and net_bind_service alone"
done
[ "$(stat -c %U "$pid_file")" = "$user" ] || kv_check_fail "the pid file belongs to $(stat -c %U "$pid_file")"
kv_udp_bound "$KV_NS_RELAY" 67 || kv_check_fail "nothing listens on the bootps port in the relay namespace"

# A second relay on the same pid file names the first and stops.
status=0
as_user +net_raw,+net_bind_service "$KESTIVANE" -p "$pid_file" -i "${KV_IF_RELAY[1]}" "$KV_IP_SERVER" \
    >/dev/null 2>"$KV_TMP/second.stderr" </dev/null || status=$?
if [ "$status" -ne 1 ] || ! grep -qx "kestivane: Already run with PID $pid. Exiting." "$KV_TMP/second.stderr"; then
    kv_check_fail "a second relay on the pid file: status $status, $(cat "$KV_TMP/second.stderr")"
fi

# And it relays.
lease=$(kv_udhcpc 1 5 udhcpc-least-privilege) || kv_fail "no lease through the unprivileged relay"
kv_in_range 1 "$lease" || kv_check_fail "lease $lease is outside ${KV_RANGE_LO[1]}-${KV_RANGE_HI[1]}"
kv_pass "lease $lease through the relay running as $user with net_raw and net_bind_service"
kv_relay_alive || kv_check_fail "the relay is no longer running"
kv_finish
