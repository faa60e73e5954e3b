#!/usr/bin/env bash
# Installs the build dependencies, builds and runs every test.
#   bash scripts/test.sh          the normal build (build/)
#   bash scripts/test.sh --asan   the AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
# FWUP_SKIP_INSTALL=1 skips the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
[ "${1:-}" = "--asan" ] && preset=asan
[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
