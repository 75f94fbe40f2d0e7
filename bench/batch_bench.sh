#!/usr/bin/env bash
# A lab's worth of images at once: COUNT small disk images of the example machine (FAT16, 16 MB; raw, qcow2
# and VDI in turn, every second with the card), cleaned with GNU parallel through examples/batch_run.sh
# (--no-backup) at -j1 and at -j2, each time on fresh copies. Prints, for each, the wall time and the images
# cleaned per second, and checks the report: every image cleaned or with nothing to do, none refused.
# Usage: bash bench/batch_bench.sh [path-to-cmpci-uninstall] [COUNT]  (defaults: build/default/cmpci-uninstall, 100)
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=$(realpath "${1:-$source_dir/build/default/cmpci-uninstall}")
count=${2:-100}
[ -x "$tool" ] || { echo "batch_bench.sh: build the offline program first ($tool)" >&2; exit 2; }
for command in parallel qemu-img mkfs.fat mcopy sfdisk; do
    command -v $command >/dev/null ||
        { echo "batch_bench.sh: $command is missing (parallel, qemu-utils, dosfstools, mtools, fdisk)" >&2; exit 2; }
done
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null CMPCI_UNINSTALL=$tool
. "$source_dir/tests/e2e/batch_images.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The records of the image runs' rollback journals stay in the work folder, not in the user's home.
export XDG_STATE_HOME=$work/state
mkdir "$work/bases" "$work/master"
batch_bases "$source_dir" "$tool" "$work/bases"
for n in $(seq 1 "$count"); do
    batch_image "$work/bases" "$n" "$work/master/$(printf '%04d' "$n")" >/dev/null
done

printf '%-6s %8s %10s %12s\n' jobs images "wall (s)" "images/s"
for jobs in 1 2; do
    rm -rf "$work/lab" "$work/runs"
    cp -R --sparse=always "$work/master" "$work/lab"
    mkdir "$work/runs"
    sync
    start=$(date +%s%N)
    find "$work/lab" -type f | parallel -j$jobs bash "$source_dir/examples/batch_run.sh" "$work/runs" --no-backup {}
    end=$(date +%s%N)
    bash "$source_dir/examples/batch_report.sh" "$work/runs" >"$work/report" ||
        { echo "batch_bench.sh: runs were refused: $(grep -m 3 refused "$work/report")" >&2; exit 1; }
    [ "$(grep -c -e ': cleaned (' -e ': nothing to do$' "$work/report")" = "$count" ] ||
        { echo "batch_bench.sh: not every image cleaned or left: $(head -n 3 "$work/report")" >&2; exit 1; }
    awk -v j="$jobs" -v n="$count" -v ns=$((end - start)) \
        'BEGIN { s = ns / 1e9; printf "%-6s %8d %10.2f %12.1f\n", "-j" j, n, s, n / s }'
done
