#!/usr/bin/env bash
# Builds the Debian package from a clean copy of the source tree, the way
# Debian builds packages (dpkg-buildpackage with debhelper), installing the
# build dependencies first when run as root. The copy and the results are
# in build-package/ (or the directory given as first argument); the last
# line printed is the path of the .deb.
#
#   scripts/package.sh && apt install "./$(scripts/package.sh | tail -n 1)"
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$src/build-package}" && cd "${1:-$src/build-package}" && pwd)

need=(dpkg-dev debhelper)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
install_packages() {
  [ "$(id -u)" -eq 0 ] || { echo "package.sh: missing $*; run as root to install them" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" >&2 ||
    { apt-get update >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" >&2; }
}
[ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"

# The tree as the version control knows it (uncommitted edits included,
# ignored files such as build directories left out), or the whole tree
# without its build directories when it is not a checkout.
tree="$out/kestivane"
rm -rf "$tree" "$out"/kestivane_*
mkdir -p "$tree"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
     [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done | tar --null -T - -cf -) | tar -xf - -C "$tree"
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -xf - -C "$tree"
fi

if ! unmet=$(cd "$tree" && dpkg-checkbuilddeps 2>&1); then
  [ "$(id -u)" -eq 0 ] || { echo "package.sh: $unmet; run as root to install them" >&2; exit 1; }
  # apt-get satisfy takes the field as written, alternatives and versions included.
  build_depends=$(awk '/^Build-Depends:/ { f = 1; sub(/^Build-Depends:/, ""); printf "%s", $0; next }
                       f && /^[ \t]/ { printf "%s", $0; next } { f = 0 }' "$tree/debian/control")
  DEBIAN_FRONTEND=noninteractive apt-get satisfy -y --no-install-recommends "$build_depends" >&2
fi

(cd "$tree" && dpkg-buildpackage -us -uc -b) > "$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2; exit 1; }
debs=("$out"/kestivane_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: no single .deb in $out" >&2; exit 1; }
echo "${debs[0]}"
