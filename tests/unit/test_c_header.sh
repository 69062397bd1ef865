#!/usr/bin/env bash
# A plug-in builds as C11 against the installed header alone, found through
# the pkg-config file: the guide's complete example and the shipped plug-ins
# compile with -std=c11 -Wall -Wextra -Werror -pedantic, export their
# descriptor, and need from the relay only names it exports.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
work=$(mktemp -d /tmp/kestivane-c-header-XXXXXX)
trap 'rm -rf "$work"' EXIT

# An installation of just the header and the pkg-config file.
mkdir -p "$work/prefix/include" "$work/prefix/lib/pkgconfig"
cp "$src/plugins/kestivane_plugin.h" "$work/prefix/include/"
sed -e "s|@CMAKE_INSTALL_PREFIX@|$work/prefix|" \
    -e "s|@CMAKE_INSTALL_FULL_INCLUDEDIR@|$work/prefix/include|" \
    -e "s|@KESTIVANE_PLUGIN_DIR@|$work/prefix/lib/|" \
    -e "s|@PROJECT_VERSION@|0|" \
    "$src/dist/kestivane-plugin.pc.in" > "$work/prefix/lib/pkgconfig/kestivane-plugin.pc"
if grep -q '@[A-Z_]*@' "$work/prefix/lib/pkgconfig/kestivane-plugin.pc"; then
  echo "kestivane-plugin.pc.in uses a variable this test does not know:"
  grep '@[A-Z_]*@' "$work/prefix/lib/pkgconfig/kestivane-plugin.pc"
  exit 1
fi
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cflags=$(pkg-config --cflags kestivane-plugin)
[ "$(pkg-config --variable=plugindir kestivane-plugin)" = "$work/prefix/lib/" ]

# The guide's complete minimal plug-in, as printed.
awk '/^## A complete minimal plug-in/ {found = 1}
     found && /^```c$/ {inside = 1; next}
     inside && /^```$/ {exit}
     inside {print}' "$src/doc/plugins.md" > "$work/deny.c"
[ -s "$work/deny.c" ] || { echo "no C example found in doc/plugins.md"; exit 1; }

exported=$(sed -e 's,/\*.*\*/,,g' "$src/plugins/exports.list" | tr -d '{};' | tr ' ' '\n' | grep -v '^\s*$' | sort -u)
status=0
check() { # name source
  local name=$1 source=$2 so="$work/kestivane_$1_plugin.so" before=$status
  # shellcheck disable=SC2086
  if ! cc -std=c11 -Wall -Wextra -Werror -pedantic -fPIC -shared $cflags -o "$so" "$source"; then
    echo "FAIL: $name does not build against the header alone"; status=1; return
  fi
  if ! nm -D --defined-only "$so" | awk '{print $3}' | grep -qx "${name}_plugin"; then
    echo "FAIL: $name does not export ${name}_plugin"; status=1
  fi
  # Undefined names without a library version must come from the relay.
  local unknown
  unknown=$(nm -D --undefined-only "$so" | awk '$1 == "U" {print $2}' | grep -v '@' | sort -u |
            comm -23 - <(echo "$exported") || true)
  if [ -n "$unknown" ]; then
    echo "FAIL: $name needs names the relay does not export: $unknown"; status=1
  fi
  [ "$status" -ne "$before" ] || echo "ok: $name"
}
check deny "$work/deny.c"
check agent_info "$src/plugins/agent_info/agent_info.c"
check log "$src/plugins/log/log.c"
exit $status
