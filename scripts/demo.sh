#!/usr/bin/env bash
# The whole road of an upgrade against the emulated modem, with the program's real timings:
# installs the build dependencies, builds, writes a sample firmware package beside a copy of the
# program and seals it, plugs the emulated modem into a mocked USB bus in its normal mode, runs a
# windowless upgrade (copy, switch to download mode, programmer upload, partition table, four
# images, reset, return), then compares what the modem holds with the package.
#   bash scripts/demo.sh
# FWUP_SKIP_INSTALL=1 skips the package installation; FWUP_DEMO_BUILD=<folder> builds there
# instead of in build/ (the default preset).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
build=${FWUP_DEMO_BUILD:-}
if [ -z "$build" ]; then
    cmake --preset default >/dev/null
    build=build
else
    cmake -S . -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target fwupgrade make_sample_package demo_device

demo="$root/$build/demo"
package="$demo/package"
dumps="$demo/dumps"
rm -rf "$demo"
mkdir -p "$demo"
"$build/app/make_sample_package" "$package"
cp "$build/app/fwupgrade" "$package/"
# Sealed as a package author would, and verified as whoever receives it would.
"$package/fwupgrade" --seal "$package"
(cd "$package" && sha256sum --quiet --strict -c SHA256SUMS)

echo
echo "== upgrade =="
status=0
"$build/app/demo_device" "$package" "$dumps" || status=$?

echo
echo "== comparison of the modem's dumps with the package =="
# shellcheck source=scripts/compare-dumps.sh
. "$root/scripts/compare-dumps.sh"
compare_dumps "$package" "$dumps"
efs="$dumps/efs"
if [ -e "$efs/home/old" ]; then
    printf '  DIFFERENT  /home/old still on the modem\n'
    failed=$((failed + 1))
fi

echo
echo "log: $package/download.dbg"
if [ "$status" -eq 0 ] && [ "$failed" -eq 0 ]; then
    echo "RESULT: upgrade succeeded; all $checked checks match the package"
    exit 0
fi
echo "RESULT: FAILED (fwupgrade exit status $status; $failed of $checked checks differ)"
exit 1
