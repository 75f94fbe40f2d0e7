#!/usr/bin/env bash
# What an image run costs against the image's size: a whole run (--answer yes --no-backup) on the example
# machine's disk image as a sparse raw image of 64 MB, 2 GB and 8 GB, and as a 2 GB qcow2 and VDI image
# (qemu-img convert of the 2 GB one). Prints, for each, the run's wall time (the median of five runs, each
# on a fresh copy) against the 64 MB run, and the space the image takes on disk before and after the run.
# Then what a Windows folder of a real installation's size costs (bench/realistic_image_bench.sh).
# Usage: bash bench/image_bench.sh [path-to-cmpci-uninstall]  (default: build/default/cmpci-uninstall)
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=${1:-$source_dir/build/default/cmpci-uninstall}
[ -x "$tool" ] || { echo "image_bench.sh: build the offline program first ($tool)" >&2; exit 2; }
for command in qemu-img mkfs.fat mcopy sfdisk; do
    command -v $command >/dev/null || { echo "image_bench.sh: $command is missing (qemu-utils, dosfstools, mtools, fdisk)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The records of the image runs' rollback journals stay in the work folder, not in the user's home.
export XDG_STATE_HOME=$work/state

bash "$source_dir/examples/make_disk_image.sh" "$work/64M.img" fat32 --size 64
bash "$source_dir/examples/make_disk_image.sh" "$work/2G.img" fat32 --size 2048
bash "$source_dir/examples/make_disk_image.sh" "$work/8G.img" fat32 --size 8192
qemu-img convert -O qcow2 "$work/2G.img" "$work/2G.qcow2"
qemu-img convert -O vdi "$work/2G.img" "$work/2G.vdi"

allocated() { echo $(($(stat -c %b "$1") * $(stat -c %B "$1"))); }
megabytes() { awk -v b="$1" 'BEGIN { printf "%.2f MB", b / 1048576 }'; }

# run IMAGE: the median wall time of five runs, each on a fresh sparse copy; $work/after: the last copy's
# allocation.
run() {
    local times=() round start end copy=$work/run.${1##*.}
    for round in 1 2 3 4 5; do
        rm -f "$copy"
        cp --sparse=always "$1" "$copy"
        allocated "$copy" >"$work/before"
        sync
        start=$(date +%s%N)
        "$tool" --image "$copy" --answer yes --no-backup </dev/null >/dev/null 2>&1 || { echo "the run on $1 failed" >&2; exit 1; }
        end=$(date +%s%N)
        times+=($(((end - start) / 1000000)))
    done
    allocated "$copy" >"$work/after"
    printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

printf '%-12s %10s %12s %14s %14s %12s\n' image "run (ms)" "x 64 MB run" "on disk before" "on disk after" growth
base=
for image in 64M.img 2G.img 8G.img 2G.qcow2 2G.vdi; do
    ms=$(run "$work/$image")
    before=$(cat "$work/before")
    [ -n "$base" ] || base=$ms
    after=$(cat "$work/after")
    printf '%-12s %10s %12s %14s %14s %12s\n' "$image" "$ms" "$(awk -v a="$ms" -v b="$base" 'BEGIN { printf "%.2f", a / b }')" \
        "$(megabytes "$before")" "$(megabytes "$after")" "$(megabytes $((after - before)))"
done

echo
bash "$source_dir/bench/realistic_image_bench.sh" "$tool"
