#!/usr/bin/env bash
# Whole runs of the offline program on hard-disk images of the example machine (examples/machine-dat), made
# by examples/make_disk_image.sh: FAT16 and FAT32 partitions, a bare FAT volume found without MSDOS.SYS, a
# fixed VHD, a disk with two Windows installations, one on a logical partition, and one whose Windows is on
# the second of two logical partitions. For each, a run:
#   leaves a volume that fsck.fat finds clean, without the card's files and with every other file;
#   writes SYSTEM.DAT and USER.DAT with their attributes as a run on the machine folder writes them (libcreg
#   reads them too), and the image's --export is that run's;
#   is undone by --restore, byte for byte, the files' attributes and dates kept;
# --check and --dry-run leave the image byte for byte as it was; two Windows folders without --partition are
# refused, and a read-only image or a failure while writing leaves the image as it was (or, once the rollback
# journal is written, as it was after the next run).
# Usage: image_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
export LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
PATH=$PATH:/usr/sbin:/sbin

tool=$1
source=$2
example=$source/examples/machine-dat
. "$(dirname "$0")/common.sh"
need mcopy mkfs.fat fsck.fat sfdisk cregexport
start_work
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT

# The reference: the example machine cleaned in a folder, its registry files and its export.
cp -R "$example" "$work/ref"
"$tool" --machine "$work/ref" --answer yes --no-backup </dev/null 2>/dev/null || fail "reference: the run failed"
"$tool" --machine "$work/ref" --export "$work/ref.export" 2>/dev/null || fail "reference: --export failed"
list_files "$source" >"$work/card.files"
(cd "$example" && find WINDOWS -type f && echo WINDOWS/WIN.COM) | sort >"$work/all.files"
grep -v -x -F -f "$work/card.files" "$work/all.files" >"$work/kept.files"

# volume IMAGE PART: the byte offset and size of partition PART (0: the image is the volume).
volume() {
    if [ "$2" = 0 ]; then
        echo 0 "$(stat -c %s "$1")"
    else
        sfdisk -d "$1" | awk -v name="$1$2 " 'index($0, name) == 1 { gsub(/[=,]/, " "); print $4 * 512, $6 * 512 }'
    fi
}
# at IMAGE PART: the volume as mtools names it.
at() { echo "$1@@$(volume "$1" "$2" | cut -d' ' -f1)"; }
# extract IMAGE PART: the volume's bytes.
extract() {
    local range
    read -r -a range < <(volume "$1" "$2")
    dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="${range[0]}" count="${range[1]}" status=none
}
digest() { sha256sum | cut -d' ' -f1; }
# The files below WINDOWS, one a line, sorted.
listing() { mdir -/ -b -a -i "$(at "$1" "$2")" ::/WINDOWS | grep -v '/$' | sed 's|^::/||' | sort; }
attributes() { mattrib -i "$(at "$1" "$2")" ::/WINDOWS/SYSTEM.DAT ::/WINDOWS/USER.DAT | cut -c1-10 | tr -d ' ' | tr '\n' ' '; }

# fsck_clean LABEL IMAGE PART: fsck.fat takes no offset, so the volume is checked on a copy of its bytes.
fsck_clean() {
    extract "$2" "$3" >"$work/volume.bin"
    fsck.fat -n "$work/volume.bin" >"$work/fsck.out" 2>&1 || fail "$1: fsck.fat: $(grep -v "^fsck.fat " "$work/fsck.out" | tr '\n' ' ')"
}

# out IMAGE PART FILE...: copies the files (paths below WINDOWS) out of the image into $work/out.
out() {
    local image=$1 part=$2 file
    shift 2
    rm -rf "$work/out"
    for file in "$@"; do
        mkdir -p "$work/out/$(dirname "$file")"
        mcopy -n -i "$(at "$image" "$part")" "::/WINDOWS/$file" "$work/out/$file" || fail "cannot copy $file out"
    done
}

# date_card_files IMAGE PART: the card's files given old times of last write of their own (from 1999-04-23,
# a minute apart) and the first of them the hidden and system flags, as a Windows machine may hold them.
date_card_files() {
    local at file i=0
    at=$(at "$1" "$2")
    while read -r file; do
        mcopy -n -i "$at" "::/$file" "$work/dated" && touch -d "@$((924906000 + 62 * i))" "$work/dated" &&
            mcopy -o -m -i "$at" "$work/dated" "::/$file" || fail "cannot date $file"
        i=$((i + 1))
    done <"$work/card.files"
    mattrib -i "$at" +h +s "::/$(head -n 1 "$work/card.files")"
}
# card_stamps IMAGE PART: each of the card's files with its time of last write (as mcopy -m gives it to a
# copy) and its attributes (as mattrib shows them), one a line.
card_stamps() {
    local at file
    at=$(at "$1" "$2")
    while read -r file; do
        rm -f "$work/stamped"
        mcopy -n -m -i "$at" "::/$file" "$work/stamped" 2>/dev/null
        echo "$file $(stat -c %Y "$work/stamped" 2>/dev/null) $(mattrib -i "$at" "::/$file" 2>/dev/null | cut -c1-10)"
    done <"$work/card.files"
}

