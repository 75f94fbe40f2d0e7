#!/usr/bin/env bash
# An image whose Windows folder is of a real installation's size (bench/make_realistic_image.sh: about 5,500
# files in a few hundred folders, long names), with the card's files among them and decoys of their names in
# folders the removal never touches: --check, a dry run and a run on the image list and remove exactly what
# they do on the same Windows folder copied out with mtools into a machine folder; afterwards the image's
# volume is clean for fsck.fat, the card's files are gone from it and every other file is there.
# Usage: image_realistic_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mdir mkfs.fat fsck.fat sfdisk python3
bash "$source/bench/make_realistic_image.sh" "$work/disk.img" 2>/dev/null || fail "make_realistic_image.sh failed"
at=$(partition_at "$work/disk.img")
# Decoys: the card's driver file names in folders the removal does not look in, one in another case.
printf 'decoy' >"$work/decoy"
mcopy -i "$work/disk.img@@$at" "$work/decoy" ::/WINDOWS/SYSTEM/IOSUBSYS/CMAUDIO.VXD
mcopy -i "$work/disk.img@@$at" "$work/decoy" "::/WINDOWS/Start Menu/Programs/cmpci95.drv"
mdir -/ -b -i "$work/disk.img@@$at" ::/WINDOWS | sort >"$work/files.before"
mkdir "$work/folder"
mcopy -s -m -i "$work/disk.img@@$at" ::/WINDOWS "$work/folder/" || fail "mcopy of the Windows folder out failed"
[ "$(find "$work/folder/WINDOWS" -type f | wc -l)" -gt 5000 ] || fail "the Windows folder holds too few files"

# same MODE ARGS...: the program's standard output and exit code on the image and on the machine folder.
same() {
    local mode=$1
    shift
    "$tool" --image "$work/disk.img" "$@" </dev/null >"$work/$mode.image" 2>/dev/null
    echo "exit $?" >>"$work/$mode.image"
    "$tool" --machine "$work/folder" "$@" </dev/null >"$work/$mode.folder" 2>/dev/null
    echo "exit $?" >>"$work/$mode.folder"
    cmp -s "$work/$mode.image" "$work/$mode.folder" ||
        fail "$mode: the image's output is not the machine folder's: $(diff "$work/$mode.image" "$work/$mode.folder" | head -n 6)"
}
same check --check
grep -q '^device-key ' "$work/check.image" || fail "check: the card is not listed: $(head -n 3 "$work/check.image")"
same dry-run --dry-run --answer yes
grep -q '^would remove file C:\\WINDOWS\\SYSTEM\\' "$work/dry-run.image" || fail "dry run: no driver file to remove"
same run --answer yes --no-backup
same after --check

# The image: clean, the card's files gone, every other file there.
dd if="$work/disk.img" of="$work/volume.bin" bs=1M iflag=skip_bytes skip="$at" status=none
fsck.fat -n "$work/volume.bin" >"$work/fsck.out" 2>&1 || fail "fsck.fat: $(tr '\n' ' ' <"$work/fsck.out")"
mdir -/ -b -i "$work/disk.img@@$at" ::/WINDOWS | sort >"$work/files.after"
grep '^would remove file ' "$work/dry-run.image" | cut -d' ' -f4- | sed -e 's|\\|/|g' -e 's|^C:|::|' | tr 'a-z' 'A-Z' | sort >"$work/removed"
tr 'a-z' 'A-Z' <"$work/files.after" | sort >"$work/after.upper"
tr 'a-z' 'A-Z' <"$work/files.before" | sort | comm -23 - "$work/after.upper" >"$work/gone"
cmp -s "$work/gone" "$work/removed" || fail "the files gone from the image are not those removed: $(diff "$work/gone" "$work/removed" | head -n 6)"
grep -q -i 'IOSUBSYS/CMAUDIO.VXD' "$work/files.after" || fail "the decoy in SYSTEM/IOSUBSYS is gone"

finish "image realistic"
