#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang with the address and undefined-behaviour
# checks) and runs each for a bounded time, starting from its seed corpus in fuzz/corpus/<target>.
#   bash scripts/fuzz.sh [SECONDS]    seconds per target, 10 by default
#   bash scripts/fuzz.sh --seeds      writes the seed corpora anew (fuzz/make_seeds.cpp)
# What a run finds is added to build-fuzz/corpus/<target>, never to the repository's seeds. A
# crash, a broken invariant, a sanitizer report, a leak or an input that runs over 10 s fails the
# script; the input that did it is left in build-fuzz/findings/. FWUP_SKIP_INSTALL=1 skips the
# package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(hdlc diag efs dload stream hex_record settings link_name instance_id)

[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
if [ "${1:-}" = "--seeds" ]; then
    cmake --build --preset fuzz --target make_seeds
    build-fuzz/fuzz/make_seeds "$PWD"
    exit 0
fi
seconds=${1:-10}
cmake --build --preset fuzz

passed=0
failed=0
rm -rf build-fuzz/findings
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
    work=build-fuzz/corpus/$target
    mkdir -p "$work"
    log=build-fuzz/findings/$target.log
    if build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        passed=$((passed + 1))
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
        inputs=$(ls "$work" | wc -l)
        echo "fuzz $target: ok, $runs runs in ${seconds}s, $cov, corpus $inputs inputs"
    else
        failed=$((failed + 1))
        echo "fuzz $target: FAILED"
        grep -E 'invariant broken|ERROR|SUMMARY|Test unit written' "$log" || tail -20 "$log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" = 0 ]
