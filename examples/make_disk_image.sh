#!/usr/bin/env bash
# Makes a hard-disk image of the example Windows 98 machine (examples/machine-dat, the card installed) for
# cmpci-uninstall --image: an MBR with one bootable FAT partition holding C:\WINDOWS, MSDOS.SYS naming it
# ([Paths] WinDir=C:\WINDOWS, CR/LF lines, as Windows 98 writes it) and a WIN.COM stand-in in it. MSDOS.SYS,
# SYSTEM.DAT and USER.DAT are read-only, hidden and system, as Windows keeps them. The image is sparse and
# made without mounting anything (sfdisk, mkfs.fat, mtools).
# Usage: bash examples/make_disk_image.sh OUT.img [fat16|fat32] [--bare] [--second | --logicals] [--size MB]
#   fat16 | fat32  the file system (default fat32): a 16 MB or 64 MB volume
#   --size MB      the volume's size instead (FAT32 up to 2 TB; the image stays sparse)
#   --bare         the FAT volume alone, no partition table
#   --second       a second disk-sized volume as a logical partition (5) in an extended partition, with
#                  its own copy of the same Windows folder
#   --logicals     two more disk-sized volumes as logical partitions 5 and 6 in an extended partition: 5
#                  empty, 6 with its own copy of the Windows folder
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin

usage() {
    echo "usage: bash examples/make_disk_image.sh OUT.img [fat16|fat32] [--bare] [--second | --logicals] [--size MB]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
out=$1
shift
fat=32 bare=0 second=0 logicals=0 size=
while [ $# -gt 0 ]; do
    case $1 in
    fat16) fat=16 ;;
    fat32) fat=32 ;;
    --bare) bare=1 ;;
    --second) second=1 ;;
    --logicals) logicals=1 ;;
    --size) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage; size=$2; shift ;;
    *) usage ;;
    esac
    shift
done
[ "$bare$second" != 11 ] && [ "$bare$logicals" != 11 ] ||
    { echo "make_disk_image.sh: --bare has no room for --second or --logicals" >&2; exit 2; }
for tool in sfdisk mkfs.fat mcopy; do
    command -v $tool >/dev/null || { echo "make_disk_image.sh: $tool is missing (fdisk, dosfstools, mtools)" >&2; exit 1; }
done
machine=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/machine-dat
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

# Sizes in 512-byte sectors: a volume, and the 1 MB a partitioning tool leaves before each partition.
volume=$((fat == 32 ? 64 * 2048 : 16 * 2048))
[ -z "$size" ] || volume=$((size * 2048))
gap=2048
if [ $fat = 32 ]; then type=c; else type=6; fi

rm -f "$out"
if [ $bare = 1 ]; then
    truncate -s $((volume * 512)) "$out"
    starts=(0)
else
    truncate -s $(((1 + second + 2 * logicals) * volume * 512)) "$out"
    {
        echo "label: dos"
        echo "start=$gap, size=$((volume - gap)), type=$type, bootable"
        if [ $second = 1 ] || [ $logicals = 1 ]; then
            echo "start=$volume, type=5"
            echo "size=$((volume - gap)), type=$type"
        fi
        [ $logicals = 0 ] || echo "size=$((volume - gap)), type=$type"
    } | sfdisk -q "$out" >/dev/null
    # The partitions' first sectors, as sfdisk placed them.
    mapfile -t starts < <(sfdisk -d "$out" | awk -F'start= *' '/start=/ && !/type=5/ { split($2, f, ","); print f[1] }')
fi

# Windows 98's own MSDOS.SYS: a text file of at least 1024 bytes.
msdos=$(mktemp)
trap 'rm -f "$msdos"' EXIT
{
    printf '%s\r\n' '[Paths]' 'WinDir=C:\WINDOWS' 'WinBootDir=C:\WINDOWS' 'HostWinBootDrv=C' '' \
        '[Options]' 'BootMulti=1' 'BootGUI=1' 'DoubleBuffer=1' 'AutoScan=1' 'WinVer=4.10.2222' ';' \
        ';The following lines are required for compatibility with other programs.' \
        ';Do not remove them (MSDOS.SYS needs to be >1024 bytes).'
    for letter in a b c d e f g h i j k l m n o p q r s; do
        printf ';%s%s\r\n' "$(printf 'x%.0s' {1..68})" $letter
    done
    printf 'Network=1\r\n'
} >"$msdos"

for index in "${!starts[@]}"; do
    start=${starts[$index]}
    sectors=$(((start == 0 ? volume : volume - gap)))
    # mkfs.fat warns that the image is larger than the volume: shown only when it fails.
    log=$(mkfs.fat -F $fat -n WIN98 -h $start --offset $start "$out" $((sectors / 2)) 2>&1) || { echo "$log" >&2; exit 1; }
    # With --logicals, the first logical volume stays empty.
    [ $logicals = 1 ] && [ "$index" = 1 ] && continue
    at="$out@@$((start * 512))"
    mcopy -s -m -i "$at" "$machine/WINDOWS" ::/
    # WIN.COM stand-in: a DOS program that ends at once (mov ah,4Ch; int 21h).
    printf '\xb4\x4c\xcd\x21' | mcopy -i "$at" - ::/WINDOWS/WIN.COM
    mcopy -i "$at" "$msdos" ::/MSDOS.SYS
    mattrib -i "$at" +r +h +s ::/MSDOS.SYS ::/WINDOWS/SYSTEM.DAT ::/WINDOWS/USER.DAT
done