# check_image NAME PART [OPTION...]: the whole round on $work/NAME/disk.img, whose Windows is on partition
# PART; the OPTIONs (--partition N) go with every run.
check_image() {
    local name=$1 part=$2 dir=$work/$1
    local image=$dir/disk.img
    shift 2
    local pristine attrs rc
    date_card_files "$image" "$part"
    card_stamps "$image" "$part" >"$dir/stamps.before"
    pristine=$(digest <"$image")
    listing "$image" "$part" >"$work/pristine.list"
    diff "$work/all.files" "$work/pristine.list" >/dev/null || fail "$name: the new image does not hold the example machine"
    attrs=$(attributes "$image" "$part")
    [ "$attrs" = "ASHR ASHR " ] || fail "$name: registry file attributes are '$attrs', not SHR"

    "$tool" --image "$image" "$@" --check >/dev/null 2>&1
    rc=$?
    [ $rc = 1 ] || fail "$name: --check before the run exits $rc, not 1"
    "$tool" --image "$image" "$@" --dry-run --answer yes --journal "$dir/dry.journal" </dev/null 2>/dev/null ||
        fail "$name: the dry run failed"
    [ "$(grep -c '"op":"delete-file".*"existed":true' "$dir/dry.journal")" = "$(wc -l <"$work/card.files")" ] ||
        fail "$name: the dry run does not journal the card's files"
    [ "$(digest <"$image")" = "$pristine" ] || fail "$name: --check or --dry-run changed the image"

    "$tool" --image "$image" "$@" --answer yes --journal "$dir/run.journal" </dev/null 2>"$dir/run.err" ||
        fail "$name: the run failed: $(tail -n 1 "$dir/run.err")"
    grep -q -F '"keysRemoved":17,"filesRemoved":14,"left":0,"dryRun":false,"registrySaved":true,"stage":"committed","exitStatus":0,' "$dir/run.journal" ||
        fail "$name: summary record: $(tail -n 1 "$dir/run.journal")"
    local backup=("$dir"/cmpci-backup-*)
    [ ${#backup[@]} = 1 ] && [ -f "${backup[0]}/manifest.json" ] && grep -q -F "backup in ${backup[0]} " "$dir/run.err" ||
        fail "$name: no backup beside the image"
    tail -n 1 "$dir/run.journal" | grep -q -F "\"backup\":\"$(readlink -f "${backup[0]}")\"}" ||
        fail "$name: the summary record does not name the backup: $(tail -n 1 "$dir/run.journal")"
    fsck_clean "$name" "$image" "$part"
    listing "$image" "$part" | diff "$work/kept.files" - >/dev/null || fail "$name: after the run the files are not the kept ones"
    attrs=$(attributes "$image" "$part")
    [ "$attrs" = "ASHR ASHR " ] || fail "$name: after the run the registry file attributes are '$attrs'"
    out "$image" "$part" SYSTEM.DAT USER.DAT
    cmp -s "$work/ref/WINDOWS/SYSTEM.DAT" "$work/out/SYSTEM.DAT" && cmp -s "$work/ref/WINDOWS/USER.DAT" "$work/out/USER.DAT" ||
        fail "$name: the registry files differ from those of the run on the machine folder"
    cregexport "$work/out/SYSTEM.DAT" >"$work/system.txt" 2>&1 && cregexport "$work/out/USER.DAT" >"$work/user.txt" 2>&1 ||
        fail "$name: libcreg cannot read the registry files"
    if grep -q 'Key path: Enum\\PCI\\VEN_13F6&DEV_0111' "$work/system.txt" || grep -q 'C-Media Audio Mixer' "$work/user.txt" ||
        ! grep -q 'Key path: Enum\\PCI\\VEN_13F6&DEV_0211' "$work/system.txt" || ! grep -q 'Volume Control\\Creative Mixer' "$work/user.txt"; then
        fail "$name: libcreg does not read the card's keys gone and the others kept"
    fi
    "$tool" --image "$image" "$@" --export - >"$work/image.export" 2>/dev/null || fail "$name: --export failed"
    cmp -s "$work/ref.export" "$work/image.export" || fail "$name: --export differs from the cleaned machine folder's"
    local cleaned
    cleaned=$(digest <"$image")
    "$tool" --image "$image" "$@" --check >/dev/null 2>&1 || fail "$name: --check after the run finds something"
    "$tool" --image "$image" "$@" --dry-run --answer yes </dev/null 2>/dev/null || fail "$name: a dry run after the run failed"
    [ "$(digest <"$image")" = "$cleaned" ] || fail "$name: --check or --dry-run after the run changed the image"

    check_restored "$name" "$part" "${backup[0]}" "$@"
}

# check_restored NAME PART BACKUP [OPTION...]: --restore BACKUP on $work/NAME/disk.img, cleaned, gives back
# every file of the example machine as it was, with its dates and attributes.
check_restored() {
    local name=$1 part=$2 backup=$3 dir=$work/$1
    local image=$dir/disk.img attrs restored file
    shift 3
    "$tool" --image "$image" "$@" --restore "$backup" 2>"$dir/restore.err" ||
        fail "$name: --restore failed: $(tail -n 1 "$dir/restore.err")"
    fsck_clean "$name restored" "$image" "$part"
    listing "$image" "$part" | diff "$work/all.files" - >/dev/null || fail "$name: after --restore the files are not all there"
    mapfile -t restored < <(sed 's|^WINDOWS/||' "$work/card.files")
    out "$image" "$part" SYSTEM.DAT USER.DAT "${restored[@]}"
    for file in SYSTEM.DAT USER.DAT "${restored[@]}"; do
        cmp -s "$example/WINDOWS/$file" "$work/out/$file" || fail "$name: after --restore $file differs from the original"
    done
    attrs=$(attributes "$image" "$part")
    [ "$attrs" = "ASHR ASHR " ] || fail "$name: after --restore the registry file attributes are '$attrs'"
    card_stamps "$image" "$part" | diff "$dir/stamps.before" - >"$dir/stamps.diff" ||
        fail "$name: after --restore the card's files have other dates or attributes: $(head -n 4 "$dir/stamps.diff" | tr '\n' ' ')"
}

# make_image NAME ARGS...: $work/NAME/disk.img by examples/make_disk_image.sh.
make_image() {
    mkdir -p "$work/$1"
    bash "$source/examples/make_disk_image.sh" "$work/$1/disk.img" "${@:2}" || fail "$1: make_disk_image.sh failed"
}

# vhd_footer DISK_BYTES TYPE: the 512-byte VHD footer of a disk of that size (type 2 fixed, 3 dynamic), its
# fields big-endian, its geometry and checksum computed as the format defines them.
vhd_footer() {
    local sectors=$(($1 / 512)) spt heads cth
    if [ $sectors -ge $((65535 * 16 * 63)) ]; then
        spt=255 heads=16 cth=$((sectors / 255))
    else
        spt=17 cth=$((sectors / 17))
        heads=$(((cth + 1023) / 1024))
        [ $heads -ge 4 ] || heads=4
        if [ $cth -ge $((heads * 1024)) ] || [ $heads -gt 16 ]; then spt=31 heads=16 cth=$((sectors / 31)); fi
        if [ $cth -ge $((heads * 1024)) ]; then spt=63 heads=16 cth=$((sectors / 63)); fi
    fi
    local data_offset=ffffffffffffffff
    [ "$2" = 2 ] || data_offset=0000000000000200
    local hex
    # "conectix", features, version 1.0, data offset; time stamp (seconds since 2000), creator "cmpc" 1.0 on
    # "Wi2k"; sizes, geometry, type.
    hex=636f6e65637469780000000200010000$data_offset
    hex+=$(printf '%08x' $(($(date +%s) - 946684800)))636d7063000100005769326b
    hex+=$(printf '%016x%016x%04x%02x%02x%08x' "$1" "$1" $((cth / heads)) $heads $spt "$2")
    local id sum=0 i
    id=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
    for ((i = 0; i < ${#hex}; i += 2)); do sum=$((sum + 16#${hex:i:2})); done
    for ((i = 0; i < 32; i += 2)); do sum=$((sum + 16#${id:i:2})); done
    hex+=$(printf '%08x' $((~sum & 0xffffffff)))$id
    printf "$(sed 's/../\\x&/g' <<<"$hex")"
    head -c 428 /dev/zero
}

# refused LABEL IMAGE WORDS [OPTION...]: the run on IMAGE (with files limited to $limit KB when it is set)
# exits 2 with a message holding WORDS, and the image and its folder stay as they were.
refused() {
    local label=$1 image=$2 words=$3 before rc
    shift 3
    before=$(digest <"$image")
    ls -a "$(dirname "$image")" >"$work/folder.before"
    (
        [ -z "${limit:-}" ] || ulimit -f "$limit"
        exec "$tool" --image "$image" --answer yes "$@" </dev/null >/dev/null 2>"$work/refused.err"
    )
    rc=$?
    [ $rc = 2 ] || fail "$label: exit code $rc, not 2"
    grep -q -F -- "$words" "$work/refused.err" || fail "$label: the message does not say '$words': $(tail -n 1 "$work/refused.err")"
    [ "$(digest <"$image")" = "$before" ] || fail "$label: the image changed"
    ls -a "$(dirname "$image")" | diff "$work/folder.before" - >/dev/null || fail "$label: the image's folder changed"
}

# --- FAT16 and FAT32 partitions.
make_image fat16 fat16
check_image fat16 1
make_image fat32 fat32
check_image fat32 1

# --- A bare FAT volume without MSDOS.SYS: Windows is the top folder holding WIN.COM and SYSTEM.DAT.
make_image bare fat16 --bare
mattrib -i "$work/bare/disk.img" -r ::/MSDOS.SYS && mdel -i "$work/bare/disk.img" ::/MSDOS.SYS || fail "bare: cannot delete MSDOS.SYS"
check_image bare 0

# --- A fixed VHD: the raw disk and its footer, which stays at the end.
make_image vhd fat16
vhd_footer "$(stat -c %s "$work/vhd/disk.img")" 2 >"$work/vhd.footer"
[ "$(stat -c %s "$work/vhd.footer")" = 512 ] || fail "vhd: the footer is not 512 bytes"
cat "$work/vhd.footer" >>"$work/vhd/disk.img"
check_image vhd 1
tail -c 512 "$work/vhd/disk.img" | cmp -s "$work/vhd.footer" - || fail "vhd: the footer changed"

# --- Two Windows installations, on partition 1 and on logical partition 5: a run must be told which.
make_image two fat16 --second
refused two "$work/two/disk.img" "partition 1 WINDOWS; partition 5 WINDOWS;"
first=$(extract "$work/two/disk.img" 1 | digest)
check_image two 5 --partition 5
[ "$(extract "$work/two/disk.img" 1 | digest)" = "$first" ] || fail "two: --partition 5 changed partition 1"

# --- Two logical volumes, Windows on the second (partition 6, whose own boot record's start is not the
#     extended partition's): found there, cleaned there, the others unchanged.
make_image logicals fat16 --logicals
refused logicals "$work/logicals/disk.img" "partition 1 WINDOWS; partition 6 WINDOWS;"
first=$(extract "$work/logicals/disk.img" 1 | digest)
check_image logicals 6 --partition 6
[ "$(extract "$work/logicals/disk.img" 1 | digest)" = "$first" ] || fail "logicals: --partition 6 changed partition 1"

make_image refused fat16

# --- A read-only image and (when not root, for whom modes do not count) an image in a read-only folder: the
#     image and its folder stay as they were.
image=$work/refused/disk.img
chmod a-w "$image"
refused "read-only image" "$image" "read-only"
chmod u+w "$image"
# --- A file size limit that the run's own files fit under but the image does not: the rollback journal (the
#     old bytes of the sectors that change) is written, the image's first write fails and leaves it as it
#     was, and the next run finds every sector old and removes the journal.
before=$(digest <"$image")
(
    ulimit -f $(($(stat -c %s "$example/WINDOWS/SYSTEM.DAT") / 1024 + 8))
    exec "$tool" --image "$image" --answer yes --no-backup --journal "$work/limit.journal" </dev/null >/dev/null 2>"$work/limit.err"
)
[ $? = 2 ] || fail "file size limit: the run did not fail"
grep -q -F "$image.cmpci-rollback is kept: the next run on the image plays it back" "$work/limit.err" || fail "file size limit: $(tail -n 1 "$work/limit.err")"
tail -n 1 "$work/limit.journal" | grep -q '"keysRemoved":0,"filesRemoved":0,.*"stage":"journal-left"' ||
    fail "file size limit: the journal's summary: $(tail -n 1 "$work/limit.journal")"
[ "$(digest <"$image")" = "$before" ] || fail "file size limit: the image changed"
# --check finds the card still there: exit 1.
"$tool" --image "$image" --check </dev/null >"$work/limit.out" 2>&1
[ $? = 1 ] || fail "file size limit: the next run failed: $(tail -n 1 "$work/limit.out")"
grep -q "left by a run cut short before it changed the image" "$work/limit.out" ||
    fail "file size limit: the next run did not take the journal: $(head -n 1 "$work/limit.out")"
[ ! -e "$image.cmpci-rollback" ] && [ "$(digest <"$image")" = "$before" ] ||
    fail "file size limit: after the next run the journal is there or the image changed"
if [ "$(id -u)" != 0 ]; then
    chmod a-w "$work/refused"
    refused "read-only folder" "$image" "cannot write the rollback journal" --no-backup
    chmod u+w "$work/refused"
fi

finish "image machine"
