#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit and
# end-to-end suites in the normal build, the other build types with both
# compilers (hardening checked), both suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded paths under load once under
# ThreadSanitizer, and each fuzz target for a short bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTIVANE_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure)

# Every build type with both compilers builds, warnings as errors, and the
# executable and shipped plug-ins carry the hardening (the package test
# above runs lintian on the package). The normal build is the GCC
# RelWithDebInfo one.
bash scripts/check_builds.sh --check build
bash scripts/check_builds.sh gcc-Release gcc-Debug gcc-MinSizeRel \
    clang-Release clang-RelWithDebInfo clang-Debug clang-MinSizeRel

# The package test builds a package of its own and the soak judges memory,
# which the sanitizer's quarantine inflates: both are left to the normal run.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTIVANE_SANITIZE=ON -DKESTIVANE_WERROR=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -E '^e2e_test_(deb_package|flood_soak)$')

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTIVANE_TSAN=ON -DKESTIVANE_WERROR=ON
cmake --build build-tsan -j"$jobs" --target kestivane kestivane_queue_probe_plugin \
    kestivane_bench_loadgen kestivane_bench_responder
(cd build-tsan && ctest --output-on-failure -R '^e2e_test_(tsan|interface_faults|reload)$')

bash scripts/fuzz.sh 15
