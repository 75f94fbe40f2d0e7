#!/usr/bin/env bash
# A lab's worth of images at once, as the README shows it: 100 small disk images of mixed formats (raw,
# qcow2, VDI), half with the card, one given twice in the list and one damaged, cleaned by GNU parallel -j2
# through examples/batch_run.sh with default backups beside the images, then summed up by
# examples/batch_report.sh. Every image with the card ends cleaned (read back from outside: fsck.fat, mtools,
# the reference run's registry files), every other one is byte for byte as it was; of the image given twice
# one run cleans it and the other is refused by the lock; the damaged one is refused with its reason; every
# journal names its own image, and every cleaned image has a backup of its own. The same with xargs -P on a
# few images.
# Usage: batch_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" parallel xargs mcopy mdir mkfs.fat fsck.fat sfdisk qemu-img
. "$(dirname "$0")/batch_images.sh"
export TMPDIR=$work/tmp CMPCI_UNINSTALL=$tool
mkdir -p "$TMPDIR" "$work/bases" "$work/lab" "$work/runs"
reference "$tool" "$source/examples/machine-dat"
batch_bases "$source" "$tool" "$work/bases" || fail "cannot make the base images"
keys=$(list_keys "$source" | wc -l)
files=$(list_files "$source" | wc -l)

# The image given twice comes first in the list, twice, so that -j2 starts both its runs at once; a driver
# file of 160 MB in its Windows folder, read out of the image and copied into the run's backup, makes its run
# last long enough that the two overlap.
slow=$work/lab/000.img
bash "$source/examples/make_disk_image.sh" "$slow" fat16 --size 256 >/dev/null || fail "cannot make the slow image"
head -c 160M /dev/zero | tr '\0' 'x' >"$work/CMAUDIO.VXD"
mcopy -o -i "$slow@@$(partition_at "$slow")" "$work/CMAUDIO.VXD" ::/WINDOWS/SYSTEM/CMAUDIO.VXD ||
    fail "cannot fill the slow image"
rm -f "$work/CMAUDIO.VXD"
printf '%s\n' "$slow" "$slow" >"$work/list"
for n in $(seq 1 98); do
    batch_image "$work/bases" "$n" "$work/lab/$(printf '%03d' "$n")" >>"$work/list" || fail "cannot make image $n"
done
# A qcow2 image cut short, as a copy that did not finish leaves it.
damaged=$work/lab/099.qcow2
qemu-img convert -O qcow2 "$work/bases/card.img" "$damaged" && truncate -s 100000 "$damaged"
echo "$damaged" >>"$work/list"
[ "$(sort -u "$work/list" | wc -l)" = 100 ] || fail "the lab is not 100 images"
(cd "$work/lab" && sha256sum -- * >"$work/before")

# --- The batch.
parallel -j2 bash "$source/examples/batch_run.sh" "$work/runs" {} <"$work/list"
failed=$?
[ $failed = 2 ] || fail "GNU parallel counts $failed failed runs, not 2 (the image given twice, the damaged one)"
bash "$source/examples/batch_report.sh" "$work/runs" >"$work/report"
[ $? = 1 ] || fail "the report does not exit 1 with runs refused"
[ "$(wc -l <"$work/report")" = 101 ] || fail "the report has $(wc -l <"$work/report") lines, not one for each of 101 runs"

