# Shared by the image scripts (sourced after common.sh): the example machine's reference run, and checks of a
# raw disk image's first partition from outside the program.

export LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
PATH=$PATH:/usr/sbin:/sbin

# reference TOOL EXAMPLE: $work/ref, the example machine cleaned in a folder.
reference() {
    cp -R "$2" "$work/ref"
    "$1" --machine "$work/ref" --answer yes --no-backup </dev/null 2>/dev/null || fail "reference: the run failed"
}

# pristine_disk: the reference run, and the example machine's disk image with a FAT16 partition as
# $work/pristine.img, its partition's byte offset in $at and its digest in $pristine.
pristine_disk() {
    reference "$tool" "$source/examples/machine-dat"
    bash "$source/examples/make_disk_image.sh" "$work/pristine.img" fat16 || fail "make_disk_image.sh failed"
    at=$(partition_at "$work/pristine.img")
    pristine=$(digest "$work/pristine.img")
}

digest() { sha256sum "$1" | cut -d' ' -f1; }

# partition_at RAW: the byte offset of the raw disk's first partition.
partition_at() { sfdisk -d "$1" | awk -F'start= *' '/start=/ { split($2, f, ","); print f[1] * 512; exit }'; }

# volume_out RAW: $work/volume.bin, the volume of the raw disk's first partition.
volume_out() { dd if="$1" of="$work/volume.bin" bs=1M iflag=skip_bytes skip="$(partition_at "$1")" status=none; }

# fsck_clean LABEL: fsck.fat finds $work/volume.bin clean.
fsck_clean() { fsck.fat -n "$work/volume.bin" >"$work/fsck.out" 2>&1 || fail "$1: fsck.fat: $(tr '\n' ' ' <"$work/fsck.out")"; }

# cleaned_volume LABEL: $work/volume.bin is clean for fsck.fat, holds the registry files of the reference run
# and none of the card's files.
cleaned_volume() {
    fsck_clean "$1"
    local file
    for file in SYSTEM.DAT USER.DAT; do
        mcopy -n -i "$work/volume.bin" "::/WINDOWS/$file" "$work/$file.out" 2>/dev/null &&
            cmp -s "$work/$file.out" "$work/ref/WINDOWS/$file" || fail "$1: $file is not the reference run's"
    done
    mdir -b -i "$work/volume.bin" ::/WINDOWS/SYSTEM/CMAUDIO.VXD >/dev/null 2>&1 && fail "$1: a file of the card is still there"
}

# cleaned LABEL RAW: the same of the raw disk's first partition.
cleaned() {
    volume_out "$2"
    cleaned_volume "$1"
    rm -f "$work/volume.bin"
}
