#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer (the tsan preset, build-tsan/) and runs them in two groups:
#  - the programs that load neither Qt nor libudev nor umockdev (base, link, dload, diag, stream
#    and emulator tests: the log, the emulator's threads, the protocol code): no suppressions;
#  - the others, which load Qt, libudev or umockdev (app tests with the worker, device return and
#    console display; discovery, testbed and dialog tests): with tests/tsan.supp, which names those
#    libraries and nothing of ours. The mocked serial ports go through umockdev's own socket here
#    (FWUP_TESTBED_SOCKET_IO): with the preload that reads and writes them directly, under this
#    sanitizer, the program's requests to a port that arrived during its run never reach the
#    emulated modem (its transcript shows none), so whole runs fail at the flash programmer's
#    hello. The reliability tests run the sanitizer builds' subset, as under AddressSanitizer.
# Any report fails the test that made it (its exit status becomes 66). FWUP_SKIP_INSTALL=1 skips the
# package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset tsan
cmake --build --preset tsan

plain='^(base|link|dload|diag|stream)\.|^([A-Za-z]+/)?Emulator'
common="second_deadlock_stack=1 history_size=4"
mkdir -p build-tsan/reports

# Runs one group; a test that failed without any sanitizer report (a time limit missed under the
# sanitizer's slowdown on a busy machine) is run once more, alone. A report is never given a second
# try: it fails the group whenever it shows.
run_group() {
    local name=$1 options=$2
    shift 2
    local log=build-tsan/reports/$name.log
    echo "== ThreadSanitizer: $name"
    local ok=1
    TSAN_OPTIONS="$options" ctest --preset tsan "$@" >"$log" 2>&1 || ok=0
    tail -3 "$log"
    if [ $ok = 0 ] && ! grep -q "WARNING: ThreadSanitizer" "$log"; then
        echo "== failed without a report: once more, one test at a time"
        ok=1
        TSAN_OPTIONS="$options" ctest --preset tsan --rerun-failed -j1 >>"$log" 2>&1 || ok=0
        tail -3 "$log"
    fi
    if grep -q "WARNING: ThreadSanitizer" "$log"; then
        grep -B2 -A40 "WARNING: ThreadSanitizer" "$log" | head -200
        ok=0
    fi
    [ $ok = 1 ]
}

status=0
run_group plain "$common" -R "$plain" || status=1
export FWUP_TESTBED_SOCKET_IO=1
run_group with-suppressions "$common suppressions=$PWD/tests/tsan.supp" -E "$plain" || status=1
exit $status
