#!/usr/bin/env bash
# What a Windows folder of a real installation's size costs an image run: --check, a run without a backup and a
# run with one, on the bundled example machine's image (64 MB, 39 files) and on the realistic machine of
# bench/make_realistic_image.sh (about 5,500 files, 150 MB, a few hundred folders). Prints each one's wall time
# (the median of five, each run on a fresh sparse copy) and the realistic machine's against the example's. Then
# a run with a backup on the realistic machine whose driver file CMAUDIO.VXD is 600 MB: what a removed file of
# that size costs (read out of the image, digested and copied into the backup).
# Usage: bash bench/realistic_image_bench.sh [path-to-cmpci-uninstall] [--no-big]
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=$source_dir/build/default/cmpci-uninstall
big=600
for argument in "$@"; do
    case $argument in
    --no-big) big=0 ;;
    *) tool=$argument ;;
    esac
done
[ -x "$tool" ] || { echo "realistic_image_bench.sh: build the offline program first ($tool)" >&2; exit 2; }
for command in python3 mkfs.fat mcopy sfdisk; do
    command -v $command >/dev/null ||
        { echo "realistic_image_bench.sh: $command is missing (python3, dosfstools, mtools, fdisk)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The records of the image runs' rollback journals stay in the work folder, not in the user's home.
export XDG_STATE_HOME=$work/state

bash "$source_dir/examples/make_disk_image.sh" "$work/example.img" fat32
bash "$source_dir/bench/make_realistic_image.sh" "$work/realistic.img" 2>"$work/made"

# timed IMAGE ROUNDS ARGS...: the median wall time in ms of ROUNDS runs of the program with ARGS, each on a
# fresh sparse copy of IMAGE (a backup goes into a folder of its own, removed after each run).
timed() {
    local image=$1 rounds=$2 times=() round start end copy=$work/copy.img
    shift 2
    for round in $(seq "$rounds"); do
        rm -rf "$copy" "$work/backup"
        cp --sparse=always "$image" "$copy"
        sync
        start=$(date +%s%N)
        "$tool" --image "$copy" "$@" </dev/null >/dev/null 2>"$work/err"
        [ $? -le 1 ] || { echo "the run on $image failed: $(cat "$work/err")" >&2; exit 1; }
        end=$(date +%s%N)
        times+=($(((end - start) / 1000000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p"
}

echo "realistic machine: $(cat "$work/made")"
printf '%-28s %14s %16s %8s\n' "" "example (ms)" "realistic (ms)" ratio
for mode in check run backup; do
    case $mode in
    check) args=(--check) ;;
    run) args=(--answer yes --no-backup) ;;
    backup) args=(--answer yes --backup "$work/backup") ;;
    esac
    set +e
    example=$(timed "$work/example.img" 5 "${args[@]}")
    realistic=$(timed "$work/realistic.img" 5 "${args[@]}")
    set -e
    printf '%-28s %14s %16s %8s\n' "${args[*]//$work\//}" "$example" "$realistic" \
        "$(awk -v a="$realistic" -v b="$example" 'BEGIN { printf "%.1fx", a / b }')"
done

[ "$big" != 0 ] || exit 0
rm -f "$work/realistic.img"
bash "$source_dir/bench/make_realistic_image.sh" "$work/big.img" --big "$big" 2>/dev/null
set +e
ms=$(timed "$work/big.img" 3 --answer yes --backup "$work/backup")
set -e
echo "a run with a backup, CMAUDIO.VXD of $big MB: $ms ms (the median of three)"
