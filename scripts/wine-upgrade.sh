#!/usr/bin/env bash
# A whole upgrade of the Windows program under wine against the emulated modem, and the modem's
# content compared with the package, as the Linux demo does.
#   wine-upgrade.sh <Linux build> <fwupgrade_test_build.exe> <fake_devices.exe> [<dialog_driver.exe>]
# The program is the test build (the shipped one ignores FWUP_TIME_DIVISOR); it runs as
# fwupgrade.exe in the package folder.
# Without the driver the upgrade runs without a window ("fwupgrade.exe run"). With it the program
# starts without arguments and its dialog runs the upgrade, while the driver, in a process of its
# own, answers the dialog's boxes as a user would and checks what the dialog shows.
# FWUP_SHOT=<file.png> (dialog runs on a real display only) takes a screenshot of the dialog while
# the firmware image is written, FWUP_SHOT_END=<file.png> one while "Download ok" is up, with
# ImageMagick's import.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux_build=$1
program=$2
fake_devices=$3
driver=${4:-}
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
# Every wait of the program and of the modem divided by 50: under wine a read always waits its
# whole time-out, 10 ms then.
export FWUP_TIME_DIVISOR=${FWUP_TIME_DIVISOR:-50}
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$linux_build/app/make_sample_package" "$work/package"
cp "$program" "$work/package/fwupgrade.exe"

# The driver's lines go to its report; a "shot" or "shot-end" line is the moment for a
# screenshot, and the driver waits for a line on its input once the shot is taken.
drive() {
    mkfifo "$work/taken"
    exec 3<>"$work/taken"
    "$wine" "$driver" ${FWUP_SHOT:+--shot} ${FWUP_SHOT_END:+--shot-end} <&3 |
        while IFS= read -r line; do
            line=${line%$'\r'}
            case $line in
                "shot "* | "shot-end "*)
                    read -r tag x y w h <<<"$line"
                    file=$FWUP_SHOT
                    [ "$tag" = shot ] || file=$FWUP_SHOT_END
                    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$file"
                    echo "screenshot: $file"
                    echo taken >&3 ;;
                *) echo "$line" ;;
            esac
        done
}

mode=()
if [ -n "$driver" ]; then
    drive >"$work/driver.txt" 2>&1 &
    driver_pid=$!
    mode=(--dialog)
fi
status=0
"$linux_build/tests/windows/wine_upgrade" "$work/package" "$work/dumps" "$fake_devices" \
    "${mode[@]}" || status=$?
if [ -n "$driver" ]; then
    driver_status=0
    wait "$driver_pid" || driver_status=$?
    cat "$work/driver.txt"
    [ "$driver_status" = 0 ] || status=1
fi
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
