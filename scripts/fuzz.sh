#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan, coverage) in build-fuzz
# and runs each for a bounded time on a fresh copy of its seed corpus
# (tests/fuzz/corpus/<target>/). The first argument is the time per target
# in seconds (default 15). Fails when a target finds a crash, a sanitizer
# report, a leak, a broken invariant or a hang; the input is then in
# build-fuzz/fuzz-artifacts/ and the target's output in build-fuzz/fuzz-logs/.
#
#   scripts/fuzz.sh          # about 45 seconds on two cores, as the test script runs it
#   scripts/fuzz.sh 600      # ten minutes per target
#
# fuzz_config enters a network namespace of its own (it needs root, or
# unprivileged user namespaces); where that is not possible it is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-15}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: $0 [seconds per target]" >&2; exit 2; }
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is not installed (scripts/deps.sh installs it)" >&2; exit 1; }

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DKESTIVANE_FUZZ=ON -DKESTIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_targets

work="$build/fuzz-work" logs="$build/fuzz-logs" artifacts="$build/fuzz-artifacts"
rm -rf "$work" "$logs"
mkdir -p "$work" "$logs" "$artifacts"

# run TARGET: one bounded run; its verdict goes to its log directory, to be
# printed in order once every run has ended.
run() {
    local target=$1 log="$logs/$1.log" verdict="$logs/$1.verdict"
    mkdir -p "$work/$target"
    cp tests/fuzz/corpus/"$target"/* "$work/$target/"
    # Standard input is the null device: a configuration input may name
    # /dev/stdin as a servers file, and must not wait for a terminal.
    if "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$work/$target" </dev/null >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1)
        echo "$target: ok, $runs runs in ${seconds}s, $cov" > "$verdict"
    else
        { echo "$target: FAILED (log: $log)"
          grep -E 'INVARIANT VIOLATED|ERROR:|SUMMARY:|Test unit written' "$log" | head -20 || tail -30 "$log"
        } > "$verdict"
        return 1
    fi
}

# A target is one process on one core: as many run at once as there are
# cores, each for the whole time it is given.
targets=(fuzz_options fuzz_request fuzz_answer fuzz_config fuzz_relay6)
if ! unshare -n true 2>/dev/null && ! unshare -Urn true 2>/dev/null; then
    echo "fuzz_config: skipped (no network namespace can be made here)"
    targets=(fuzz_options fuzz_request fuzz_answer fuzz_relay6)
fi
slots=$(nproc)
failed=0
running=0
for target in "${targets[@]}"; do
    if [ $running -ge "$slots" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    run "$target" &
    running=$((running + 1))
done
while [ $running -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
for target in "${targets[@]}"; do
    cat "$logs/$target.verdict" 2>/dev/null || { echo "$target: no verdict (log: $logs/$target.log)"; failed=1; }
done
exit $failed
