#!/usr/bin/env bash
# --restore as a user meets it after a backup has been handled by other tools or the machine has moved on:
#   a manifest re-laid out by jq (indented, on one line, keys sorted) restores all of the card's files and
#   keys, on the REGEDIT4 example machine and on its SYSTEM.DAT twin; every manifest the program writes
#   matches doc/manifest.schema.json (python3-jsonschema);
#   a manifest cut short, lacking a field, of an unknown format, naming no machine or naming a file outside
#   WINDOWS is refused with nothing restored; an older manifest without marks is judged as before and says so;
#   another machine put at the backup's path (another ProductId) is refused; the same machine used since
#   (other keys, other files; on REGEDIT4 and on SYSTEM.DAT, read back by libcreg) is restored, keeping
#   what was added; a removed file back in another letter
#   case counts as there and is not written twice; a backup named alone is found beside the machine;
#   on a disk with two Windows installations, a backup of partition 5 restored on partition 1 is refused
#   naming partition 5, and a manifest entry outside WINDOWS is refused there too.
# Usage: restore_manifest_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
export LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
PATH=$PATH:/usr/sbin:/sbin

tool=$1
source=$2
machine=$source/examples/machine
twin=$source/examples/machine-dat
. "$(dirname "$0")/common.sh"
need jq python3 mcopy minfo sfdisk cregexport
python3 -c 'import jsonschema' 2>/dev/null || { fail "python3 cannot import jsonschema: install python3-jsonschema"; exit 1; }
start_work

# valid MANIFEST: it matches the published schema.
valid() {
    python3 - "$source/doc/manifest.schema.json" "$1" <<'EOF' || fail "$1 does not match doc/manifest.schema.json"
import json, sys, jsonschema
jsonschema.Draft202012Validator(json.load(open(sys.argv[1]))).validate(json.load(open(sys.argv[2])))
EOF
}

# cleaned NAME SOURCE: $work/NAME, a copy of SOURCE cleaned with its backup in $work/NAME.backup, and
# $work/NAME.cleaned, a copy of it as the run left it.
cleaned() {
    rm -rf "${work:?}/$1" "$work/$1.backup" "$work/$1.cleaned"
    cp -R "$2" "$work/$1"
    "$tool" --machine "$work/$1" --answer yes --backup "$work/$1.backup" </dev/null >/dev/null 2>"$work/$1.err" ||
        fail "$1: the run failed: $(cat "$work/$1.err")"
    valid "$work/$1.backup/manifest.json"
    cp -R "$work/$1" "$work/$1.cleaned"
}

# relaid NAME FILTER: the backup's manifest passed through jq with FILTER's options and program.
relaid() {
    local name=$1
    shift
    jq "$@" "$work/$name.backup/manifest.json" >"$work/manifest.new" && mv "$work/manifest.new" "$work/$name.backup/manifest.json" ||
        fail "$name: jq $*"
}

# restore NAME [BACKUP]: --restore on $work/NAME; exit code in NAME.rc, stderr in NAME.err.
restore() {
    "$tool" --machine "$work/$1" --restore "${2:-$work/$1.backup}" </dev/null >/dev/null 2>"$work/$1.err"
    echo $? >"$work/$1.rc"
}

# refused LABEL NAME TEXT: the last restore ended with 2 and a line holding TEXT, and NAME is as cleaned.
refused() {
    [ "$(cat "$work/$2.rc")" = 2 ] && grep -q -F -- "$3" "$work/$2.err" ||
        fail "$1: not refused with \"$3\": exit $(cat "$work/$2.rc"): $(cat "$work/$2.err")"
    diff -r "$work/$2.cleaned" "$work/$2" >/dev/null || fail "$1: a refused restore changed the machine"
}

