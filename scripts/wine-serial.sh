#!/usr/bin/env bash
# The Windows serial port under wine against a pseudo-terminal that echoes: the Linux side's
# pty_echo owns the terminal, a COM link in the wine prefix leads to it.
#   wine-serial.sh <Linux build> <windows_tests.exe>
set -euo pipefail
linux_build=$1
tests=$2
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
com=9
link="$WINEPREFIX/dosdevices/com$com"

coproc echo_peer { exec "$linux_build/tests/windows/pty_echo" 300; }
read -r -t 10 node <&"${echo_peer[0]}"
trap 'exec {echo_peer[1]}>&-; rm -f "$link"' EXIT
ln -sfn "$node" "$link"
FWUP_TEST_COM=$com timeout 300 "$wine" "$tests" --gtest_filter='SerialPort*' </dev/null
