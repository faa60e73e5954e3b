#!/usr/bin/env bash
# The program installed as a user installs it: builds the .deb, runs lintian on it where lintian is
# installed, installs it with the install lines of the README (then again, then a higher version
# over it), reads its help, its hint without a display and its manual page, runs a whole windowless
# upgrade of the sample package with the installed program against the emulated modem (fwupgrade
# run --package DIR under mocked-modem), compares what the modem holds with the package
# (scripts/compare-dumps.sh run as a script), and removes it again, checking that nothing of it
# stays.
#   bash scripts/test-install.sh
# Needs root or sudo for apt-get; FWUP_SKIP_INSTALL=1 skips installing the build dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

fail() {
    echo "test-install: FAILED: $*" >&2
    exit 1
}

[ -n "${FWUP_SKIP_INSTALL:-}" ] || bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build --target fwupgrade packaging_pages make_sample_package mocked-modem

echo
echo "== the package =="
rm -rf build/fwupgrade_*.deb build/_CPack_Packages build/next-version
(cd build && cpack -G DEB >/dev/null)
debs=(build/fwupgrade_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "$deb (version $version)"
dpkg-deb -f "$deb" Depends
dpkg -c "$deb"
if command -v lintian >/dev/null; then
    echo "-- lintian --"
    # Errors fail the check; warnings and notes are shown.
    lintian --pedantic --display-info "$deb" || fail "lintian found errors"
fi

# A failure part way leaves no installed program behind.
installed=""
cleanup() {
    if [ -n "$installed" ] && dpkg -s fwupgrade >/dev/null 2>&1; then
        $sudo apt-get remove -y fwupgrade >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

echo
echo "== install with the README's lines, and install again =="
# The first block of the README's "Installing": what a reader pastes, as root or as a user.
readme_install=$(awk '/^## Installing/ { in_section = 1; next }
    in_section && /^    / { print substr($0, 5); seen = 1; next }
    seen { exit }' README.md)
grep -q "apt-get install" <<<"$readme_install" || fail "the README has no install lines"
[ -z "${FWUP_SKIP_INSTALL:-}" ] || readme_install=$(grep -v install-deps.sh <<<"$readme_install")
installed=yes
echo "$readme_install"
DEBIAN_FRONTEND=noninteractive bash -euo pipefail -c "$readme_install" </dev/null >/dev/null ||
    fail "the README's install lines failed"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$deb"
[ "$(dpkg-query -W -f '${Status} ${Version}' fwupgrade)" = "install ok installed $version" ] ||
    fail "fwupgrade $version is not installed"
[ "$(command -v fwupgrade)" = /usr/bin/fwupgrade ] || fail "fwupgrade is not /usr/bin/fwupgrade"
[ "$(fwupgrade --version)" = "fwupgrade ${version%%+*}" ] || fail "fwupgrade --version"
# The package holds the shipped program, not the test build that takes a time divisor.
! grep -qF FWUP_TIME_DIVISOR /usr/bin/fwupgrade || fail "/usr/bin/fwupgrade is the test build"
for file in /usr/lib/udev/rules.d/70-fwupgrade.rules /usr/share/applications/fwupgrade.desktop \
    /usr/share/icons/hicolor/scalable/apps/fwupgrade.svg /usr/share/man/man1/fwupgrade.1.gz \
    /usr/share/doc/fwupgrade/README.md /usr/share/doc/fwupgrade/settings.ini; do
    [ -f "$file" ] || fail "$file is not installed"
done

echo
echo "== fwupgrade --help =="
help=$(fwupgrade --help)
echo "$help"
# The installed program has no package beside it: its help says so and what --package is, and
# offers /usr/bin as no package folder.
grep -qF "folder that holds this program: /usr/bin/" <<<"$help" || fail "--help: the program folder"
grep -qF "That folder holds no settings.ini" <<<"$help" || fail "--help: no package beside it"
! grep -qF "/usr/bin/settings.ini" <<<"$help" || fail "--help names /usr/bin/settings.ini"
echo
echo "== fwupgrade without a display =="
hint=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM fwupgrade 2>&1) && status=0 ||
    status=$?
echo "$hint"
[ "$status" -eq 2 ] || fail "fwupgrade without a display exited with $status"
grep -qF "start it with a command line: fwupgrade --package DIR run" <<<"$hint" ||
    fail "the no-display hint gives no command that works for the installed program"
echo
echo "== man -P cat fwupgrade =="
manual=$(man -P cat fwupgrade 2>&1) || fail "man fwupgrade: $manual"
echo "$manual"
for part in "--package DIR" "--udev-rule" "download-YYYYMMDD-HHMMSS.dbg" "EXIT STATUS" "70-fwupgrade.rules"; do
    grep -qF -- "$part" <<<"$manual" || fail "the manual page does not mention $part"
done

echo
echo "== a whole upgrade with the installed program against the emulated modem =="
work=$(mktemp -d)
trap 'cleanup; rm -rf "$work"' EXIT
package="$work/package"
dumps="$work/dumps"
documents="$work/documents"
mkdir -p "$documents"
build/app/make_sample_package "$package" >/dev/null
status=0
# The name alone: mocked-modem finds the installed program in PATH, as a shell would.
(cd "$work" && XDG_DOCUMENTS_DIR="$documents" "$root/build/testbed/mocked-modem" --disk \
    --dump "$dumps" -- fwupgrade run --package "$package") || status=$?

echo
echo "== comparison of the modem's dumps with the package =="
# Run as a script, as a user would, from another folder and with relative paths.
compared=0
(cd "$work" && "$root/scripts/compare-dumps.sh" package dumps) || compared=$?
[ "$status" -eq 0 ] || fail "fwupgrade run --package exited with $status"
[ "$compared" -eq 0 ] || fail "scripts/compare-dumps.sh exited with $compared"
[ -s "$documents/download.dbg" ] || fail "no log in the documents folder"
[ ! -e "$package/download.dbg" ] || fail "the log went into the package"
echo "the log is $documents/download.dbg"

echo
echo "== upgrade to a higher version =="
next="$version+1"
(cd build && cpack -G DEB -D CPACK_PACKAGE_VERSION="$next" -B next-version >/dev/null)
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y ./build/next-version/fwupgrade_"$next"_*.deb
[ "$(dpkg-query -W -f '${Version}' fwupgrade)" = "$next" ] || fail "not upgraded to $next"

echo
echo "== remove =="
files=$(dpkg-query -L fwupgrade)
$sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y fwupgrade
installed=""
[ ! -e /usr/bin/fwupgrade ] || fail "/usr/bin/fwupgrade is still there"
while IFS= read -r file; do
    [ -d "$file" ] || [ ! -e "$file" ] || fail "$file is still there"
done <<<"$files"
rm -rf build/next-version

echo
echo "test-install: installed, upgraded, ran and removed fwupgrade in $(($(date +%s) - started)) s"