# --- Any JSON layout: indented by jq, on one line, keys sorted; the 14 files and the keys come back.
for layout in "indented:." "one-line:-c ." "sorted:-S ."; do
    label=${layout%%:*}
    read -r -a filter <<<"${layout#*:}"
    cleaned r4 "$machine"
    relaid r4 "${filter[@]}"
    restore r4
    [ "$(cat "$work/r4.rc")" = 0 ] || fail "REGEDIT4 $label: exit $(cat "$work/r4.rc"): $(cat "$work/r4.err")"
    diff -r "$machine" "$work/r4" >/dev/null || fail "REGEDIT4 $label: the machine is not as it was: $(diff -r "$machine" "$work/r4" | head -n 2)"
    cleaned dat "$twin"
    relaid dat "${filter[@]}"
    restore dat
    [ "$(cat "$work/dat.rc")" = 0 ] || fail "SYSTEM.DAT $label: exit $(cat "$work/dat.rc"): $(cat "$work/dat.err")"
    diff -r "$twin" "$work/dat" >/dev/null || fail "SYSTEM.DAT $label: the machine is not as it was: $(diff -r "$twin" "$work/dat" | head -n 2)"
done
[ "$(list_files "$source" | wc -l)" = 14 ] || fail "the example's list does not hold 14 files"

# --- Manifests that cannot be trusted whole: nothing is restored.
cleaned bad "$machine"
cp "$work/bad.backup/manifest.json" "$work/manifest.good"
while IFS='@' read -r label edit text; do
    cp "$work/manifest.good" "$work/bad.backup/manifest.json"
    eval "$edit"
    restore bad
    refused "$label" bad "$text"
done <<'CASES'
cut short@head -c 1500 "$work/manifest.good" >"$work/bad.backup/manifest.json"@cut short
a file without its SHA-256@relaid bad 'del(.files[3].sha256)'@"sha256" is missing
an unknown format@relaid bad '.format = 3'@format this version does not know
no machine named@relaid bad 'del(.machine)'@"machine" is missing
an empty machine@relaid bad '.machine = ""'@names no machine
a file outside WINDOWS@relaid bad '.files[0].host = "OTHER/" + (.files[0].host | sub("^WINDOWS/"; ""))'@outside the machine's Windows folder
a file at the top@relaid bad '.files[0].host = "AUTOEXEC.BAT"'@outside the machine's Windows folder
CASES
[ ! -e "$work/bad/OTHER" ] && [ ! -e "$work/bad/AUTOEXEC.BAT" ] || fail "outside WINDOWS: a file was made"

# --- An older version's manifest (format 1, no marks) is judged by its path, as before, and says so.
cp "$work/manifest.good" "$work/bad.backup/manifest.json"
relaid bad 'del(.format, .marks)'
restore bad
[ "$(cat "$work/bad.rc")" = 0 ] && grep -q "carries no marks" "$work/bad.err" ||
    fail "format 1: exit $(cat "$work/bad.rc"): $(cat "$work/bad.err")"
diff -r "$machine" "$work/bad" >/dev/null || fail "format 1: the machine is not as it was"

# --- Identity beyond the path. A machine with a ProductId of its own is cleaned; another one (another
#     ProductId) put at its path is refused; the first one back, used since (a key and a file added), is
#     restored and keeps them.
marked() {
    rm -rf "${work:?}/$1"
    cp -R "$machine" "$work/$1"
    sed -i "s/^\"RegisteredOwner\"=\"Studio\"\r\$/&\n\"ProductId\"=\"$2\"\r/" "$work/$1/registry.reg"
    grep -q "ProductId" "$work/$1/registry.reg" || fail "$1: no ProductId added"
}
marked vmA 12345-OEM-0012345-67890
cleaned vm "$work/vmA"
grep -q '"ProductId": "12345-OEM-0012345-67890"' "$work/vm.backup/manifest.json" || fail "identity: the manifest lacks the ProductId"
mv "$work/vm" "$work/vm.own"
marked vm 99999-OEM-0099999-00000
rm -rf "$work/vm.cleaned" && cp -R "$work/vm" "$work/vm.cleaned"
restore vm
refused "identity: another machine at the same path" vm "(its ProductId differs)"
rm -rf "$work/vm" && mv "$work/vm.own" "$work/vm"
printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n"Since"="the run"\r\n' >>"$work/vm/registry.reg"
echo added >"$work/vm/WINDOWS/ADDED.TXT"
mv "$work/vm" "$work/vm.moved"
"$tool" --machine "$work/vm.moved" --restore "$work/vm.backup" </dev/null >/dev/null 2>"$work/vm.err" ||
    fail "identity: the same machine used and moved since is refused: $(cat "$work/vm.err")"
