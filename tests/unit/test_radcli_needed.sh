#!/usr/bin/env bash
# The executable names the RADIUS client library among the libraries it
# needs (without calling it), so that plug-ins speaking RADIUS find it
# loaded, whenever the build found the library.
set -euo pipefail
cache="${KESTIVANE_BUILD_DIR:?}/CMakeCache.txt"
library=$(sed -n 's/^RADCLI_LIBRARY:FILEPATH=//p' "$cache")
wanted=$(sed -n 's/^KESTIVANE_WITH_RADCLI:BOOL=//p' "$cache")
if [ "$wanted" != ON ] || [ -z "$library" ] || [ "${library%NOTFOUND}" != "$library" ]; then
  echo "SKIP: this build does not link the RADIUS client library (KESTIVANE_WITH_RADCLI=$wanted, library: ${library:-none})"
  exit 77
fi
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
needed=$(readelf -d "${KESTIVANE:?}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if ! grep -qxF "$soname" <<<"$needed"; then
  echo "FAIL: $KESTIVANE does not name $soname; it needs:"
  echo "$needed"
  exit 1
fi
echo "ok: $KESTIVANE needs $soname"
