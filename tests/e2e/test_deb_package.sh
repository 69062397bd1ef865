#!/usr/bin/env bash
# Builds the Debian package as scripts/package.sh does (dpkg-buildpackage
# from a clean copy of the tree) and checks what an operator installs: Debian's
# own checker finds no error and no warning, every file is at the path the
# relay and its unit expect, the configuration is a conffile, dependencies
# come from the libraries actually linked, the maintainer scripts are
# debhelper's and never start or enable the relay, the build carries the
# hardening, and the executable runs. The package is only extracted, never
# installed on this machine.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
build=${KESTIVANE_BUILD_DIR:?}

for tool in dpkg-buildpackage dh dpkg-deb lintian hardening-check; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/deps.sh installs dpkg-dev, debhelper, lintian and devscripts)"
    exit 77
  fi
done

tmp=$(mktemp -d "/tmp/kestivane-deb.$$.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The last line of package.sh is the package's path.
bash "$src/scripts/package.sh" "$build/package-deb" > "$tmp/package.out" 2>&1 || { cat "$tmp/package.out"; exit 1; }
deb=$(tail -n 1 "$tmp/package.out")
[ -f "$deb" ] && [[ "$deb" == *.deb ]] || { echo "FAIL: package.sh did not end with a .deb path"; cat "$tmp/package.out"; exit 1; }
echo "package: $(basename "$deb")"

# Debian's checker: information tags are fine, nothing worse. Status 2 is
# lintian itself failing, which passes for nothing either.
status=0
lintian --fail-on error,warning "$deb" > "$tmp/lintian" 2>&1 || status=$?
if [ $status -ne 0 ] || grep -Eq '^[EW]: ' "$tmp/lintian"; then
  fail "lintian (status $status):"; cat "$tmp/lintian"
else
  echo "lintian: no error, no warning"
fi

# The package's version is the one the build gives the relay.
version=$(sed -n 's/^project(kestivane VERSION \([^ )]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), relay version $version"

# Plug-ins in a directory of their own under the multiarch library directory.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
plugin_dir="/usr/lib/$multiarch/kestivane/"

# Files.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's,^\./,/,' | sort > "$tmp/files"
expected=(
  /usr/sbin/kestivane
  /usr/include/kestivane_plugin.h
  "/usr/lib/$multiarch/pkgconfig/kestivane-plugin.pc"
  /usr/share/man/man8/kestivane.8.gz
  /usr/share/man/man5/kestivane.conf.5.gz
  /usr/share/doc/kestivane/copyright
  /usr/share/doc/kestivane/changelog.gz
  /lib/systemd/system/kestivane.service
  /usr/lib/sysusers.d/kestivane.conf
)
[ -f "$src/dist/kestivane.conf" ] && expected+=(/etc/kestivane.conf)
for dir in "$src"/plugins/*/; do
  name=$(basename "$dir")
  compgen -G "$dir*.c" >/dev/null || compgen -G "$dir*.cpp" >/dev/null || continue
  expected+=("${plugin_dir}kestivane_${name}_plugin.so")
done
for file in "${expected[@]}"; do
  grep -qx -- "$file" "$tmp/files" || fail "missing from the package: $file"
done
extra=$(printf '%s\n' "${expected[@]}" | sort | comm -13 - "$tmp/files")
[ -z "$extra" ] || fail "unexpected files in the package: $extra"
echo "files: $(wc -l < "$tmp/files"), expected ${#expected[@]}"

# Control fields and dependencies.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libpcap0.8 libbsd0 libradcli4 libseccomp2 systemd-standalone-sysusers; do
  grep -Eq "(^|, | \| )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done
[ "$(dpkg-deb -f "$deb" Package)" = kestivane ] || fail "Package is not kestivane"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture differs from the machine's"

# Maintainer scripts: valid shell, debhelper's own; the user is created from
# the sysusers file; nothing starts or enables the relay by hand, and the
# unit is enabled again only where the operator had enabled it.
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm preinst; do
  [ -e "$tmp/control/$script" ] || continue
  [ -x "$tmp/control/$script" ] || { fail "$script is not executable"; continue; }
  sh -n "$tmp/control/$script" || fail "$script is not valid shell"
  if grep -Eq 'systemctl[^#]* (start|enable|restart|reload-or-restart)|invoke-rc.d' "$tmp/control/$script"; then
    fail "$script starts or enables the service itself"
  fi
  grep -v '^#' "$tmp/control/$script" | grep -v '^set -e$' | grep -q . || continue
  awk '/^# Automatically added by dh_/ { inside = 1 } /^# End automatically added section/ { inside = 0; next }
       !inside && !/^#/ && !/^set -e$/ && NF { bad = 1 } END { exit bad }' "$tmp/control/$script" ||
    fail "$script holds lines debhelper did not write"
done
grep -q '^ *systemd-sysusers .*kestivane.conf$' "$tmp/control/postinst" || fail "postinst does not create the service user"
awk '/deb-systemd-helper (--quiet )?enable/ && !guarded { bad = 1 } /was-enabled/ { guarded = 1 } /^\tfi$/ { guarded = 0 }
     END { exit bad }' "$tmp/control/postinst" || fail "postinst enables the unit on a first installation"
if [ -f "$src/dist/kestivane.conf" ]; then
  grep -qx /etc/kestivane.conf "$tmp/control/conffiles" 2>/dev/null || fail "/etc/kestivane.conf is not a conffile"
fi

# The packaged configuration switches to the user the package creates.
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./etc/kestivane.conf > "$tmp/kestivane.conf"
sysusers_user=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/sysusers.d/kestivane.conf | awk '$1 == "u" {print $2}')
grep -qx "user=$sysusers_user" "$tmp/kestivane.conf" ||
  fail "the packaged configuration does not set user=$sysusers_user: $(grep -n 'user' "$tmp/kestivane.conf")"
# ... and turns the system-call sandbox on.
grep -qx "sandbox=on" "$tmp/kestivane.conf" ||
  fail "the packaged configuration does not set sandbox=on: $(grep -n 'sandbox' "$tmp/kestivane.conf")"

# Extracted, the executable runs and the files agree on their paths.
dpkg -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/sbin/kestivane" -h 2>&1) && status=0 || status=$?
[ $status -eq 0 ] || fail "kestivane -h exited with $status: $out"
grep -q '^Usage:' <<<"$out" || fail "kestivane -h printed no usage: $out"
missing_libs=$(ldd "$tmp/root/usr/sbin/kestivane" | grep 'not found' || true)
[ -z "$missing_libs" ] || fail "unresolved libraries: $missing_libs"
grep -aq -- "$plugin_dir" "$tmp/root/usr/sbin/kestivane" || fail "the executable does not look for plug-ins in $plugin_dir"
unit="$tmp/root/lib/systemd/system/kestivane.service"
grep -q '^ExecStart=/usr/sbin/kestivane -f /etc/kestivane.conf ' "$unit" \
  || fail "the unit does not run /usr/sbin/kestivane with /etc/kestivane.conf: $(grep ExecStart "$unit")"
grep -q "^plugindir=$plugin_dir\$" "$tmp/root/usr/lib/$multiarch/pkgconfig/kestivane-plugin.pc" \
  || fail "kestivane-plugin.pc names another plug-in directory"
# Read whole first: grep -q stops reading at its match, and a page longer
# than one of zcat's writes may meet a closed pipe, which fails the pipeline.
page=$(zcat "$tmp/root/usr/share/man/man8/kestivane.8.gz")
grep -q "^\.It Pa ${plugin_dir}kestivane_" <<<"$page" \
  || fail "kestivane.8 does not name the package's plug-in directory"
# Built with dpkg-buildflags on top of the build's own hardening. Debian
# 12's C library start files carry no control-flow property, so no program
# linked on it can show one.
hardening-check --nocfprotection "$tmp/root/usr/sbin/kestivane" "$tmp/root$plugin_dir"kestivane_*_plugin.so \
  > "$tmp/hardening" 2>&1 && echo "hardening-check: every detectable protection" \
  || { fail "hardening-check on the packaged files:"; cat "$tmp/hardening"; }
# The packaged plug-ins load into the packaged (stripped) executable, every
# name they use bound at once: the relay's exports survive packaging. No
# interface is named, so the relay stops right after loading them.
# A short name for the directory: plug-in paths are cut at a fixed length.
ln -s "$tmp/root$plugin_dir" "$tmp/p"
for so in "$tmp/root$plugin_dir"kestivane_*_plugin.so; do
  [ -e "$so" ] || continue
  name=${so##*/kestivane_}
  name=${name%_plugin.so}
  printf '[options]\nplugin_path=%s\n[%s-plugin]\n' "$tmp/p/" "$name" > "$tmp/$name.conf"
  out=$(LD_BIND_NOW=1 "$tmp/root/usr/sbin/kestivane" -d -f "$tmp/$name.conf" 2>&1) && status=0 || status=$?
  if [ $status -ne 1 ] || ! grep -q "^Plugin #1 ($name) loaded\$" <<<"$out" \
     || ! grep -q 'No interfaces found to listen. Exiting.$' <<<"$out"; then
    fail "packaged plug-in $name does not load into the packaged executable (status $status): $out"
  else
    echo "plug-in $name loads"
  fi
done

# A plug-in built against the installed header with the installed .pc.
cat > "$tmp/probe.c" <<'C'
#include <kestivane_plugin.h>
struct plugin probe_plugin = { "probe", 0, 0, 0, 0, 0, 0 };
C
cflags=$(PKG_CONFIG_SYSROOT_DIR="$tmp/root" PKG_CONFIG_LIBDIR="$tmp/root/usr/lib/$multiarch/pkgconfig" \
         pkg-config --cflags kestivane-plugin)
cc -std=c11 -Wall -Werror -shared -fPIC $cflags -o "$tmp/kestivane_probe_plugin.so" "$tmp/probe.c" \
  || fail "a plug-in does not build with the installed header and pkg-config file ($cflags)"

[ $failed -eq 0 ] && echo "package ok"
exit $failed