grep -q "bears that machine's marks" "$work/vm.err" || fail "identity: the move is not said: $(cat "$work/vm.err")"
grep -q -F '[HKEY_LOCAL_MACHINE\SOFTWARE\Added]' "$work/vm.moved/registry.reg" && [ -f "$work/vm.moved/WINDOWS/ADDED.TXT" ] ||
    fail "identity: what was added since was lost"
"$tool" --machine "$work/vm.moved" --check >/dev/null 2>&1
[ $? = 1 ] || fail "identity: the restored machine does not hold the card again"
list_files "$source" | while read -r file; do
    cmp -s "$machine/$file" "$work/vm.moved/$file" || fail "identity: $file did not come back"
done

# --- A SYSTEM.DAT machine used since (a key added, both registry files written anew by --import, a file
#     added): the removed keys are added back into its registry files, which libcreg reads with every key
#     the machine had before the run plus the one added; the added file stays.
cleaned used "$twin"
"$tool" --machine "$work/used" --export "$work/used.reg" 2>/dev/null || fail "used: --export failed"
printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n"Since"="the run"\r\n' >>"$work/used.reg"
rm "$work/used/WINDOWS/SYSTEM.DAT" "$work/used/WINDOWS/USER.DAT"
"$tool" --machine "$work/used" --import "$work/used.reg" >/dev/null 2>&1 || fail "used: --import failed"
echo added >"$work/used/WINDOWS/ADDED.TXT"
restore used
[ "$(cat "$work/used.rc")" = 0 ] && grep -q "SYSTEM.DAT changed since the run: the removed keys were added back into it" "$work/used.err" ||
    fail "used: exit $(cat "$work/used.rc"): $(cat "$work/used.err")"
# keys FILE: the key paths libcreg reads in a registry file, sorted, names folded to lower case.
keys() { cregexport "$1" 2>/dev/null | sed -n 's/^Key path: //p' | tr 'A-Z' 'a-z' | sort; }
for file in SYSTEM USER; do
    keys "$twin/WINDOWS/$file.DAT" >"$work/$file.expected"
    [ $file = SYSTEM ] && { echo software\\added; } >>"$work/$file.expected"
    sort -o "$work/$file.expected" "$work/$file.expected"
    keys "$work/used/WINDOWS/$file.DAT" | diff "$work/$file.expected" - >"$work/$file.diff" ||
        fail "used: libcreg reads other keys in $file.DAT: $(head -n 4 "$work/$file.diff" | tr '\n' ' ')"
done
[ -f "$work/used/WINDOWS/ADDED.TXT" ] || fail "used: the added file was lost"
diff <(cd "$twin" && find . -type f | sort) <(cd "$work/used" && find . -type f ! -name ADDED.TXT | sort) >/dev/null ||
    fail "used: the machine's files are not those it had"

# --- A removed file back in another letter case is there already: not written twice, not counted.
cleaned case "$machine"
cp "$machine/WINDOWS/SYSTEM/CMAUDIO.VXD" "$work/case/WINDOWS/SYSTEM/cmaudio.vxd"
restore case
[ "$(cat "$work/case.rc")" = 0 ] && grep -q "13 files restored, the others were already there" "$work/case.err" ||
    fail "letter case: exit $(cat "$work/case.rc"): $(cat "$work/case.err")"
[ "$(find "$work/case/WINDOWS/SYSTEM" -iname cmaudio.vxd | wc -l)" = 1 ] || fail "letter case: the file is there twice"

