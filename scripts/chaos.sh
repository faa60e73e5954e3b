#!/usr/bin/env bash
# The chaos test over any number of seeds: whole windowless runs against the emulated modem, each
# with one to three faults drawn from its seed (every fault kind, at any request of any mode), each
# held to ending within the bound in success with the modem holding the package, or in failure
# naming the stage and the reason. Every run prints its seed and its schedule; the tally at the end
# counts the successes, the failures by stage, the broken runs and the time.
#   bash scripts/chaos.sh [RUNS [FIRST_SEED]]     (20 runs from seed 1 when not given)
# FWUP_TIME_DIVISOR=10 FWUP_CHAOS_SEED=S FWUP_CHAOS_RUNS=1 build/tests/app/reliability_tests
# --gtest_filter='Seeds/Chaos.*' replays seed S alone (bash scripts/chaos.sh 1 S too).
# FWUP_SKIP_INSTALL=1 skips the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
first=${2:-1}
[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target reliability_tests
log=build/chaos-$first-$((first + runs - 1)).log
status=0
FWUP_TIME_DIVISOR=10 FWUP_CHAOS_RUNS="$runs" FWUP_CHAOS_SEED="$first" \
  build/tests/app/reliability_tests --gtest_filter='Seeds/Chaos.*' >"$log" 2>&1 || status=$?
grep '^\[ chaos \]' "$log" || true
echo "== $runs seeds from $first (the whole output: $log)"
# Lines "[ chaos ] seed S | END | T ms[ | PROPERTY BROKEN]".
awk -F' [|] ' '/^\[ chaos \] seed [0-9]+ [|] / {
    n++; split($3, t, " "); total += t[1]
    if (t[1] > longest) { longest = t[1]; slowest = $1 }
    if ($2 == "success") ok++; else ends[$2]++
    if ($4 == "PROPERTY BROKEN") { broken++; seeds = seeds " " substr($1, 16) }
  }
  END {
    printf "successes: %d of %d\n", ok, n
    for (e in ends) printf "%s: %d\n", e, ends[e] | "sort"
    close("sort")
    printf "property broken: %d%s\n", broken, broken ? " (seeds" seeds ")" : ""
    printf "total: %.1f s, longest: %.1f s (%s)\n", total / 1000, longest / 1000, substr(slowest, 11)
  }' "$log"
exit $status
