#!/usr/bin/env bash
# A whole windowless upgrade of the Windows program under wine against the emulated modem, and the
# modem's content compared with the package, as the Linux demo does.
#   wine-upgrade.sh <Linux build> <fwupgrade.exe> <fake_devices.exe>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux_build=$1
program=$2
fake_devices=$3
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
# Every wait of the program and of the modem divided by 50: under wine a read always waits its
# whole time-out, 10 ms then.
export FWUP_TIME_DIVISOR=${FWUP_TIME_DIVISOR:-50}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$linux_build/app/make_sample_package" "$work/package"
cp "$program" "$work/package/fwupgrade.exe"
status=0
"$linux_build/tests/windows/wine_upgrade" "$work/package" "$work/dumps" "$fake_devices" || status=$?
log="$WINEPREFIX/drive_c/users/Public/Documents/download.dbg"
if [ "$status" != 0 ]; then
    echo "wine-upgrade: fwupgrade.exe ended with status $status; the end of its log:"
    tail -n 40 "$log" 2>/dev/null || true
    exit 1
fi

# shellcheck source=scripts/compare-dumps.sh
. "$here/compare-dumps.sh"
compare_dumps "$work/package" "$work/dumps"
echo "wine-upgrade: $checked checks, $failed different"
[ "$failed" = 0 ] && [ "$checked" -gt 0 ]
