#!/usr/bin/env bash
# Images as a hostile or merely unlucky user hands them over. Nothing but the image (for an overlay, its top
# layer) is ever written, and a run that cannot be sure of that refuses in one line with exit 2:
# - a raw disk whose first sector reads as a VMDK descriptor naming a file beside it, a flat VMDK and a qcow2
#   with an external data file: refused, saying their data lies in other files; no file changes;
# - formats by name: VHDX, an encrypted qcow2 and a LUKS image refused in our own words (no path of a
#   descriptor in them); a folder given as --image points to --machine;
# - a rollback journal left by a killed run, after the image was used (a file saved into it): not played
#   back, kept, the image as the user left it; another image's journal beside an image: the same;
# - a rollback journal that is a folder or a FIFO: one line, no abort, no hang;
# - files named like scratch (change.0, volume) beside a qcow2 or VDI image stay; images in a folder with a
#   space or named with commas, colons and "json:", and TMPDIR with a space, work;
# - a damaged backing file in a folder whose path holds the names by which QEMU is handed the files
#   (/proc/self/fd/N): refused naming its path, without hanging;
# - a FAT volume larger than its partition entry, and overlapping partitions: refused, the image unchanged;
# - --journal, --export or --backup onto the backing file or the rollback journal: refused, nothing changed;
# - --restore where a removed file came back under another letter case: not overwritten;
# - a machine folder's registry save left by a killed run goes at the next writing run, not at a --check.
# Usage: image_hostile_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
tool=$1
source=$2
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/image_common.sh"
need mcopy mkfs.fat fsck.fat sfdisk qemu-img qemu-io strace timeout
strace -qq -o /dev/null true 2>/dev/null || { fail "strace cannot trace a process here (is ptrace allowed?)"; exit 1; }
start_work
reference "$tool" "$source/examples/machine-dat"
bash "$source/examples/make_disk_image.sh" "$work/pristine.img" fat16 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/pristine.img")

# listing FOLDER: every file below FOLDER with its digest, one a line.
listing() { (cd "$1" && find . -type f -exec sha256sum {} + | sort); }

# refused LABEL WORDS IMAGE [OPTION...]: a run on IMAGE exits 2 within 30 s with one line (besides the line
# naming the image found) holding WORDS, and nothing in IMAGE's folder changes. The program itself runs, not
# the journal checker: a journal refused is no journal.
refused() {
    local label=$1 words=$2 image=$3 rc
    shift 3
    listing "$(dirname "$image")" >"$work/before.list"
    timeout -k 5 30 "${CMPCI_TOOL:-$tool}" --image "$image" "$@" </dev/null >/dev/null 2>"$work/refused.err"
    rc=$?
    [ $rc = 2 ] || fail "$label: exit $rc, not 2: $(tail -n 2 "$work/refused.err")"
    [ "$(grep -c -v '^cmpci-uninstall: image ' "$work/refused.err")" = 1 ] || fail "$label: not one line: $(cat "$work/refused.err")"
    grep -q -F -- "$words" "$work/refused.err" || fail "$label: the message does not say '$words': $(cat "$work/refused.err")"
    listing "$(dirname "$image")" | diff "$work/before.list" - >/dev/null || fail "$label: a file beside it changed"
}

# killed IMAGE N: a run on IMAGE killed (SIGKILL) at its Nth write into it.
killed() {
    { strace -f -qq -o /dev/null -P "$1" -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when="$2" \
        "$tool" --image "$1" --answer yes --no-backup </dev/null >/dev/null 2>&1; } 2>/dev/null
}

# --- Data in other files.
mkdir "$work/desc"
cp "$work/pristine.img" "$work/desc/disk.img"
printf 'seventeen bytes.\n' >"$work/desc/notes.txt"
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\nRW 131072 FLAT "notes.txt" 2048\n' |
    dd of="$work/desc/disk.img" conv=notrunc status=none