# The report expected, line by line: an image with an even number holds the card.
while read -r image; do
    number=$((10#$(basename "$image" | cut -c1-3)))
    if [ "$image" = "$damaged" ]; then
        continue
    elif [ $((number % 2)) = 0 ]; then
        echo "$image: cleaned ($keys keys, $files files removed)"
    else
        echo "$image: nothing to do"
    fi
done < <(sort -u "$work/list") >"$work/expected"
echo "$slow: refused: $slow is in use by another run of cmpci-uninstall (process N); nothing was changed" >>"$work/expected"
grep -v -F "$damaged: " "$work/report" | sed -e 's/(process [0-9]*)/(process N)/' -e 's/; backup in .*//' | sort >"$work/got"
# Each cleaned image's line names a backup folder of its own beside the images.
[ "$(grep -c -E "; backup in $work/lab/cmpci-backup-[0-9-]+$" "$work/report")" = 50 ] &&
    [ "$(grep -o '; backup in .*' "$work/report" | sort -u | wc -l)" = 50 ] ||
    fail "the report does not name a backup of its own for each cleaned image: $(grep -m 3 cleaned "$work/report")"
sort "$work/expected" | diff - "$work/got" >"$work/diff" || fail "the report: $(head -n 6 "$work/diff")"
# The damaged image: refused with the program's own reason, which names it.
grep -q -E "^$damaged: refused: $damaged: .{10,}" "$work/report" ||
    fail "the damaged image is refused without its reason: $(grep -F "$damaged" "$work/report")"

# --- The images, read from outside.
cleaned_images=0
while read -r image; do
    case $(grep -F "$image: " "$work/got" | head -n 1) in
    *": cleaned "*)
        cleaned_images=$((cleaned_images + 1))
        raw=$image
        [ "${image%.img}" = "$image" ] && raw=$work/readback.img && qemu-img convert -O raw "$image" "$raw"
        cleaned "$(basename "$image")" "$raw"
        rm -f "$work/readback.img"
        ;;
    *)
        [ "$(cd "$work/lab" && sha256sum -- "$(basename "$image")")" = "$(grep -F " $(basename "$image")" "$work/before")" ] ||
            fail "$(basename "$image") changed"
        ;;
    esac
done < <(sort -u "$work/list")
[ "$cleaned_images" = 50 ] || fail "$cleaned_images images cleaned, not 50"

# Every journal names its own image; every cleaned image has one backup of its own beside it; nothing of a
# run is left behind.
for run in "$work"/runs/*; do
    if [ -f "$run/journal.jsonl" ]; then
        head -n 1 "$run/journal.jsonl" | grep -q -F "\"image\":\"$(cat "$run/image")\"" ||
            fail "$(basename "$run"): its journal names another image: $(head -n 1 "$run/journal.jsonl")"
    elif [ "$(cat "$run/status")" = 0 ]; then
        fail "$(basename "$run"): a run carried out without a journal"
    fi
done
grep -h -o '"machine": *"[^"]*"' "$work"/lab/cmpci-backup-*/manifest.json | sort -u >"$work/backed-up"
[ "$(ls -d "$work"/lab/cmpci-backup-* | wc -l)" = 50 ] && [ "$(wc -l <"$work/backed-up")" = 50 ] ||
    fail "not one backup for each cleaned image: $(ls -d "$work"/lab/cmpci-backup-* | wc -l) folders, $(wc -l <"$work/backed-up") images"
ls "$work"/lab/*.cmpci-rollback >/dev/null 2>&1 && fail "a rollback journal is left"
[ -z "$(ls -A "$TMPDIR")" ] || fail "temporary folders are left: $(ls "$TMPDIR")"

# --- xargs -P, as the README shows it, on four images.
mkdir "$work/x" "$work/xruns"
for n in 1 2 3 4; do cp --sparse=always "$work/bases/$([ $((n % 2)) = 0 ] && echo card || echo clean).img" "$work/x/$n.img"; done
find "$work/x" -name '*.img' -print0 | xargs -0 -P2 -n1 bash "$source/examples/batch_run.sh" "$work/xruns" --no-backup ||
    fail "xargs: a run failed"
bash "$source/examples/batch_report.sh" "$work/xruns" >"$work/xreport" || fail "xargs: the report finds a refused run"
printf '%s\n' "$work/x/1.img: nothing to do" "$work/x/2.img: cleaned ($keys keys, $files files removed)" \
    "$work/x/3.img: nothing to do" "$work/x/4.img: cleaned ($keys keys, $files files removed)" |
    diff - "$work/xreport" >"$work/diff" || fail "xargs: the report: $(cat "$work/diff")"

finish "batch of images"
