#!/usr/bin/env bash
# Builds the relay in the four build types with GCC and with clang, warnings
# as errors, and checks with hardening-check that the executable and the
# shipped plug-ins carry every protection it can detect. Only what proves
# the point is built: the executable and the shipped plug-ins, plus the
# bench tools in GCC's optimised builds (where libstdc++ once raised a false
# -Wrestrict); the tests are built and run by the normal build. The sources
# are compiled in batches (a unity build): every line is still compiled and
# warned about, in half the time; the normal build compiles each file alone.
#
#   scripts/check_builds.sh                       # all eight
#   scripts/check_builds.sh gcc-Debug clang-Release
#   scripts/check_builds.sh --check build         # hardening-check an existing build
set -euo pipefail
cd "$(dirname "$0")/.."

command -v hardening-check >/dev/null || { echo "check_builds.sh: hardening-check is missing (devscripts)" >&2; exit 1; }

# check DIR TYPE: hardening-check on the executable and shipped plug-ins.
# Debian 12's C library start files carry no control-flow property, so no
# program linked on it shows one, whatever it was compiled with; fortified
# functions need optimisation, which Debug does not have.
check() {
  local dir=$1 type=$2 report
  local skip=(--nocfprotection)
  [ "$type" = Debug ] && skip+=(--nofortify)
  local files=("$dir"/kestivane "$dir"/kestivane_*_plugin.so)
  [ ${#files[@]} -ge 2 ] && [ -f "${files[1]}" ] || { echo "FAIL: no executable or plug-in in $dir"; return 1; }
  if ! report=$(hardening-check "${skip[@]}" "${files[@]}" 2>&1); then
    echo "FAIL: hardening-check in $dir:"; echo "$report"; return 1
  fi
}

if [ "${1:-}" = --check ]; then
  dir=${2:?usage: $0 --check BUILD_DIR}
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  check "$dir" "$type" && echo "ok: hardening-check $dir ($type)"
  exit
fi

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=({gcc,clang}-{Release,RelWithDebInfo,Debug,MinSizeRel})

mkdir -p build-matrix
failed=0
for build in "${builds[@]}"; do
  compiler=${build%%-*} type=${build#*-}
  targets=(kestivane kestivane_shipped_plugins)
  case $compiler in
    gcc) cc=gcc cxx=g++
         [ "$type" = Debug ] || targets+=(kestivane_bench_loadgen kestivane_bench_responder) ;;
    clang) cc=clang cxx=clang++ ;;
    *) echo "check_builds.sh: unknown compiler in $build" >&2; exit 2 ;;
  esac
  dir="build-matrix/$build" started=$SECONDS
  if ! CC=$cc CXX=$cxx cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DKESTIVANE_WERROR=ON \
         -DKESTIVANE_TESTS=OFF -DCMAKE_UNITY_BUILD=ON >"$dir.log" 2>&1 ||
     ! cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}" >>"$dir.log" 2>&1; then
    echo "FAIL: $compiler $type does not build:"; tail -n 30 "$dir.log"; failed=1; continue
  fi
  if check "$dir" "$type"; then echo "ok: $compiler $type ($((SECONDS - started)) s)"; else failed=1; fi
done
exit $failed
