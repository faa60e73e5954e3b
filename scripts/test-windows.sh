#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 into build-windows/ and runs its tests under wine.
# FWUP_SKIP_INSTALL=1 skips the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${FWUP_SKIP_INSTALL:-}" ]; then
    # The Linux side of the tests under wine (the emulated modem) needs the Linux build's packages.
    bash scripts/install-deps.sh
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build
fi

# A wine prefix of the build's own, quiet, without the installers wine offers on a first start,
# and with the null display driver, so windows and message boxes work without an X server.
export WINEPREFIX="$PWD/build-windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 120 "$wine" wineboot -i </dev/null >/dev/null 2>&1
    timeout 60 "$server" -w
fi
timeout 30 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1

# One wine server for the whole run: each program then starts in a fraction of a second. Its
# standard streams go nowhere, or ctest would wait on them.
"$server" -p </dev/null >/dev/null 2>&1 &
trap '"$server" -k >/dev/null 2>&1 || true' EXIT
timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

# The Linux side of the tests under wine: the emulated modem and its helpers.
[ -d build ] || cmake --preset default
cmake --build build --target make_sample_package wine_upgrade pty_echo

cmake --preset windows -DFWUP_LINUX_BUILD="$PWD/build"
cmake --build --preset windows

# The release zip: fwupgrade.exe, the commented settings.sample.ini and README.txt for Windows
# users. Never a settings.ini: copied over a package, it would replace the package's own.
cmake --build --preset windows --target windows_zip
zip=$(ls "$PWD"/build-windows/fwupgrade-*-windows.zip)
listing=$(cmake -E tar tf "$zip")
for file in fwupgrade.exe settings.sample.ini README.txt; do
    grep -q "/$file\$" <<<"$listing" || { echo "$zip lacks $file"; exit 1; }
done
if grep -qi "/settings\.ini\$" <<<"$listing"; then echo "$zip holds a settings.ini"; exit 1; fi
echo "test-windows: $zip holds" $listing
unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$zip")
# README.txt tells which driver makes the modem's ports appear and where to see them.
for part in "USB serial driver" "usbser" '"Ports (COM & LPT)"' "Device Manager"; do
    grep -qF "$part" "$unpacked"/fwupgrade-*/README.txt || { echo "README.txt lacks $part"; exit 1; }
done
# The zip holds the shipped program, not the test build that takes a time divisor.
if grep -qF FWUP_TIME_DIVISOR "$unpacked"/fwupgrade-*/fwupgrade.exe; then
    echo "the zip's fwupgrade.exe is the test build"
    exit 1
fi
# The stripped program of the zip runs as it is.
timeout 60 "$wine" "$unpacked"/fwupgrade-*/fwupgrade.exe --version </dev/null
rm -rf "$unpacked"

# A test whose wine process fails to start ends in a few milliseconds with no output at all: it is
# given a second start. A test that fails for what it checks fails both times.
ctest --preset windows --repeat until-pass:2
