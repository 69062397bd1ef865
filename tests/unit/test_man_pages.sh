#!/usr/bin/env bash
# The man pages pass mandoc's checks at warning level, as written and as
# installed (with the installation's paths put in), and the program's page
# documents every option its usage text shows.
set -euo pipefail
src=${KESTIVANE_SOURCE_DIR:?}
build=${KESTIVANE_BUILD_DIR:?}

if ! command -v mandoc >/dev/null; then
  echo "SKIP: mandoc is not installed (scripts/deps.sh installs it)"
  exit 77
fi

failed=0
pages=("$src/doc/kestivane.8" "$src/doc/kestivane.conf.5")
for installed in "$build/installed/kestivane.8" "$build/installed/kestivane.conf.5"; do
  [ -f "$installed" ] && pages+=("$installed")
done
for page in "${pages[@]}"; do
  # -W warning: report warnings and worse; any report fails the page.
  if ! out=$(mandoc -Tlint -W warning "$page" 2>&1) || [ -n "$out" ]; then
    echo "FAIL: $page:"
    echo "$out"
    failed=1
  else
    echo "ok: $page lints clean"
  fi
done

# Every option letter of the usage text has its own entry in OPTIONS.
usage=$("${KESTIVANE:?}" -h 2>&1 || true)
# An option stands after a blank or '['; a dash inside the program's path
# (build-asan/kestivane) is not one.
letters=$(grep -oE -- '(\[| )-[A-Za-z]' <<<"$usage" | tr -d '[ -' | sort -u)
[ -n "$letters" ] || { echo "FAIL: no options found in the usage text:"; echo "$usage"; exit 1; }
for letter in $letters h; do
  if ! grep -q "^\.It Fl $letter\b" "$src/doc/kestivane.8"; then
    echo "FAIL: option -$letter is not documented in kestivane.8"
    failed=1
  fi
done
echo "options documented: $(echo $letters h | tr '\n' ' ')"

# Every message the pages explain is one the relay can write: a message
# reworded in the code leaves an operator searching the page for nothing.
# The plug-in measurement lines are one format with the hook point in front.
while IFS= read -r message; do
  pattern=$(sed -E 's/^(send_to_server|server_answer|send_to_client): /%s: /' <<<"$message")
  if ! grep -rqF -- "\"$pattern" "$src/core" "$src/config" "$src/net" "$src/dhcp" "$src/metrics" "$src/plugins"; then
    echo "FAIL: documented message not found in the sources: $message"
    failed=1
  fi
done < <(grep -ho 'Li "[^"]*"' "$src/doc/kestivane.8" "$src/doc/kestivane.conf.5" | sed 's/^Li "//; s/"$//' | sort -u)

# Each page names the other, and both render.
grep -q '^\.Xr kestivane.conf 5' "$src/doc/kestivane.8" || { echo "FAIL: kestivane.8 does not refer to kestivane.conf(5)"; failed=1; }
grep -q '^\.Xr kestivane 8' "$src/doc/kestivane.conf.5" || { echo "FAIL: kestivane.conf.5 does not refer to kestivane(8)"; failed=1; }
for page in "${pages[@]}"; do
  mandoc -Tascii "$page" >/dev/null || { echo "FAIL: $page does not render"; failed=1; }
done
exit $failed
