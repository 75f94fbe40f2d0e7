#!/usr/bin/env bash
# A lab's worth of images at once: COUNT small disk images of the example machine (FAT16, 16 MB; raw, qcow2
# and VDI in turn, every second with the card), cleaned with GNU parallel through examples/batch_run.sh
# (--no-backup) at -j1 and at -j2, each time on fresh copies; then a fifth of them at -j2 through --sshlogin
# on an OpenSSH server started on the loopback address (tests/e2e/ssh_lab.sh), each image sent, cleaned,
# returned with its run's folder and removed from the host, as a lab with several hosts would clean them.
# Prints, for each, the wall time and the images cleaned per second, and checks the report: every image
# cleaned or with nothing to do, none refused. The ssh row says why when the server cannot start.
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
. "$source_dir/tests/e2e/ssh_lab.sh"
work=$(mktemp -d)
trap 'stop_ssh_lab; rm -rf "$work"' EXIT
# The records of the image runs' rollback journals stay in the work folder, not in the user's home.
export XDG_STATE_HOME=$work/state
mkdir "$work/bases" "$work/master"
batch_bases "$source_dir" "$tool" "$work/bases"
for n in $(seq 1 "$count"); do
    batch_image "$work/bases" "$n" "$work/master/$(printf '%04d' "$n")" >/dev/null
done

# batch JOBS IMAGES [ssh]: one batch on fresh copies of the first IMAGES images, timed, its report checked,
# its row printed.
batch() {
    local images=$2
    rm -rf "$work/lab" "$work/runs" "$work/host"
    mkdir -p "$work/lab" "$work/runs" "$work/host" "$work/state"
    find "$work/master" -type f | sort | head -n "$images" | xargs -I{} cp --sparse=always {} "$work/lab/"
    sync
    start=$(date +%s%N)
    if [ -z "${3:-}" ]; then
        find "$work/lab" -type f | parallel -j"$1" bash "$source_dir/examples/batch_run.sh" "$work/runs" --no-backup {}
    else
        # The host cleans each image in a folder of runs of its own, packed for the way back.
        (cd "$work/lab" && ls | PARALLEL_RSYNC_OPTS=-rlDRI parallel --sshlogin "$1/lab" --ssh "$ssh_command" --workdir "$work/host" \
            --transferfile {} --return {} --return {}.runs.tar --cleanup \
            "mkdir {}.runs && env CMPCI_UNINSTALL=$tool XDG_STATE_HOME=$work/state bash $source_dir/examples/batch_run.sh {}.runs --no-backup {}; status=\$?; tar -C {}.runs -cf {}.runs.tar . && rm -rf {}.runs; exit \$status")
        for tarball in "$work"/lab/*.runs.tar; do
            tar -C "$work/runs" -xf "$tarball" && rm -f "$tarball"
        done
    fi
    end=$(date +%s%N)
    bash "$source_dir/examples/batch_report.sh" "$work/runs" >"$work/report" ||
        { echo "batch_bench.sh: runs were refused: $(grep -m 3 refused "$work/report")" >&2; exit 1; }
    [ "$(grep -c -e ': cleaned (' -e ': nothing to do$' "$work/report")" = "$images" ] ||
        { echo "batch_bench.sh: not every image cleaned or left: $(head -n 3 "$work/report")" >&2; exit 1; }
    awk -v j="-j$1${3:+ ssh}" -v n="$images" -v ns=$((end - start)) \
        'BEGIN { s = ns / 1e9; printf "%-10s %8d %10.2f %12.1f\n", j, n, s, n / s }'
}

printf '%-10s %8s %10s %12s\n' jobs images "wall (s)" "images/s"
batch 1 "$count"
batch 2 "$count"
# Over ssh every image travels both ways and each job opens several sessions: a fifth of the images (at
# least 10) tell the rate.
if ssh_lab "$work/ssh"; then
    batch 2 $((count / 5 > 10 ? count / 5 : 10 < count ? 10 : count)) ssh
else
    printf '%-10s %s\n' "-j2 ssh" "not measured: $ssh_reason"
fi
