#!/usr/bin/env bash
# The executable exports exactly the names in plugins/exports.list: every
# listed name is a defined dynamic symbol, and nothing else is.
set -euo pipefail
if [ "${KESTIVANE_SANITIZE:-0}" = 1 ]; then
  echo "sanitizer build: its runtime exports symbols of its own; the normal build is checked"
  exit 77
fi
list=$(sed -e 's,/\*.*\*/,,g' "$KESTIVANE_SOURCE_DIR/plugins/exports.list" | tr -d '{};' | tr ' ' '\n' | grep -v '^\s*$' | sort -u)
exported=$(nm -D --defined-only "$KESTIVANE" | awk '{print $3}' | sort -u)
missing=$(comm -23 <(echo "$list") <(echo "$exported"))
extra=$(comm -13 <(echo "$list") <(echo "$exported"))
status=0
[ -z "$missing" ] || { echo "listed but not exported:"; echo "$missing"; status=1; }
[ -z "$extra" ] || { echo "exported but not listed:"; echo "$extra"; status=1; }
[ $status -eq 0 ] && echo "exports match: $(echo "$list" | wc -l) names"
exit $status
