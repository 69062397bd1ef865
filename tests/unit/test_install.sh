#!/usr/bin/env bash
# `cmake --install` of this build (into a temporary DESTDIR) puts every file
# where the installed relay and its unit look for it, for this build's
# prefix; and installing again over an edited configuration keeps the edit.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
build=${KESTIVANE_BUILD_DIR:?}

tmp=$(mktemp -d "/tmp/kestivane-install.$$.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
root="$tmp/root"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cache_value CMAKE_INSTALL_PREFIX)
plugin_dir=$(cache_value KESTIVANE_PLUGIN_DIR)
[ -n "$prefix" ] && [ -n "$plugin_dir" ] || { echo "FAIL: no prefix or plug-in directory in $build/CMakeCache.txt"; exit 1; }

DESTDIR="$root" cmake --install "$build" > "$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }

# The unit names an executable and a configuration that this installation has.
unit=$(find "$root" -path '*/systemd/system/kestivane.service')
[ -n "$unit" ] || { echo "FAIL: no unit installed"; find "$root" -type f; exit 1; }
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
read -r exe _ config _ <<<"$exec_start"
[ "${exe#"$prefix"/}" != "$exe" ] || fail "the unit runs $exe, outside the prefix $prefix"
[ -x "$root$exe" ] || fail "the unit runs $exe, which is not installed"
# Whole output first: grep -q may stop reading early and, under pipefail, the
# writer's broken pipe would count as a failure.
usage=$("$root$exe" -h 2>&1 || true)
grep -q '^Usage:' <<<"$usage" || fail "the installed $exe does not print its usage: $usage"
if [ -f "$src/dist/kestivane.conf" ]; then
  [ -f "$root$config" ] || fail "the unit reads $config, which is not installed"
  cmp -s "$src/dist/kestivane.conf" "$root$config" || fail "$config is not the sample configuration"
fi
sysusers=$(find "$root" -path '*/sysusers.d/kestivane.conf')
[ -n "$sysusers" ] || fail "no sysusers file declares the service user"

# Plug-ins lie where the executable looks for them by default.
for dir in "$src"/plugins/*/; do
  name=$(basename "$dir")
  compgen -G "$dir*.c" >/dev/null || compgen -G "$dir*.cpp" >/dev/null || continue
  [ -f "$root${plugin_dir}kestivane_${name}_plugin.so" ] || fail "plug-in $name is not in $plugin_dir"
done
grep -aq -- "$plugin_dir" "$root$exe" || fail "the executable does not look for plug-ins in $plugin_dir"

# What plug-in authors build against.
[ -f "$root$prefix/include/kestivane_plugin.h" ] || fail "the plug-in header is not in $prefix/include"
pc=$(find "$root" -name kestivane-plugin.pc)
[ -n "$pc" ] && grep -qx "plugindir=$plugin_dir" "$pc" || fail "kestivane-plugin.pc does not name $plugin_dir"

# The man pages name this installation's paths.
for page in man8/kestivane.8 man5/kestivane.conf.5; do
  [ -f "$root$prefix/share/man/$page" ] || { fail "$page is not installed"; continue; }
  grep -q "^\.It Pa ${plugin_dir}kestivane_" "$root$prefix/share/man/$page" || fail "$page does not name $plugin_dir"
done
[ -f "$root$prefix/share/man/man8/kestivane.8" ] && ! grep -q "^\.It Pa $config\$" "$root$prefix/share/man/man8/kestivane.8" \
  && fail "kestivane.8 does not name the configuration file $config"

# A second installation keeps an edited configuration.
if [ -f "$src/dist/kestivane.conf" ]; then
  echo "# edited by the operator" >> "$root$config"
  DESTDIR="$root" cmake --install "$build" > "$tmp/again.log" 2>&1 || { cat "$tmp/again.log"; exit 1; }
  grep -q '^# edited by the operator$' "$root$config" || fail "installing again overwrote the edited $config"
fi

[ $failed -eq 0 ] && echo "install ok: prefix $prefix, $(find "$root" -type f | wc -l) files"
exit $failed