# --- A backup named alone, from another folder: found in the machine folder, where the run put it; a name
#     found nowhere is told with the full path to use.
rm -rf "${work:?}/named"
cp -R "$machine" "$work/named"
"$tool" --machine "$work/named" --answer yes </dev/null >/dev/null 2>"$work/named.err" || fail "named: the run failed"
name=$(basename "$(find "$work/named" -maxdepth 1 -name 'cmpci-backup-*' | head -n 1)")
mkdir "$work/elsewhere"
(cd "$work/elsewhere" && "$tool" --machine ../named --restore "$name" </dev/null >/dev/null 2>"$work/named.err") ||
    fail "named: --restore $name from another folder: $(cat "$work/named.err")"
rm -rf "${work:?}/named/$name"
diff -r "$machine" "$work/named" >/dev/null || fail "named: the machine is not as it was"
(cd "$work/elsewhere" && "$tool" --machine ../named --restore cmpci-backup-20990101-000000 </dev/null >/dev/null 2>"$work/named.err")
[ $? = 2 ] && grep -q -F "such as $work/named/cmpci-backup-YYYYMMDD-HHMMSS" "$work/named.err" ||
    fail "named: a name found nowhere: $(cat "$work/named.err")"

# --- A disk with Windows on partitions 1 and 5: a backup of 5 restored on 1 names partition 5; on 5 it is
#     restored, after a file was added there; a manifest entry outside WINDOWS is refused on the image.
mkdir "$work/two"
bash "$source/examples/make_disk_image.sh" "$work/two/disk.img" fat16 --second >/dev/null 2>&1 || fail "two: make_disk_image.sh failed"
"$tool" --image "$work/two/disk.img" --partition 5 --answer yes --backup "$work/two.backup" </dev/null >/dev/null 2>"$work/two.err" ||
    fail "two: the run failed: $(cat "$work/two.err")"
valid "$work/two.backup/manifest.json"
jq -e '.marks.partition == 5 and (.marks.volumeSerial | test("^[0-9A-F]{4}-[0-9A-F]{4}$")) and .marks.windowsFolder != ""' \
    "$work/two.backup/manifest.json" >/dev/null || fail "two: the manifest's marks: $(jq -c .marks "$work/two.backup/manifest.json")"
before=$(sha256sum <"$work/two/disk.img")
"$tool" --image "$work/two/disk.img" --partition 1 --restore "$work/two.backup" </dev/null >/dev/null 2>"$work/two.err"
[ $? = 2 ] && grep -q -F "was taken of partition 5 of $work/two/disk.img; pass --partition 5; nothing was restored" "$work/two.err" ||
    fail "two: partition 1: $(cat "$work/two.err")"
[ "$(sha256sum <"$work/two/disk.img")" = "$before" ] || fail "two: a refused restore changed the image"
at=$(sfdisk -d "$work/two/disk.img" | awk -v name="$work/two/disk.img5 " 'index($0, name) == 1 { gsub(/[=,]/, " "); print $4 * 512 }')
# serial IMAGE OFFSET: the FAT volume's serial number as mtools reads it, in DIR's form XXXX-XXXX.
serial() {
    minfo -i "$1@@$2" :: 2>/dev/null | sed -n -E 's/^serial number: ([0-9A-F]{4})([0-9A-F]{4})$/\1-\2/p' | grep . ||
        echo "(mtools reads no serial number)"
}
[ "$(jq -r '"\(.marks.volumeSerial) \(.marks.partitionStart)"' "$work/two.backup/manifest.json")" = "$(serial "$work/two/disk.img" "$at") $at" ] ||
    fail "two: the marks are not partition 5's: $(jq -c .marks "$work/two.backup/manifest.json"), mtools: $(serial "$work/two/disk.img" "$at") at $at"
