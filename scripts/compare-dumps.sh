#!/usr/bin/env bash
# Compares what the emulated modem holds after a run (the dumps that demo_device and
# "mocked-modem --dump" write) with the firmware package. Run as a script, from any folder:
#   scripts/compare-dumps.sh <package folder> <dump folder>
# prints one line per check and a summary; exit status 0 when everything matches, 1 when something
# differs, 2 when a folder is missing. Sourced by demo.sh, wine-upgrade.sh and test-install.sh:
#   compare_dumps <package folder> <dump folder>
# prints one line per check and leaves the counts in $checked and $failed.

same() {  # same <expected file> <dumped file> <what>
    checked=$((checked + 1))
    if [ -f "$2" ] && cmp -s "$1" "$2"; then
        printf '  same       %s\n' "$3"
    else
        printf '  DIFFERENT  %s\n' "$3"
        failed=$((failed + 1))
    fi
}

compare_dumps() {
    local package=$1 dumps=$2
    local efs="$dumps/efs" flash="$dumps/flash" fw="$package/VELMOR"
    local file rel dir stem name target link
    checked=0
    failed=0

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
}

# Run, not sourced: compare and say so in the exit status.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    if [ "$#" -ne 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
        echo "usage: $0 <package folder> <dump folder> (both must exist)" >&2
        exit 2
    fi
    compare_dumps "${1%/}" "${2%/}"
    if [ "$checked" -eq 0 ] || [ "$failed" -ne 0 ]; then
        echo "compare-dumps: $failed of $checked checks differ" >&2
        exit 1
    fi
    echo "compare-dumps: all $checked checks match the package"
fi