refused "descriptor in the first sector" "its data lies in other files" "$work/desc/disk.img" --answer yes --no-backup
refused "descriptor in the first sector, --check" "a VMDK descriptor" "$work/desc/disk.img" --check
mkdir "$work/flat"
qemu-img convert -O vmdk -o subformat=monolithicFlat "$work/pristine.img" "$work/flat/disk.vmdk"
refused "flat VMDK" "its data lies in other files" "$work/flat/disk.vmdk" --answer yes --no-backup
mkdir "$work/datafile"
# qemu-img makes the data file from the working folder, and the image names it relative to its own.
(cd "$work/datafile" && qemu-img convert -O qcow2 -o data_file=disk.data "$work/pristine.img" disk.qcow2) ||
    fail "could not make the fixture: a qcow2 with a data file"
refused "qcow2 with a data file" "an external data file" "$work/datafile/disk.qcow2" --answer yes --no-backup

# --- Formats by name, in our own words.
mkdir "$work/named"
qemu-img convert -O vhdx "$work/pristine.img" "$work/named/disk.vhdx"
refused VHDX "a VHDX image, which is not supported" "$work/named/disk.vhdx" --check
# encrypted LABEL IMAGE FORMAT OPTIONS: IMAGE, encrypted by qemu-img, its key slot derived for 10 ms (not the
# default 2 s). On a busy machine qemu-img's timing of the derivation can fail ("Unable to get accurate CPU
# usage"): it is tried five times. False, with a failure naming the fixture, when no image could be made.
encrypted() {
    local label=$1 image=$2 format=$3 options=$4 try
    for try in 1 2 3 4 5; do
        rm -f "$image"
        qemu-img create -q --object secret,id=s0,data=secret -f "$format" -o "$options" "$image" 16M \
            2>"$work/fixture.err" && [ -s "$image" ] && return 0
        echo "$label: qemu-img made no image, trying again: $(tail -n 1 "$work/fixture.err")" >&2
        sleep "$try"
    done
    fail "$label: could not make the fixture, so its refusal was not checked: $(tail -n 1 "$work/fixture.err")"
    return 1
}
encrypted "encrypted qcow2" "$work/named/encrypted.qcow2" qcow2 \
    encrypt.format=luks,encrypt.key-secret=s0,encrypt.iter-time=10 &&
    refused "encrypted qcow2" "an encrypted qcow2 image: encrypted images are not supported" "$work/named/encrypted.qcow2" --check
if encrypted LUKS "$work/named/disk.luks" luks key-secret=s0,iter-time=10; then
    refused LUKS "encrypted images are not supported" "$work/named/disk.luks" --check
    grep -q /proc/self "$work/refused.err" && fail "LUKS: the message names a descriptor"
fi
mkdir "$work/named/vm"
refused "a folder as the image" "for a machine folder, use --machine $work/named/vm" "$work/named/vm" --check

# --- A stale rollback journal meets an image used since: a document saved into WINDOWS after the kill.
mkdir "$work/stale"
cp "$work/pristine.img" "$work/stale/disk.img"
killed "$work/stale/disk.img" 2
[ -e "$work/stale/disk.img.cmpci-rollback" ] || fail "stale: the killed run left no journal"
printf 'a letter the user wrote\r\n' >"$work/letter.txt"
mcopy -i "$work/stale/disk.img@@$at" "$work/letter.txt" ::/WINDOWS/LETTER.TXT || fail "stale: cannot save the letter"
refused "stale journal" "changed since the run cut short" "$work/stale/disk.img" --check
grep -q -F "the journal was not played back and is kept" "$work/refused.err" || fail "stale: $(cat "$work/refused.err")"
mcopy -n -i "$work/stale/disk.img@@$at" ::/WINDOWS/LETTER.TXT "$work/letter.out" && cmp -s "$work/letter.txt" "$work/letter.out" ||
    fail "stale: the letter is gone"
