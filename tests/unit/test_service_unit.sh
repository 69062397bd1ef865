#!/usr/bin/env bash
# The systemd unit is valid, runs the relay as an unprivileged user with only
# the two capabilities it needs, and its pid-file options agree with each
# other: the path systemd watches is the one the relay writes, in the runtime
# directory systemd creates for the service user. No service is started.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
unit="$src/dist/kestivane.service"

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed"
  exit 77
fi

tmp=$(mktemp -d "/tmp/kestivane-unit.$$.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# verify insists that the executable exists: point it at the built one.
sed "s,/usr/sbin/kestivane,${KESTIVANE:?}," "$unit" > "$tmp/kestivane.service"
if ! out=$(systemd-analyze verify --man=no "$tmp/kestivane.service" 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify:"; echo "$out"
else
  echo "ok: systemd-analyze verify"
fi

value() { sed -n "s/^$1=//p" "$unit"; }
words() { tr ' ' '\n' <<<"$1" | grep -v '^$' | sort | tr '\n' ' '; }

want_caps="CAP_NET_BIND_SERVICE CAP_NET_RAW "
[ "$(words "$(value AmbientCapabilities)")" = "$want_caps" ] || fail "AmbientCapabilities: $(value AmbientCapabilities)"
[ "$(words "$(value CapabilityBoundingSet)")" = "$want_caps" ] || fail "CapabilityBoundingSet: $(value CapabilityBoundingSet)"
user=$(value User)
[ -n "$user" ] && [ "$user" != root ] && [ "$user" != 0 ] || fail "User= is '$user', not an unprivileged user"
[ "$(value NoNewPrivileges)" = yes ] || fail "NoNewPrivileges is not yes"
[ "$(value Type)" = forking ] || fail "Type is not forking: the relay detaches"

exec_start=$(value ExecStart)
pid_option=$(sed -n 's/.* -p \([^ ]*\).*/\1/p' <<<"$exec_start")
[ -n "$pid_option" ] || fail "ExecStart passes no -p: the default /var/run is not writable by $user"
[ "$(value PIDFile)" = "$pid_option" ] || fail "PIDFile $(value PIDFile) differs from -p $pid_option"
runtime=$(value RuntimeDirectory)
[ "$(dirname "$pid_option")" = "/run/$runtime" ] || fail "pid file $pid_option is not in RuntimeDirectory /run/$runtime"
grep -q -- ' -d' <<<"$exec_start" && fail "ExecStart runs the relay in debug mode"
# A reload checks the file first, then signals the relay, which reads it again.
reloads=$(sed -n 's/^ExecReload=//p' "$unit")
[ "$(sed -n 1p <<<"$reloads")" = "$(value ExecStartPre)" ] || fail "ExecReload does not check the file first: $reloads"
grep -qx '/bin/kill -HUP $MAINPID' <<<"$(sed -n 2p <<<"$reloads")" || fail "ExecReload does not send SIGHUP: $reloads"
# The check before the start reads the file the start reads.
config_option() { sed -n 's/.* -f \([^ ]*\).*/\1/p' <<<"$1"; }
exec_check=$(value ExecStartPre)
grep -q -- ' -t ' <<<"$exec_check" || fail "ExecStartPre does not check the configuration (-t): $exec_check"
[ -n "$(config_option "$exec_start")" ] && [ "$(config_option "$exec_check")" = "$(config_option "$exec_start")" ] ||
  fail "ExecStartPre checks $(config_option "$exec_check"), ExecStart reads $(config_option "$exec_start")"

# Exactly the families the relay opens: UDP, packet sockets, syslog, netlink.
[ "$(words "$(value RestrictAddressFamilies)")" = "AF_INET AF_INET6 AF_NETLINK AF_PACKET AF_UNIX " ] \
  || fail "RestrictAddressFamilies: $(value RestrictAddressFamilies)"

# The relay gives up its capabilities itself once started: the system calls
# it makes for that must pass the unit's filter, or every start would fail.
# syscalls NAME...: the calls of these sets, the sets they include expanded
# (each set once: the listing indents its members under its own name).
expanded=" "
syscalls() {
  local item
  for item in "$@"; do
    case $item in
      @*) [[ "$expanded" == *" $item "* ]] && continue
          expanded+="$item "
          syscalls $(systemd-analyze syscall-filter "$item" 2>/dev/null | sed -n 's/^ \{1,\}\([@a-z_0-9-]*\)$/\1/p') ;;
      *) echo "$item" ;;
    esac
  done
}
filter=$(value SystemCallFilter)
allowed=$(syscalls $filter | sort -u)
for call in capset capget prctl setgroups setgid setuid tgkill rt_sigaction seccomp; do
  grep -qx "$call" <<<"$allowed" || fail "SystemCallFilter=$filter refuses $call, which the privilege drop makes"
done
# Every call of the relay's own allow-list (the sandbox) and of the opener's
# passes the unit's filter too: the unit must not refuse what they allow.
for list in relay_calls:sandbox.cpp opener_calls:opener_sandbox.cpp; do
  name=${list%%:*} file=$src/net/linux/${list#*:}
  calls=$(sed -n "/$name\\[\\] = {/,/^};/p" "$file" | grep -v '^ *//' | grep -o '"[a-z0-9_]*"' | tr -d '"')
  [ "$(wc -l <<<"$calls")" -ge 50 ] || fail "the allow-list $name was not found in $file"
  for call in $calls; do
    grep -qx "$call" <<<"$allowed" || fail "SystemCallFilter=$filter refuses $call, which $name allows"
  done
done

# The user the unit names is the one the sysusers file declares.
sysusers="$src/dist/kestivane.sysusers"
grep -qx "$user" <<<"$(awk '$1 == "u" {print $2}' "$sysusers")" || fail "$sysusers does not declare $user"
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$tmp/root/etc"
  out=$(systemd-sysusers --dry-run --root="$tmp/root" "$sysusers" 2>&1) || fail "systemd-sysusers: $out"
  grep -q "Creating user '$user'" <<<"$out" || fail "systemd-sysusers would not create $user: $out"
fi

[ $failed -eq 0 ] && echo "ok: unit runs as $user with $want_caps, pid file $pid_option"
exit $failed
