#!/usr/bin/env bash
# Past one machine: a handful of images cleaned through GNU parallel's --sshlogin on an OpenSSH server that
# this test starts on the loopback address (its own port, host key and user key, made here), as a lab with
# several hosts would clean them. Each image is sent to the host (--transferfile), cleaned there through
# examples/batch_run.sh, then it and its run's folder (journal, messages, status) come back (--return) and the
# host's copies are removed (--cleanup). Then, as the local batch test: every image with the card is cleaned
# (fsck.fat, mtools, the reference run's registry files), every other one is byte for byte as it was, the
# report says so line by line, every journal names the host's copy of its image, and nothing is left on the
# host.
# Exits 77 (skipped) when the server cannot start here, with the reason.
# Usage: batch_ssh_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$(realpath "$2")" parallel rsync ssh ssh-keygen mcopy mdir mkfs.fat fsck.fat sfdisk qemu-img
program=$(realpath "$1")
. "$(dirname "$0")/batch_images.sh"
. "$(dirname "$0")/ssh_lab.sh"
count=6
mkdir -p "$work/state" "$work/host"

# --- The server, stopped when the script exits.
ssh_lab "$work/ssh" || { echo "batch_ssh_test.sh: skipped: $ssh_reason"; exit 77; }
trap 'stop_ssh_lab; rm -rf "$work"' EXIT

# --- The images: raw, qcow2 and VDI in turn, every second with the card.
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR" "$work/bases" "$work/lab" "$work/runs"
reference "$program" "$source/examples/machine-dat"
batch_bases "$source" "$program" "$work/bases" || fail "cannot make the base images"
keys=$(list_keys "$source" | wc -l)
files=$(list_files "$source" | wc -l)
for n in $(seq 1 $count); do
    batch_image "$work/bases" "$n" "$work/lab/$(printf '%03d' "$n")" >/dev/null || fail "cannot make image $n"
done
(cd "$work/lab" && ls >"$work/list" && sha256sum -- * >"$work/before")

# --- The batch: the host cleans each image in its own folder of runs, packed for the way back.
remote="env CMPCI_UNINSTALL=$program XDG_STATE_HOME=$work/state bash $source/examples/batch_run.sh"
(cd "$work/lab" && PARALLEL_RSYNC_OPTS=-rlDRI parallel --sshlogin "2/lab" --ssh "$ssh_command" --workdir "$work/host" \
    --transferfile {} --return {} --return {}.runs.tar --cleanup \
    "mkdir {}.runs && $remote {}.runs --no-backup {}; status=\$?; tar -C {}.runs -cf {}.runs.tar . && rm -rf {}.runs; exit \$status" \
    <"$work/list") || fail "GNU parallel counts $? failed runs"
for tarball in "$work"/lab/*.runs.tar; do
    tar -C "$work/runs" -xf "$tarball" || fail "$(basename "$tarball") does not unpack"
    rm -f "$tarball"
done
# --cleanup removes the host's copies, and the folders they leave empty.
[ ! -e "$work/host" ] || [ -z "$(ls -A "$work/host")" ] || fail "the host keeps copies: $(ls -A "$work/host")"

# --- The report and the images, read back here.
bash "$source/examples/batch_report.sh" "$work/runs" >"$work/report" || fail "the report finds a refused run"
while read -r image; do
    if [ $((10#${image:0:3} % 2)) = 0 ]; then
        echo "$image: cleaned ($keys keys, $files files removed)"
    else
        echo "$image: nothing to do"
    fi
done <"$work/list" >"$work/expected"
diff "$work/expected" "$work/report" >"$work/diff" || fail "the report: $(head -n 6 "$work/diff")"
while read -r image; do
    if [ $((10#${image:0:3} % 2)) = 0 ]; then
        raw=$work/lab/$image
        [ "${image%.img}" = "$image" ] && raw=$work/readback.img && qemu-img convert -O raw "$work/lab/$image" "$raw"
        cleaned "$image" "$raw"
        rm -f "$work/readback.img"
    else
        [ "$(cd "$work/lab" && sha256sum -- "$image")" = "$(grep -F " $image" "$work/before")" ] ||
            fail "$image changed"
    fi
done <"$work/list"
# A journal names the image as the run found it: the host's copy.
for run in "$work"/runs/run.*; do
    head -n 1 "$run/journal.jsonl" | grep -q -F "\"image\":\"$work/host/$(cat "$run/image")\"" ||
        fail "$(basename "$run"): its journal names another image: $(head -n 1 "$run/journal.jsonl")"
done
[ "$(ls -d "$work"/runs/run.* | wc -l)" = $count ] || fail "not one run folder for each of the $count images"

finish "batch over ssh"
