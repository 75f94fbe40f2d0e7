#!/usr/bin/env bash
# Builds the offline program, makes a FAT32 hard-disk image of the example machine with the card installed
# (examples/make_disk_image.sh), and cleans it with cmpci-uninstall --image, showing the journal. Then shows
# the result from outside the program: fsck.fat finds the volume clean, --check finds nothing of the card,
# and libcreg reads the SYSTEM.DAT and USER.DAT copied out of the image.
# Usage: bash examples/image.sh
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$source_dir/examples/build_offline.sh"
build_offline "$source_dir" mcopy=mtools mkfs.fat=dosfstools sfdisk=fdisk cregexport=libcreg-utils
tool=$source_dir/build/quick/cmpci-uninstall

work=$(mktemp -d -t cmpci-image.XXXXXX)
image=$work/win98.img
bash "$source_dir/examples/make_disk_image.sh" "$image" fat32
# The partition's first sector and length, from the partition table.
read -r start sectors < <(sfdisk -d "$image" | awk -F'[=,]' '/start=/ { print $2 + 0, $4 + 0; exit }')
volume=$image@@$((start * 512))

echo
echo "Running: cmpci-uninstall --image $image --answer yes --journal -"
echo
"$tool" --image "$image" --answer yes --journal -

echo
echo "fsck.fat -n on the partition (copied out of the image; fsck.fat takes no offset):"
dd if="$image" of="$work/partition.bin" bs=512 skip="$start" count="$sectors" status=none
fsck.fat -n "$work/partition.bin" || { echo "fsck.fat found the volume damaged" >&2; exit 1; }
rm "$work/partition.bin"

echo
echo "Running: cmpci-uninstall --image $image --check"
"$tool" --image "$image" --check || { echo "--check found something of the card" >&2; exit 1; }

echo
echo "libcreg (cregexport) on the registry files copied out of the image with mcopy:"
for file in SYSTEM.DAT USER.DAT; do
    mcopy -n -i "$volume" "::/WINDOWS/$file" "$work/$file"
    cregexport "$work/$file" >"$work/$file.txt" || { echo "libcreg cannot read $file" >&2; exit 1; }
    echo "  $file: $(grep -c '^Key path:' "$work/$file.txt") keys read"
    rm "$work/$file" "$work/$file.txt"
done

echo
echo "The image after the run is $image; the backup beside it is $(echo "$work"/cmpci-backup-*)."
