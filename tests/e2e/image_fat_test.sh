#!/usr/bin/env bash
# Whole runs on disk images through the program's own FAT writer, with names and places that other programs
# would parse, and a volume it must not write:
# - a profile folder "[Kid]" (--user '[Kid]'), run with a temporary folder whose name holds "@@", "$(...)" and
#   a space: the profile's USER.DAT is cleaned as a run on the machine folder cleans it, the volume is clean
#   for fsck.fat, nothing runs and the temporary folder is left empty;
# - a volume where a driver file shares its clusters with a user's file: the run is refused with a call for
#   ScanDisk, the image stays byte for byte, and fsck.fat finds the same damage as before.
# Usage: image_fat_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mshowfat mkfs.fat fsck.fat sfdisk python3
example=$source/examples/machine-dat

# --- The profile "[Kid]" with the card's mixer settings (its USER.DAT written by --import: a profile's file
#     holds the user's keys at its root), on the machine folder (the reference) and on an image.
mixer='Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\C-Media Audio Mixer'
printf '%s\r\n' 'REGEDIT4' '' "[HKEY_USERS\\$mixer]" '"Options"=hex:05,00,00,00' '"Style"="0"' '' \
    '[HKEY_USERS\Control Panel\International]' '"Locale"="00000407"' '' >"$work/profile.reg"
"$tool" --machine "$work/profile" --import "$work/profile.reg" >/dev/null 2>&1 || fail "cannot import the profile"
cp -R "$example" "$work/ref"
mkdir -p "$work/profiles/PROFILES/[Kid]" "$work/ref/WINDOWS/PROFILES/[Kid]"
cp "$work/profile/WINDOWS/USER.DAT" "$work/profiles/PROFILES/[Kid]/USER.DAT"
cp "$work/profile/WINDOWS/USER.DAT" "$work/ref/WINDOWS/PROFILES/[Kid]/USER.DAT"
"$tool" --machine "$work/ref" --user '[Kid]' --answer yes --no-backup </dev/null >/dev/null 2>&1 || fail "reference: the run failed"
cmp -s "$work/profile/WINDOWS/USER.DAT" "$work/ref/WINDOWS/PROFILES/[Kid]/USER.DAT" &&
    fail "reference: the run leaves the profile's USER.DAT as it was, so this test proves nothing"
bash "$source/examples/make_disk_image.sh" "$work/kid.img" fat32 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/kid.img")
# mtools copies the folder by its host name; it never reads "[Kid]" as a pattern here.
mcopy -s -i "$work/kid.img@@$at" "$work/profiles/PROFILES" ::/WINDOWS/ || fail "cannot put the profile on the image"
temporary="$work/tmp @@x \$(touch ran)"
mkdir -p "$temporary"
(cd "$work" && TMPDIR=$temporary exec "$tool" --image "$work/kid.img" --user '[Kid]' --answer yes --no-backup \
    </dev/null >/dev/null 2>"$work/kid.err") || fail "[Kid]: the run failed: $(tail -n 1 "$work/kid.err")"
[ -e "$work/ran" ] && fail "[Kid]: a command in TMPDIR ran"
[ -z "$(ls -A "$temporary")" ] || fail "[Kid]: the temporary folder is not left empty: $(ls -A "$temporary")"
cleaned "[Kid]" "$work/kid.img"
mkdir "$work/out"
mcopy -s -n -i "$work/kid.img@@$at" ::/WINDOWS/PROFILES "$work/out" || fail "[Kid]: cannot copy the profiles out"
cmp -s "$work/out/PROFILES/[Kid]/USER.DAT" "$work/ref/WINDOWS/PROFILES/[Kid]/USER.DAT" ||
    fail "[Kid]: the profile's USER.DAT is not the reference run's"

# --- A user's NOTES.TXT whose entry names the first cluster of the driver's CMAUDIO.VXD (cross-linked).
bash "$source/examples/make_disk_image.sh" "$work/cross.img" fat16 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/cross.img")
head -c 3000 /dev/urandom | mcopy -i "$work/cross.img@@$at" - ::/NOTES.TXT || fail "cannot put NOTES.TXT"
driver=$(mshowfat -i "$work/cross.img@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD | sed -n 's/.*<\([0-9]*\).*/\1/p' | head -n 1)
[ -n "$driver" ] || fail "no cluster for CMAUDIO.VXD"
python3 - "$work/cross.img" "$at" "$driver" <<'PY'
import struct, sys
path, start, cluster = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, "r+b") as image:
    image.seek(start)
    volume = image.read(16 * 1024 * 1024)
    entry = volume.index(b"NOTES   TXT")
    image.seek(start + entry + 26)
    image.write(struct.pack("<H", cluster))
PY
volume_fsck() {
    dd if="$work/cross.img" of="$work/volume.bin" bs=1M iflag=skip_bytes skip="$at" status=none
    fsck.fat -n "$work/volume.bin" 2>&1 | grep -v -e '^fsck.fat ' -e 'volume.bin:'
}
volume_fsck >"$work/fsck.before"
grep -q -i "cross-linked\|shar" "$work/fsck.before" || fail "cross-linked: fsck.fat does not see the damage: $(head -n 3 "$work/fsck.before")"
before=$(digest "$work/cross.img")
"$tool" --image "$work/cross.img" --answer yes --no-backup </dev/null >/dev/null 2>"$work/cross.err"
status=$?
[ $status = 2 ] || fail "cross-linked: exit code $status, not 2"
grep -q "CMAUDIO.VXD shares its clusters with NOTES.TXT.*run ScanDisk" "$work/cross.err" ||
    fail "cross-linked: the message does not ask for ScanDisk: $(tail -n 1 "$work/cross.err")"
[ "$(digest "$work/cross.img")" = "$before" ] || fail "cross-linked: the image changed"
[ -e "$work/cross.img.cmpci-rollback" ] && fail "cross-linked: a rollback journal was left"
volume_fsck | diff "$work/fsck.before" - >/dev/null || fail "cross-linked: fsck.fat finds other damage than before"

finish "image fat"
