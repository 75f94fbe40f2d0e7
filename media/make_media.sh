#!/bin/bash
# Makes the floppy or the CD image that carries the Windows program to a Windows 9x machine: the program
# under its long name cmpci-uninstall.exe and README.TXT, in the root folder.
#   floppy: 1.44 MB FAT12, made by mkfs.fat and filled by mcopy; the program's 8.3 alias is CMPCI-~1.EXE.
#   cd:     ISO 9660 level 1 (8.3 names: CMPCI_UN.EXE;1, README.TXT;1) with Joliet for the long name, and
#           Rock Ridge for Unix hosts.
# An image depends only on the two files, the time stamp and the tools' versions: every date on it is the
# time stamp (in UTC), the floppy's serial number and label are fixed, owners and modes are not taken from
# the build machine. The image is written beside its final name and renamed into place when complete.
# usage: make_media.sh floppy|cd <image> <exe> <readme> <seconds since 1970>
set -euo pipefail
kind=$1 image=$2 exe=$3 readme=$4 epoch=$5
PATH=$PATH:/usr/sbin:/sbin
export TZ=UTC SOURCE_DATE_EPOCH=$epoch

stage=$(mktemp -d "$image.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/files"
cp "$exe" "$stage/files/cmpci-uninstall.exe"
cp "$readme" "$stage/files/README.TXT"
touch -d "@$epoch" "$stage/files/cmpci-uninstall.exe" "$stage/files/README.TXT" "$stage/files"

case $kind in
floppy)
    # --invariant fixes the volume label entry's time; the -i after it sets the serial number.
    mkfs.fat -C --invariant -i 13F60111 -n CMPCI "$stage/image" 1440 >/dev/null
    mcopy -i "$stage/image" -m "$stage/files/cmpci-uninstall.exe" "$stage/files/README.TXT" ::/
    ;;
cd)
    # xorriso greets on stderr even with -quiet: its messages are shown only when it fails.
    xorriso -as mkisofs -quiet -iso-level 1 -J -r -V CMPCI_UNINSTALL -o "$stage/image" "$stage/files" \
        2>"$stage/xorriso.log" || { cat "$stage/xorriso.log" >&2; exit 1; }
    ;;
*)
    echo "make_media.sh: unknown kind '$kind' (floppy or cd)" >&2
    exit 2
    ;;
esac
mv "$stage/image" "$image"
