#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit and
# end-to-end suites in the normal build, the other build types with both
# compilers (hardening checked), both suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded paths under load once under
# ThreadSanitizer, and each fuzz target for a short bounded time.
#
# Each step ends with a line "step: NAME N s"; the steps' times are summed
# up once more at the end, failed or not.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
summary=()
started=$SECONDS
finish() {
  local rc=$?
  echo "---- steps"
  local line
  for line in "${summary[@]}"; do echo "$line"; done
  echo "total: $((SECONDS - started)) s, status $rc"
}
trap finish EXIT
# step NAME COMMAND...: runs the command and records its time.
step() {
  local name=$1 t=$SECONDS
  shift
  echo "==== $name"
  if "$@"; then
    summary+=("step: $name $((SECONDS - t)) s")
    echo "step: $name $((SECONDS - t)) s"
  else
    local rc=$?
    summary+=("step: $name FAILED after $((SECONDS - t)) s")
    exit $rc
  fi
}

step deps bash scripts/deps.sh

# The normal build compiles every source file on its own; the other builds
# compile them in batches (unity builds), which is faster and still sees
# every line, and this one proves each file stands alone.
step build bash -c "cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTIVANE_WERROR=ON &&
                    cmake --build build -j$jobs"
# Unit tests run side by side; the end-to-end ones are RUN_SERIAL, each alone,
# as they time what they measure.
step test bash -c "cd build && ctest --output-on-failure -j$jobs"

# Every build type with both compilers builds, warnings as errors, and the
# executable and shipped plug-ins carry the hardening (the package test
# above runs lintian on the package). The normal build is the GCC
# RelWithDebInfo one.
step hardening bash scripts/check_builds.sh --check build
step build-matrix bash scripts/check_builds.sh gcc-Release gcc-Debug gcc-MinSizeRel \
    clang-Release clang-RelWithDebInfo clang-Debug clang-MinSizeRel

# The package test builds a package of its own and the soak judges memory,
# which the sanitizer's quarantine inflates: both are left to the normal run.
step build-asan bash -c "cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTIVANE_SANITIZE=ON \
                           -DKESTIVANE_WERROR=ON -DCMAKE_UNITY_BUILD=ON &&
                         cmake --build build-asan -j$jobs"
step test-asan bash -c "cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j$jobs -E '^e2e_test_(deb_package|flood_soak)\$'"

step build-tsan bash -c "cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTIVANE_TSAN=ON \
                           -DKESTIVANE_WERROR=ON -DCMAKE_UNITY_BUILD=ON &&
                         cmake --build build-tsan -j$jobs --target kestivane kestivane_queue_probe_plugin \
                           kestivane_bench_loadgen kestivane_bench_responder"
step test-tsan bash -c "cd build-tsan && ctest --output-on-failure -R '^e2e_test_(tsan|interface_faults|reload)\$'"

step fuzz bash scripts/fuzz.sh 15
