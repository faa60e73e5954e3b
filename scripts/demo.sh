#!/usr/bin/env bash
# The whole road of an upgrade against the emulated modem, with the program's real timings:
# installs the build dependencies, builds, writes a sample firmware package beside a copy of the
# program, plugs the emulated modem into a mocked USB bus in its normal mode, runs a windowless
# upgrade (copy, switch to download mode, programmer upload, partition table, four images, reset,
# return), then compares what the modem holds with the package.
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

echo
echo "== upgrade =="
status=0
"$build/app/demo_device" "$package" "$dumps" || status=$?

echo
echo "== comparison of the modem's dumps with the package =="
checked=0
failed=0
same() {  # same <expected file> <dumped file> <what>
    checked=$((checked + 1))
    if [ -f "$2" ] && cmp -s "$1" "$2"; then
        printf '  same       %s\n' "$3"
    else
        printf '  DIFFERENT  %s\n' "$3"
        failed=$((failed + 1))
    fi
}
efs="$dumps/efs"
flash="$dumps/flash"
fw="$package/VELMOR"

while IFS= read -r -d '' file; do
    rel=${file#"$package/home/"}
    same "$file" "$efs/home/$rel" "/home/$rel"
done < <(find "$package/home" -type f ! -name '*.link*' -print0 | sort -z)

# A file named <link>_<target with _ for />.<anything> containing ".link" describes a link.
while IFS= read -r -d '' file; do
    dir=$(dirname "${file#"$package/home"}")
    stem=$(basename "$file")
    stem=${stem%%.*}
    case "$stem" in *_*) ;; *) continue ;; esac
    name=${stem%%_*}
    target=$(printf '/%s' "${stem#*_}" | tr '_' '/')
    link="$efs/home${dir%/}/$name"
    checked=$((checked + 1))
    if [ -L "$link" ] && [ "$(readlink "$link")" = "$target" ]; then
        printf '  same       /home%s/%s -> %s\n' "${dir%/}" "$name" "$target"
    else
        printf '  DIFFERENT  /home%s/%s -> %s\n' "${dir%/}" "$name" "$target"
        failed=$((failed + 1))
    fi
done < <(find "$package/home" -type f -name '*.link*' -print0 | sort -z)

same "$package/image.iso" "$efs/image.iso" "/image.iso"
same "$package/expected/programmer.bin" "$flash/programmer-ram.bin" "programmer in memory (NPRG6280.hex)"
same "$package/expected/programmer.txt" "$flash/programmer.txt" "programmer load and start address"
same "$fw/partition.mbn" "$flash/partition.bin" "partition table"
same "$fw/qcsblhd_cfgdata.mbn" "$flash/image-2.bin" "image 2 qcsblhd_cfgdata.mbn"
same "$fw/qcsbl.mbn" "$flash/image-3.bin" "image 3 qcsbl.mbn"
same "$fw/oemsblhd.mbn" "$flash/header-4.bin" "header 4 oemsblhd.mbn"
same "$fw/oemsbl.mbn" "$flash/image-4.bin" "image 4 oemsbl.mbn"
same "$fw/amsshd.mbn" "$flash/header-5.bin" "header 5 amsshd.mbn"
same "$fw/amss.mbn" "$flash/image-5.bin" "image 5 amss.mbn"
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
