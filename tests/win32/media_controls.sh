#!/bin/bash
# The images made again from the same files, later, must be the same bytes as the build's. And
# check_media.sh must refuse images made from a program with one byte changed and a README.TXT with bare LF
# line ends, with the floppy's second FAT spoiled and one byte too many, and a floppy and CD that hold an
# extra file whose name takes the program's 8.3 alias.
# usage: media_controls.sh <make_media.sh> <exe> <README.TXT> <floppy image> <CD image> <seconds since 1970>
set -u
PATH=$PATH:/usr/sbin:/sbin
make=$1 exe=$2 readme=$3 floppy=$4 cd=$5 epoch=$6
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# FAT dates count in 2 seconds: make sure the clock has moved on since the build made its images.
[ $(($(date +%s) - $(stat -c %Y "$floppy"))) -ge 3 ] || sleep 3
bash "$make" floppy "$work/again.img" "$exe" "$readme" "$epoch" && bash "$make" cd "$work/again.iso" "$exe" "$readme" "$epoch"
for pair in "$floppy:$work/again.img" "$cd:$work/again.iso"; do
    if cmp "${pair%%:*}" "${pair#*:}"; then echo "ok   made again: $(basename "${pair%%:*}") is the same"; else echo "FAIL made again: $(basename "${pair%%:*}") differs"; status=1; fi
done

# The damaged images.
cp "$exe" "$work/cmpci-uninstall.exe"
printf '\x5a' | dd of="$work/cmpci-uninstall.exe" bs=1 seek=4096 conv=notrunc status=none
cmp -s "$exe" "$work/cmpci-uninstall.exe" || printf '\x5b' | dd of="$work/cmpci-uninstall.exe" bs=1 seek=4096 conv=notrunc status=none
tr -d '\r' <"$readme" >"$work/README.TXT"
bash "$make" floppy "$work/bad.img" "$work/cmpci-uninstall.exe" "$work/README.TXT" "$epoch" &&
    bash "$make" cd "$work/bad.iso" "$work/cmpci-uninstall.exe" "$work/README.TXT" "$epoch" || exit 1
printf '\xff' | dd of="$work/bad.img" bs=512 seek=10 conv=notrunc status=none    # first byte of the second FAT
printf 'x' >>"$work/bad.img"
# An extra file copied first takes CMPCI-~1.EXE on the floppy and CMPCI_UN.EXE on the CD.
mkdir "$work/extra" && cp "$exe" "$work/extra/cmpci-uninstaller.exe" && cp "$exe" "$work/extra/cmpci-uninstall.exe" &&
    cp "$readme" "$work/extra/README.TXT" && mkfs.fat -C "$work/extra.img" 1440 >/dev/null &&
    mcopy -i "$work/extra.img" "$work/extra/cmpci-uninstaller.exe" "$work/extra/cmpci-uninstall.exe" "$work/extra/README.TXT" ::/ &&
    xorriso -as mkisofs -quiet -iso-level 1 -J -o "$work/extra.iso" "$work/extra" 2>/dev/null || exit 1

expect() {  # <output of check_media.sh> <lines it must hold>...
    local out=$1 line; shift
    for line in "$@"; do
        if ! printf '%s\n' "$out" | grep -qF -- "$line"; then echo "FAIL check_media.sh did not report: $line"; status=1; fi
    done
}
out=$(bash "$(dirname "$0")/check_media.sh" "$exe" "$readme" "$work/bad.img" "$work/bad.iso")
[ $? -ne 0 ] || { echo "FAIL check_media.sh passed damaged images"; status=1; }
expect "$out" "FAIL floppy: size is 1474561 bytes" "FAIL floppy: fsck.fat -n reports:" \
    "FAIL floppy: CMPCI-~1.EXE differs" "FAIL floppy: README.TXT differs" "FAIL CD: CMPCI_UN.EXE;1 differs" \
    "FAIL CD: README.TXT;1 differs" "FAIL CD: Joliet cmpci-uninstall.exe differs" "FAIL CD: Joliet README.TXT differs" \
    "FAIL README.TXT: line ends are not all CR LF"
out=$(bash "$(dirname "$0")/check_media.sh" "$exe" "$readme" "$work/extra.img" "$work/extra.iso")
[ $? -ne 0 ] || { echo "FAIL check_media.sh passed images with an extra file"; status=1; }
expect "$out" "FAIL floppy: root holds" "FAIL floppy: 8.3 alias is '::/CMPCI-~2.EXE'" "FAIL CD: ISO 9660 names are" \
    "FAIL CD: Joliet names are"
[ $status -ne 0 ] || echo "ok   check_media.sh refuses every damaged image"
exit $status
