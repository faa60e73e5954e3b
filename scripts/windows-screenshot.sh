#!/usr/bin/env bash
# Takes docs/dialog-windows.png and docs/dialog-windows-end.png, the Windows program's dialog in
# the middle of a run and at its end, while "Download ok" is up: a whole
# dialog run under wine against the emulated modem (scripts/wine-upgrade.sh with the dialog
# driver) on a virtual X display with wine's own X11 display driver, in a wine prefix of its own
# (the tests' prefix has the null display driver, which draws nothing). Needs the builds that
# scripts/test-windows.sh makes, Xvfb, ImageMagick and wine's own fonts (apt-get install xvfb xauth
# imagemagick fonts-wine).
#   windows-screenshot.sh [<middle.png> [<end.png>]]
set -euo pipefail
cd "$(dirname "$0")/.."
shot=$(realpath -m "${1:-docs/dialog-windows.png}")
shot_end=$(realpath -m "${2:-docs/dialog-windows-end.png}")
export WINEPREFIX="$PWD/build-windows/wineprefix-display"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 120 "$wine" wineboot -i </dev/null >/dev/null 2>&1
fi
# Xvfb has no window manager: wine draws the dialog's frame and title bar itself.
timeout 30 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f \
    </dev/null >/dev/null 2>&1
# The prefix's desktop belongs to the display its wine server began with: the server started
# above, without a display, must be gone before the run starts on the virtual one.
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
timeout 60 "$server" -w
rm -f "$shot" "$shot_end"
xvfb-run -a -s "-screen 0 1024x768x24" env FWUP_SHOT="$shot" FWUP_SHOT_END="$shot_end" \
    bash scripts/wine-upgrade.sh build build-windows/app/fwupgrade_test_build.exe \
    build-windows/tests/windows/fake_devices.exe build-windows/tests/windows/dialog_driver.exe
[ -s "$shot" ] && [ -s "$shot_end" ] && echo "windows-screenshot: $shot $shot_end"
