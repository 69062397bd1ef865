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

# opener_holds NAME UID: the running relay's opener runs as UID (every id)
# with CAP_NET_RAW and CAP_NET_BIND_SERVICE alone in its effective,
# permitted and bounding sets, none inheritable or ambient, can never gain
# one, runs under a seccomp filter, and has nothing open but its end of the
# pair to the relay and /dev/null as its standard descriptors.
opener_holds() {
    local name=$1 want_uid=$2 opener set value bad=0 two=$(((1 << 10) | (1 << 13)))
    opener=$(kv_opener_pid) || { kv_check_fail "$name: no single opener beside relay $KV_RELAY_PID"; return; }
    [ "$(status_of "$opener" Uid | tr -s '\t ' ' ')" = "$want_uid $want_uid $want_uid $want_uid" ] ||
        { kv_check_fail "$name: opener uids are $(status_of "$opener" Uid), not $want_uid"; bad=1; }
    for set in CapEff:$two CapPrm:$two CapBnd:$two CapInh:0 CapAmb:0 NoNewPrivs:1 Seccomp:2; do
        value=$(status_of "$opener" "${set%%:*}")
        [ -n "$value" ] && [ $((16#$value)) -eq "${set#*:}" ] ||
            { kv_check_fail "$name: opener ${set%%:*} is '$value', not ${set#*:}"; bad=1; }
    done
    local fds
    fds=$(for fd in /proc/"$opener"/fd/*; do readlink "$fd"; done | sed 's/socket:.*/socket/' | sort | tr '\n' ' ')
    [ "$fds" = "/dev/null /dev/null /dev/null socket " ] ||
        { kv_check_fail "$name: the opener has open: $fds"; bad=1; }
    [ $bad -eq 0 ] && kv_pass "$name: opener $opener as uid $want_uid, net_raw and net_bind_service alone, Seccomp 2, one socket"
    OPENER_PID=$opener
}

# opener_ends NAME: the opener of the relay just ended ends within 2 s.
opener_ends() {
    kv_wait_for 2 kv_gone "$OPENER_PID" && kv_pass "$1: the opener ended with the relay" ||
        kv_check_fail "$1: the opener $OPENER_PID still runs after the relay ended"
}

KV_IPV6=1
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
opener_holds unit "$uid"
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
# Killed outright, the relay cannot tell its opener: the pair's end does.
kill -KILL "$KV_RELAY_PID"
opener_ends unit-killed

# --- Started as root. The relay's own view of the user database (a mount
# namespace of its own, the files bound over /etc/passwd and /etc/group)
# has the packaged user kestivane or lacks it, for the relay alone: nothing
# else on this machine sees the user come or go.
for ((kuid = 61000; kuid < 61100; kuid++)); do
    getent passwd "$kuid" >/dev/null || getent group "$kuid" >/dev/null || break
done
# users_view NAME WITH: passwd and group files without any kestivane line,
# plus the user kestivane (uid and gid kuid) when WITH is 1.
users_view() {
    grep -v '^kestivane:' /etc/passwd >"$KV_TMP/$1.passwd"
    grep -v '^kestivane:' /etc/group >"$KV_TMP/$1.group"
    if [ "$2" = 1 ]; then
        echo "kestivane:x:$kuid:$kuid::/nonexistent:/usr/sbin/nologin" >>"$KV_TMP/$1.passwd"
        echo "kestivane:x:$kuid:" >>"$KV_TMP/$1.group"
    fi
}
users_view with 1
users_view without 0
# in_view VIEW: the prefix that runs the relay in that view of the users.
in_view() {
    KV_RELAY_PREFIX=(unshare -m --propagation private sh -c \
        'mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/group && shift 2 && exec "$@"' sh \
        "$KV_TMP/$1.passwd" "$KV_TMP/$1.group")
}

# every_thread PID NAME UID GID SECCOMP: every thread of the relay runs as
# UID and GID (real, effective, saved, file system), holds no capability in
# any of the five sets, can never gain one, and has the seccomp mode SECCOMP
# (2 a filter, 0 none). Started as root, the relay can empty the bounding
# set too.
every_thread() {
    local pid=$1 name=$2 want_uid=$3 want_gid=$4 want_seccomp=$5 task set value threads=0 bad=0
    for task in /proc/"$pid"/task/*; do
        threads=$((threads + 1))
        local tid=${task##*/}
        [ "$(sed -n 's/^Uid:[[:space:]]*//p' "$task/status" | tr -s '\t ' ' ')" = "$want_uid $want_uid $want_uid $want_uid" ] ||
            { kv_check_fail "$name: thread $tid has uids $(grep ^Uid: "$task/status")"; bad=1; }
        [ "$(sed -n 's/^Gid:[[:space:]]*//p' "$task/status" | tr -s '\t ' ' ')" = "$want_gid $want_gid $want_gid $want_gid" ] ||
            { kv_check_fail "$name: thread $tid has gids $(grep ^Gid: "$task/status")"; bad=1; }
        for set in CapInh CapPrm CapEff CapBnd CapAmb; do
            value=$(sed -n "s/^$set:[[:space:]]*//p" "$task/status")
            [ -n "$value" ] && [ $((16#$value)) -eq 0 ] ||
                { kv_check_fail "$name: thread $tid has $set '$value'"; bad=1; }
        done
        [ "$(sed -n 's/^NoNewPrivs:[[:space:]]*//p' "$task/status")" = 1 ] ||
            { kv_check_fail "$name: thread $tid has NoNewPrivs $(grep ^NoNewPrivs: "$task/status")"; bad=1; }
        [ "$(sed -n 's/^Seccomp:[[:space:]]*//p' "$task/status")" = "$want_seccomp" ] ||
            { kv_check_fail "$name: thread $tid has $(grep ^Seccomp: "$task/status"), not $want_seccomp"; bad=1; }
    done
    [ $bad -eq 0 ] && kv_pass "$name: $threads threads, uid $want_uid gid $want_gid, five empty sets, NoNewPrivs 1, Seccomp $want_seccomp"
}

[ -f "$SHIPPED_PLUGINS/kestivane_agent_info_plugin.so" ] || kv_fail "agent_info plug-in not built"
TEST_PLUGINS=${KESTIVANE_TEST_PLUGIN_DIR:-$KESTIVANE_BUILD_DIR/tests/plugins/}
[ -f "$TEST_PLUGINS/kestivane_probe_plugin.so" ] || kv_fail "probe plug-in not built in $TEST_PLUGINS"
plugin_dir="$KV_TMP/pl/" # short: plug-in file paths are cut at a fixed length
# A reload reads the file again as the relay's user.
chmod 755 "$KV_TMP"
mkdir -p "$plugin_dir"
ln -s "$SHIPPED_PLUGINS"/kestivane_agent_info_plugin.so "$SHIPPED_PLUGINS"/kestivane_log_plugin.so \
    "$TEST_PLUGINS"/kestivane_probe_plugin.so "$plugin_dir"
# conf NAME OPTIONS...: a configuration relaying segment 1 for both families
# with the shipped plug-ins and the probe (its own thread started in init,
# the system call sysinfo made at client_request), OPTIONS as [options] lines.
conf() {
    local name=$1
    shift
    {
        printf '[options]\nplugin_path=%s\n' "$plugin_dir"
        printf '%s\n' "$@"
        printf '[servers]\n%s %s\n' "$KV_IP_SERVER" "${KV_IF_RELAY[1]}"
        printf '[servers6]\n%s %s\n' "$KV_IP6_SERVER" "${KV_IF_RELAY[1]}"
        printf '[agent_info-plugin]\n[log-plugin]\n'
        printf '%s=yes\n' client_request send_to_server server_answer send_to_client
        printf '[probe-plugin]\nthread=yes\nsysinfo=client_request\n'
    } >"$KV_TMP/$name.conf"
}

# An unknown user ends start-up before anything runs, naming the line.
conf unknown user=kestivane-no-such-user
status=0
ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/unknown.conf" >/dev/null 2>"$KV_TMP/unknown.stderr" || status=$?
if [ "$status" -eq 1 ] && grep -qx "kestivane: Unknown user kestivane-no-such-user. Line: 3" "$KV_TMP/unknown.stderr"; then
    kv_pass "unknown user: status 1, $(cat "$KV_TMP/unknown.stderr")"
else
    kv_check_fail "unknown user: status $status, $(cat "$KV_TMP/unknown.stderr")"
fi

# A thread that cannot be asked to give up its privileges (it blocks every
# signal) stops the relay: it never runs with a thread left privileged.
conf deaf user=root
sed -i 's/^thread=yes$/thread=deaf/' "$KV_TMP/deaf.conf"
status=0
ip netns exec "$KV_NS_RELAY" "$KESTIVANE" -d -f "$KV_TMP/deaf.conf" >"$KV_TMP/deaf.log" 2>&1 </dev/null || status=$?
if [ "$status" -eq 1 ] &&
    grep -qx "Can't drop privileges: a thread that did not answer: Connection timed out" "$KV_TMP/deaf.log"; then
    kv_pass "a deaf plug-in thread: status 1, the drop refused"
else
    kv_check_fail "a deaf plug-in thread: status $status, $(grep -i "privileges" "$KV_TMP/deaf.log")"
fi

# The packaged configuration names the packaged user and turns the sandbox
# on; the rest say nothing of the user. Columns: name, users view, the
# relay's arguments, the user it must run as, its seccomp mode, the number
# of "Running as root" warnings, whether a lease must flow (4, 6, 46, -).
conf packaged user=kestivane sandbox=on
conf default sandbox=on
conf allowed sandbox=on sandbox_allow=sysinfo,uname
conf root user=root
v4_args="-i ${KV_IF_RELAY[1]} $KV_IP_SERVER"
cases=(
    "packaged      with    -f|$KV_TMP/packaged.conf          kestivane 2 0 46"
    "default       with    -f|$KV_TMP/default.conf           kestivane 2 0 -"
    "allowed       with    -f|$KV_TMP/allowed.conf           kestivane 2 0 4"
    "explicit-root without -f|$KV_TMP/root.conf              root      0 0 -"
    "command-u     without -u|nobody|${v4_args// /|}         nobody    0 0 4"
    "command-root  without ${v4_args// /|}                   root      0 1 -"
)
kv_start_dnsmasq6
for row in "${cases[@]}"; do
    read -r name view args who seccomp warnings lease <<<"$row"
    IFS='|' read -r -a argv <<<"$args"
    in_view "$view"
    KV_LISTEN_COUNT=1 kv_start_relay "$name" "${argv[@]}"
    pid=$KV_RELAY_PID
    case $who in
    kestivane) want_uid=$kuid want_gid=$kuid ;;
    *) want_uid=$(id -u "$who") want_gid=$(id -g "$who") ;;
    esac
    every_thread "$pid" "$name" "$want_uid" "$want_gid" "$seccomp"
    opener_holds "$name" "$want_uid"
    got=$(grep -c "Running as root" "$KV_RELAY_LOG")
    [ "$got" -eq "$warnings" ] || kv_check_fail "$name: $got 'Running as root' lines, not $warnings"
    [ "$warnings" -eq 0 ] || grep -qx "Running as root: no user named and no user kestivane exists" "$KV_RELAY_LOG" ||
        kv_check_fail "$name: the warning reads $(grep 'Running as root' "$KV_RELAY_LOG")"
    if [[ $lease == *4* ]]; then
        got=$(kv_udhcpc 1 5 "udhcpc-$name") || kv_check_fail "$name: no DHCPv4 lease"
        kv_in_range 1 "$got" && kv_pass "$name: DHCPv4 lease $got" || kv_check_fail "$name: lease '$got' out of range"
    fi
    if [[ $lease == *6* ]]; then
        got=$(kv_dhclient6 "${KV_NS_CLIENT[1]}" "${KV_IF_CLIENT[1]}" 8 "dhclient6-$name") &&
            kv_pass "$name: DHCPv6 lease $got" || kv_check_fail "$name: no DHCPv6 lease"
    fi
    # A reload's check runs in a child of the opener, as the relay's user,
    # with no capability, under the opener's filter: it reads the file and
    # loads the plug-ins to check them.
    if [ "${argv[0]}" = -f ]; then
        kill -HUP "$pid"
        if kv_wait_log "$KV_RELAY_LOG" "Reloaded ${argv[1]}: interfaces +0 -0, servers +0 -0" 1 3; then
            kv_pass "$name: reloaded through the opener's check"
        else
            kv_check_fail "$name: no reload: $(grep -i reload "$KV_RELAY_LOG")"
        fi
    fi
    kv_relay_alive || kv_check_fail "$name: the relay is no longer running"
    kv_stop "$pid"
    opener_ends "$name"
done
KV_RELAY_PREFIX=()

# Under the sandbox the probe's sysinfo, a call the relay never makes, fails
# with EPERM, and the relay says so once however often it is made; added by
# sandbox_allow it runs.
log=$KV_TMP/packaged.log
[ "$(grep -c '^probe: sysinfo: Operation not permitted$' "$log")" -ge 2 ] ||
    kv_check_fail "packaged: sysinfo did not fail with EPERM at every request: $(grep 'probe: sysinfo' "$log")"
[ "$(grep -c '^System call sysinfo refused by the sandbox$' "$log")" -eq 1 ] ||
    kv_check_fail "packaged: not one refusal line for sysinfo: $(grep -c 'refused by the sandbox' "$log")"
other=$(grep 'refused by the sandbox' "$KV_TMP"/*.log | grep -v ':System call sysinfo refused')
[ -z "$other" ] || kv_check_fail "the sandbox refused a call of the relay's own: $other"
grep -qx 'probe: sysinfo: done' "$KV_TMP/allowed.log" && ! grep -q 'refused by the sandbox' "$KV_TMP/allowed.log" ||
    kv_check_fail "allowed: sysinfo did not run: $(grep -E 'sysinfo|sandbox' "$KV_TMP/allowed.log")"
# The plug-ins act under the sandbox: agent_info's option 82 reached the
# server (the lease came back through it), the log plug-in wrote each point.
for point in client_request send_to_server server_answer send_to_client; do
    grep -q "^log: $point on " "$log" || kv_check_fail "packaged: the log plug-in wrote nothing at $point"
done
kv_finish
