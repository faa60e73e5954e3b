#!/usr/bin/env bash
# The program installed as a user installs it: builds the .deb, runs lintian on it where lintian is
# installed, installs it with apt (twice, then a higher version over it), reads its help and its
# manual page, runs a whole windowless upgrade of the sample package with the installed program
# against the emulated modem (fwupgrade run --package DIR under mocked-modem), compares what the
# modem holds with the package, and removes it again, checking that nothing of it stays.
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
echo "== install, and install again =="
installed=yes
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "./$deb"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$deb"
[ "$(dpkg-query -W -f '${Status} ${Version}' fwupgrade)" = "install ok installed $version" ] ||
    fail "fwupgrade $version is not installed"
[ "$(command -v fwupgrade)" = /usr/bin/fwupgrade ] || fail "fwupgrade is not /usr/bin/fwupgrade"
[ "$(fwupgrade --version)" = "fwupgrade ${version%%+*}" ] || fail "fwupgrade --version"
for file in /usr/lib/udev/rules.d/70-fwupgrade.rules /usr/share/applications/fwupgrade.desktop \
    /usr/share/icons/hicolor/scalable/apps/fwupgrade.svg /usr/share/man/man1/fwupgrade.1.gz \
    /usr/share/doc/fwupgrade/README.md /usr/share/doc/fwupgrade/settings.ini; do
    [ -f "$file" ] || fail "$file is not installed"
done

echo
echo "== fwupgrade --help =="
fwupgrade --help
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
# shellcheck source=scripts/compare-dumps.sh
. "$root/scripts/compare-dumps.sh"
compare_dumps "$package" "$dumps"
[ "$status" -eq 0 ] || fail "fwupgrade run --package exited with $status"
[ "$failed" -eq 0 ] || fail "$failed of $checked checks differ"
[ -s "$documents/download.dbg" ] || fail "no log in the documents folder"
[ ! -e "$package/download.dbg" ] || fail "the log went into the package"
echo "all $checked checks match the package; the log is $documents/download.dbg"

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
