#!/usr/bin/env bash
# The relay needs two capabilities and nothing else of root, and only while
# it starts: CAP_NET_RAW for capture and frame output, CAP_NET_BIND_SERVICE
# for the bootps port. As an unprivileged user holding only those two (as
# the systemd unit runs it), it detaches, writes its pid file in a directory
# that user owns, gives up both capabilities for good, and relays a lease.
# Without either one it refuses to start before detaching, with the reason
# on standard error and exit status 32, and leaves nothing behind. Started
# as root with user=nobody, it runs as that user and group with no
# capability left, and still relays with the shipped plug-ins acting; an
# unknown user stops it before it starts.
source "$(dirname "$0")/lib.sh"

command -v setpriv >/dev/null || kv_skip "setpriv (util-linux) is missing"
id nobody >/dev/null 2>&1 || kv_skip "there is no user nobody"
user=nobody
group=$(id -gn "$user")
SHIPPED_PLUGINS=$(dirname "$KESTIVANE")
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

# status_of PID FIELD: a field of /proc/PID/status, blanks as they stand.
status_of() { sed -n "s/^$2:[[:space:]]*//p" "/proc/$1/status"; }

# unprivileged PID NAME: the process holds no capability in its effective,
# permitted, inheritable or ambient set, and can never gain one.
unprivileged() {
    local pid=$1 name=$2 set value bad=0
    for set in CapEff CapPrm CapInh CapAmb; do
        value=$(status_of "$pid" $set)
        [ -n "$value" ] && [ $((16#$value)) -eq 0 ] ||
            { kv_check_fail "$name: relay $set is '$value', not empty"; bad=1; }
    done
    [ "$(status_of "$pid" NoNewPrivs)" = 1 ] ||
        { kv_check_fail "$name: relay NoNewPrivs is '$(status_of "$pid" NoNewPrivs)', not 1"; bad=1; }
    [ $bad -eq 0 ] && kv_pass "$name: no capability in any set, NoNewPrivs 1"
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

# The running relay is that user, and has given up both capabilities: only
# the bounding set, which needs a capability of its own to shrink, keeps
# them, and no-new-privileges keeps it from ever using them again.
# CAP_NET_BIND_SERVICE is bit 10, CAP_NET_RAW bit 13.
[ "$(status_of "$pid" Uid | tr -s '\t ' ' ')" = "$uid $uid $uid $uid" ] ||
    kv_check_fail "relay uids are $(status_of "$pid" Uid), not $uid"
unprivileged "$pid" unit
[ $((16#$(status_of "$pid" CapBnd))) -eq $(((1 << 10) | (1 << 13))) ] ||
    kv_check_fail "relay CapBnd is $(status_of "$pid" CapBnd), not net_raw and net_bind_service alone"
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
kv_stop "$KV_RELAY_PID"

# --- As root with user=nobody, the shipped plug-ins loaded: the relay
# switches to nobody's user, group and groups once everything is open.
[ -f "$SHIPPED_PLUGINS/kestivane_agent_info_plugin.so" ] || kv_fail "agent_info plug-in not built"
plugin_dir="$KV_TMP/pl/" # short: plug-in file paths are cut at a fixed length
mkdir -p "$plugin_dir"
ln -s "$SHIPPED_PLUGINS"/kestivane_agent_info_plugin.so "$SHIPPED_PLUGINS"/kestivane_log_plugin.so "$plugin_dir"
# conf NAME USER: a configuration relaying segment 1 as USER, with the plug-ins.
conf() {
    printf '[options]\nplugin_path=%s\nuser=%s\n[servers]\n%s %s\n[agent_info-plugin]\n[log-plugin]\n%s\n' \
        "$plugin_dir" "$2" "$KV_IP_SERVER" "${KV_IF_RELAY[1]}" \
        "$(printf '%s=yes\n' client_request send_to_server server_answer send_to_client)" >"$KV_TMP/$1.conf"
}

# An unknown user ends start-up before anything runs, naming the line.
conf unknown kestivane-no-such-user
status=0
ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/unknown.conf" >/dev/null 2>"$KV_TMP/unknown.stderr" || status=$?
if [ "$status" -eq 1 ] && grep -qx "kestivane: Unknown user kestivane-no-such-user. Line: 3" "$KV_TMP/unknown.stderr"; then
    kv_pass "unknown user: status 1, $(cat "$KV_TMP/unknown.stderr")"
else
    kv_check_fail "unknown user: status $status, $(cat "$KV_TMP/unknown.stderr")"
fi

conf root nobody
kv_tcpdump root-server "$KV_NS_SERVER" "$KV_IF_SERVER" udp port 67
kv_start_relay root -f "$KV_TMP/root.conf"
pid=$KV_RELAY_PID
[ "$(status_of "$pid" Uid | tr -s '\t ' ' ')" = "$uid $uid $uid $uid" ] ||
    kv_check_fail "root: relay uids are $(status_of "$pid" Uid), not $uid"
gid=$(id -g "$user")
[ "$(status_of "$pid" Gid | tr -s '\t ' ' ')" = "$gid $gid $gid $gid" ] ||
    kv_check_fail "root: relay gids are $(status_of "$pid" Gid), not $gid"
[ "$(status_of "$pid" Groups | tr ' ' '\n' | grep . | sort -n | tr '\n' ' ')" = \
  "$(id -G "$user" | tr ' ' '\n' | sort -n | tr '\n' ' ')" ] ||
    kv_check_fail "root: relay groups are '$(status_of "$pid" Groups)', not those of $user ($(id -G "$user"))"
unprivileged "$pid" root
lease=$(kv_udhcpc 1 5 udhcpc-root) || kv_fail "root: no lease through the relay running as $user"
kv_in_range 1 "$lease" || kv_check_fail "root: lease $lease is outside ${KV_RANGE_LO[1]}-${KV_RANGE_HI[1]}"
# The plug-ins still act: agent_info puts option 82 into what the server
# sees, the log plug-in writes each point.
kv_wait_pcap root-server 2 "$KV_TIMEOUT" --op 1 || kv_check_fail "root: no request captured at the server"
[ -z "$(kv_option_hex "$(kv_pcap root-server)" 1 82 | grep -x none)" ] ||
    kv_check_fail "root: a request reached the server without option 82"
for point in client_request send_to_server server_answer send_to_client; do
    grep -q "^log: $point on " "$KV_RELAY_LOG" || kv_check_fail "root: the log plug-in wrote nothing at $point"
done
kv_pass "root with user=$user: lease $lease, option 82 at the server, every point logged"
kv_relay_alive || kv_check_fail "root: the relay is no longer running"
kv_finish
