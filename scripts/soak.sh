#!/usr/bin/env bash
# The full soak: 50 whole upgrades one after the other in one process against the emulated modem
# (time scaled by 10), each held to the modem holding exactly that run's package; the open
# descriptors and the resident memory at the first and the last run are printed and must not grow.
# CI runs the same test with 5 runs.
#   bash scripts/soak.sh [RUNS]
# FWUP_SKIP_INSTALL=1 skips the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target reliability_tests
FWUP_TIME_DIVISOR=10 FWUP_SOAK_RUNS="${1:-50}" build/tests/app/reliability_tests \
  --gtest_filter='Soak.*' | grep -v '^Download ok$'