# Another image of the same size: the journal beside it is not its own.
bash "$source/examples/make_disk_image.sh" "$work/stale/other.img" fat16
mv "$work/stale/disk.img.cmpci-rollback" "$work/stale/other.img.cmpci-rollback"
refused "another image's journal" "names another image" "$work/stale/other.img" --check

# --- A rollback journal that is a folder or a FIFO.
mkdir "$work/odd"
cp "$work/pristine.img" "$work/odd/disk.img"
mkdir "$work/odd/disk.img.cmpci-rollback"
refused "journal a folder" "is not a regular file" "$work/odd/disk.img" --check
rmdir "$work/odd/disk.img.cmpci-rollback"
mkfifo "$work/odd/disk.img.cmpci-rollback"
refused "journal a FIFO" "is not a regular file" "$work/odd/disk.img" --answer yes --no-backup
rm "$work/odd/disk.img.cmpci-rollback"
refused "--journal onto the rollback journal" "which the run reads or writes" "$work/odd/disk.img" --check \
    --journal "$work/odd/disk.img.cmpci-rollback"

# --- Scratch: files beside the image stay; a folder with a space and a TMPDIR with a space work.
mkdir -p "$work/VirtualBox VMs/win 98" "$work/plain" "$work/tmp dir"
for image in "$work/VirtualBox VMs/win 98/disk.qcow2" "$work/plain/disk.vdi" "$work/plain/json:{a,b}:c.qcow2"; do
    format=${image##*.} folder=$(dirname "$image") name=$(basename "$image")
    qemu-img convert -O $format "$work/pristine.img" "$image"
    for scratch in change.0 change.1 change.5 volume machine; do printf "%s of the user\\n" "$scratch" >"$folder/$scratch"; done
    listing "$folder" | grep -v -F "$name" >"$work/beside.list"
    TMPDIR="$work/tmp dir" "$tool" --image "$image" --check >/dev/null 2>&1
    TMPDIR="$work/tmp dir" "$tool" --image "$image" --answer yes --no-backup </dev/null >/dev/null 2>"$work/space.err" ||
        fail "$image: $(tail -n 1 "$work/space.err")"
    listing "$folder" | grep -v -F "$name" | diff "$work/beside.list" - >/dev/null || fail "$name: a file beside the image changed"
    qemu-img convert -f $format -O raw "$image" "$work/readback.img" && cleaned "$image" "$work/readback.img"
    [ -z "$(ls -A "$work/tmp dir")" ] || fail "$format: left in TMPDIR: $(ls -A "$work/tmp dir")"
done

# --- A damaged backing file whose path holds /proc/self/fd/N for every N a layer may be opened as: the
# message names the path, and putting it in for the descriptor's name does not go on for ever.
fds=$work/fds
for n in 3 4 5 6 7 8 9; do fds=$fds/proc/self/fd/$n; done
mkdir -p "$fds"
qemu-img convert -O qcow2 "$work/pristine.img" "$fds/base.qcow2"
qemu-img create -q -f qcow2 -b "$fds/base.qcow2" -F qcow2 "$work/fds/top.qcow2" || fail "cannot make the qcow2 over the deep base"
# The active L1 table's offset (bytes 40-47) made unaligned: qemu-img refuses the base, naming it.
printf '\0\0\0\0\0\0\0\7' | dd of="$fds/base.qcow2" bs=1 seek=40 conv=notrunc status=none
refused "backing path holding /proc/self/fd" "qemu-img cannot read $fds/base.qcow2: " "$work/fds/top.qcow2" --check

# --- A FAT volume claiming more than its partition entry, and two partitions overlapping.
mkdir "$work/layout"
bash "$source/examples/make_disk_image.sh" "$work/layout/big.img" fat16 --second
cp "$work/layout/big.img" "$work/layout/overlap.img"
# Partition 1's entry says 1 MB less than its FAT volume holds; in the other image, partition 2 starts
# inside partition 1.
sectors=$(od -An -tu4 -j $((446 + 12)) -N 4 "$work/layout/big.img" | tr -d ' ')
printf "$(printf '%08x' $((sectors - 2048)) | sed 's/\(..\)\(..\)\(..\)\(..\)/\\x\4\\x\3\\x\2\\x\1/')" |
    dd of="$work/layout/big.img" bs=1 seek=$((446 + 12)) conv=notrunc status=none
printf '\x00\x10\x00\x00' | dd of="$work/layout/overlap.img" bs=1 seek=$((446 + 16 + 8)) conv=notrunc status=none
refused "volume larger than its partition" "more than the" "$work/layout/big.img" --partition 1 --answer yes --no-backup
refused "partitions overlapping" "partition 1 and partition 2 overlap" "$work/layout/overlap.img" --check

# --- Outputs onto the files the run reads: the backing file, the rollback journal.
mkdir "$work/chain"
qemu-img convert -O vdi "$work/pristine.img" "$work/chain/base.vdi"
qemu-img create -q -f qcow2 -b base.vdi -F vdi "$work/chain/top.qcow2"
refused "--journal onto the backing file" "which the run reads or writes" "$work/chain/top.qcow2" --check --journal "$work/chain/base.vdi"
refused "--export onto the backing file" "which the run reads or writes" "$work/chain/top.qcow2" --export "$work/chain/base.vdi"
refused "--backup onto the backing file" "which the run reads or writes" "$work/chain/top.qcow2" --answer yes --backup "$work/chain/base.vdi"
refused "--backup onto the rollback journal" "which the run reads or writes" "$work/chain/top.qcow2" --answer yes \
    --backup "$work/chain/top.qcow2.cmpci-rollback"
qemu-img check "$work/chain/top.qcow2" >/dev/null 2>&1 || fail "chain: the overlay cannot be opened"

# --- --restore where a removed file came back under another letter case: FAT names are one name.
mkdir "$work/case"
cp "$work/pristine.img" "$work/case/disk.img"
"$tool" --image "$work/case/disk.img" --answer yes </dev/null >/dev/null 2>&1 || fail "case: the run failed"
backup=("$work"/case/cmpci-backup-*)
printf 'a newer driver the user installed\r\n' >"$work/newer.vxd"
mcopy -i "$work/case/disk.img@@$at" "$work/newer.vxd" ::/WINDOWS/SYSTEM/cmaudio.vxd || fail "case: cannot copy the file in"
"$tool" --image "$work/case/disk.img" --restore "${backup[0]}" </dev/null >/dev/null 2>"$work/case.err"
rc=$?
[ $rc = 2 ] && grep -q -F "exists again with other content" "$work/case.err" || fail "case: exit $rc: $(cat "$work/case.err")"
mcopy -n -i "$work/case/disk.img@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD "$work/case.out" && cmp -s "$work/newer.vxd" "$work/case.out" ||
    fail "case: the file that came back was overwritten"

# --- A machine folder: a save a killed run left goes at the next writing run, and only then.
cp -R "$source/examples/machine-dat" "$work/machine"
printf 'half a registry file' >"$work/machine/WINDOWS/SYSTEM.DAT.tmp-AbC123"
printf 'the user notes' >"$work/machine/WINDOWS/SYSTEM.DAT.tmp-notes"
"$tool" --machine "$work/machine" --check >/dev/null 2>&1
[ -e "$work/machine/WINDOWS/SYSTEM.DAT.tmp-AbC123" ] || fail "machine: --check removed a file"
"$tool" --machine "$work/machine" --answer yes --no-backup </dev/null >/dev/null 2>&1 || fail "machine: the run failed"
[ -e "$work/machine/WINDOWS/SYSTEM.DAT.tmp-AbC123" ] && fail "machine: the killed run's save is still there"
[ -e "$work/machine/WINDOWS/SYSTEM.DAT.tmp-notes" ] || fail "machine: a file of the user's was removed"

finish "image hostile"
