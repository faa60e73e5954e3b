#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
$sudo apt-get update
# shellcheck disable=SC2046
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    $(grep -v '^#' "$here/packages.txt")
# The mocked device's event sender aborts when a listener's queue is full; give it room.
$sudo sysctl -q -w net.unix.max_dgram_qlen=512 || true