cp "$work/two.backup/manifest.json" "$work/two.manifest"
jq '.files[0].host = "OTHER/" + (.files[0].host | sub("^WINDOWS/"; ""))' "$work/two.manifest" >"$work/two.backup/manifest.json"
"$tool" --image "$work/two/disk.img" --partition 5 --restore "$work/two.backup" </dev/null >/dev/null 2>"$work/two.err"
[ $? = 2 ] && grep -q "outside the machine's Windows folder" "$work/two.err" || fail "two: outside WINDOWS: $(cat "$work/two.err")"
[ "$(sha256sum <"$work/two/disk.img")" = "$before" ] || fail "two: a refused restore changed the image"
cp "$work/two.manifest" "$work/two.backup/manifest.json"
# Partition 5 used since: a file added, and SYSTEM.DAT written anew with a key added (by --import in a folder).
echo added >"$work/added.txt"
mcopy -i "$work/two/disk.img@@$at" "$work/added.txt" ::/WINDOWS/ADDED.TXT || fail "two: cannot add a file"
mkdir -p "$work/two.used/WINDOWS"
"$tool" --image "$work/two/disk.img" --partition 5 --export "$work/two.reg" 2>/dev/null || fail "two: --export failed"
printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n' >>"$work/two.reg"
"$tool" --machine "$work/two.used" --import "$work/two.reg" >/dev/null 2>&1 || fail "two: --import failed"
mattrib -i "$work/two/disk.img@@$at" -r -s -h ::/WINDOWS/SYSTEM.DAT &&
    mcopy -o -i "$work/two/disk.img@@$at" "$work/two.used/WINDOWS/SYSTEM.DAT" ::/WINDOWS/SYSTEM.DAT ||
    fail "two: cannot write SYSTEM.DAT"
"$tool" --image "$work/two/disk.img" --partition 5 --restore "$work/two.backup" </dev/null >/dev/null 2>"$work/two.err" ||
    fail "two: partition 5 used since: $(cat "$work/two.err")"
mcopy -n -i "$work/two/disk.img@@$at" ::/WINDOWS/SYSTEM.DAT "$work/two.system" 2>/dev/null || fail "two: no SYSTEM.DAT"
{ keys "$twin/WINDOWS/SYSTEM.DAT"; echo software\\added; } | sort | diff - <(keys "$work/two.system") >"$work/two.diff" ||
    fail "two: libcreg reads other keys in SYSTEM.DAT: $(head -n 4 "$work/two.diff" | tr '\n' ' ')"
mcopy -n -i "$work/two/disk.img@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD "$work/back.vxd" 2>/dev/null &&
    cmp -s "$work/back.vxd" "$twin/WINDOWS/SYSTEM/CMAUDIO.VXD" || fail "two: CMAUDIO.VXD did not come back"
mtype -i "$work/two/disk.img@@$at" ::/WINDOWS/ADDED.TXT 2>/dev/null | grep -q added || fail "two: the added file was lost"

# --- FAT32 keeps its serial number elsewhere in the boot sector (offset 0x43, not 0x27): read there.
mkdir "$work/f32"
bash "$source/examples/make_disk_image.sh" "$work/f32/disk.img" fat32 >/dev/null 2>&1 || fail "f32: make_disk_image.sh failed"
"$tool" --image "$work/f32/disk.img" --answer yes --backup "$work/f32.backup" </dev/null >/dev/null 2>"$work/f32.err" ||
    fail "f32: the run failed: $(cat "$work/f32.err")"
at=$(sfdisk -d "$work/f32/disk.img" | awk -v name="$work/f32/disk.img1 " 'index($0, name) == 1 { gsub(/[=,]/, " "); print $4 * 512 }')
[ "$(jq -r '"\(.marks.partition) \(.marks.volumeSerial) \(.marks.partitionStart)"' "$work/f32.backup/manifest.json")" = "1 $(serial "$work/f32/disk.img" "$at") $at" ] ||
    fail "f32: the marks: $(jq -c .marks "$work/f32.backup/manifest.json"), mtools: $(serial "$work/f32/disk.img" "$at") at $at"

finish "restore manifest"
