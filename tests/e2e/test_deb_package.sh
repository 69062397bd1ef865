#!/usr/bin/env bash
# Builds the Debian package from a build configured for the prefix /usr and
# checks what an operator installs: every file at the path the relay and its
# unit expect, the configuration as a conffile, dependencies taken from the
# libraries actually linked, maintainer scripts that never start the relay,
# and an executable that runs. The package is only extracted, never
# installed on this machine.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
build=${KESTIVANE_BUILD_DIR:?}

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/deps.sh installs dpkg-dev)"
    exit 77
  fi
done

# A build of its own, kept beside the main one so that later runs only
# rebuild what changed; the main build's prefix may be another.
pkg_build="$build/package-deb"
tmp=$(mktemp -d "/tmp/kestivane-deb.$$.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

failed=0
fail() { echo "FAIL: $*"; failed=1; }

cmake -S "$src" -B "$pkg_build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKESTIVANE_TESTS=OFF > "$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; exit 1; }
cmake --build "$pkg_build" -j2 > "$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
rm -f "$pkg_build"/*.deb
(cd "$pkg_build" && cpack -G DEB) > "$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
debs=("$pkg_build"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made no single .deb"; ls "$pkg_build"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

# What the build says goes where.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$pkg_build/CMakeCache.txt"; }
plugin_dir=$(cache_value KESTIVANE_PLUGIN_DIR)
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
[ -n "$plugin_dir" ] && [ -n "$libdir" ] || { echo "FAIL: no plug-in or library directory in the cache"; exit 1; }

# Files.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's,^\./,/,' | sort > "$tmp/files"
expected=(
  /usr/sbin/kestivane
  /usr/include/kestivane_plugin.h
  "/usr/$libdir/pkgconfig/kestivane-plugin.pc"
  /usr/share/man/man8/kestivane.8
  /usr/share/man/man5/kestivane.conf.5
  /usr/lib/systemd/system/kestivane.service
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
for lib in libc6 libpcap0.8 libbsd0 libradcli4; do
  grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done
[ "$(dpkg-deb -f "$deb" Package)" = kestivane ] || fail "Package is not kestivane"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture differs from the machine's"

# Maintainer scripts: valid shell; the user is created; nothing starts or
# enables the relay (an upgrade may restart one that already runs).
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do
  [ -x "$tmp/control/$script" ] || { fail "no executable $script"; continue; }
  sh -n "$tmp/control/$script" || fail "$script is not valid shell"
  if grep -Eq 'systemctl[^#]* (start|enable|restart|reload-or-restart)|deb-systemd-invoke[^#]* start|invoke-rc.d' "$tmp/control/$script"; then
    fail "$script starts or enables the service"
  fi
done
grep -q 'sysusers.d/kestivane.conf' "$tmp/control/postinst" || fail "postinst does not create the service user"
if [ -f "$src/dist/kestivane.conf" ]; then
  grep -qx /etc/kestivane.conf "$tmp/control/conffiles" 2>/dev/null || fail "/etc/kestivane.conf is not a conffile"
fi

# Extracted, the executable runs and the files agree on their paths.
dpkg -x "$deb" "$tmp/root"
out=$("$tmp/root/usr/sbin/kestivane" -h 2>&1) && status=0 || status=$?
[ $status -eq 0 ] || fail "kestivane -h exited with $status: $out"
grep -q '^Usage:' <<<"$out" || fail "kestivane -h printed no usage: $out"
missing_libs=$(ldd "$tmp/root/usr/sbin/kestivane" | grep 'not found' || true)
[ -z "$missing_libs" ] || fail "unresolved libraries: $missing_libs"
grep -aq -- "$plugin_dir" "$tmp/root/usr/sbin/kestivane" || fail "the executable does not look for plug-ins in $plugin_dir"
unit="$tmp/root/usr/lib/systemd/system/kestivane.service"
grep -q '^ExecStart=/usr/sbin/kestivane -f /etc/kestivane.conf ' "$unit" \
  || fail "the unit does not run /usr/sbin/kestivane with /etc/kestivane.conf: $(grep ExecStart "$unit")"
grep -q "^plugindir=$plugin_dir\$" "$tmp/root/usr/$libdir/pkgconfig/kestivane-plugin.pc" \
  || fail "kestivane-plugin.pc names another plug-in directory"
grep -q "^\.It Pa ${plugin_dir}kestivane_" "$tmp/root/usr/share/man/man8/kestivane.8" \
  || fail "kestivane.8 does not name the package's plug-in directory"
# The packaged plug-ins load into the packaged (stripped) executable, every
# name they use bound at once: the relay's exports survive packaging. No
# interface is named, so the relay stops right after loading them.
for so in "$tmp/root$plugin_dir"kestivane_*_plugin.so; do
  [ -e "$so" ] || continue
  name=${so##*/kestivane_}
  name=${name%_plugin.so}
  printf '[options]\nplugin_path=%s\n[%s-plugin]\n' "$tmp/root$plugin_dir" "$name" > "$tmp/$name.conf"
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
cflags=$(PKG_CONFIG_SYSROOT_DIR="$tmp/root" PKG_CONFIG_LIBDIR="$tmp/root/usr/$libdir/pkgconfig" \
         pkg-config --cflags kestivane-plugin)
cc -std=c11 -Wall -Werror -shared -fPIC $cflags -o "$tmp/kestivane_probe_plugin.so" "$tmp/probe.c" \
  || fail "a plug-in does not build with the installed header and pkg-config file ($cflags)"

[ $failed -eq 0 ] && echo "package ok"
exit $failed
