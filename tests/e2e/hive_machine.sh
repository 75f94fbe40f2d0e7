#!/usr/bin/env bash
# Windows 9x registry files (SYSTEM.DAT, USER.DAT), checked against an independent reader, libcreg, on copies
# of the example machine's twin (examples/machine-dat) and of the example machine itself:
#   libcreg and the project read both files of the twin alike, and --import still writes them byte for byte;
#   a run leaves files that libcreg reads as the project does, less exactly the card's keys, exports as the
#   run on the REGEDIT4 example does, and journals the same; a second run removes nothing;
#   --restore puts both files back byte for byte; --dry-run and --check change no byte;
#   a folder with both kinds of registry, or SYSTEM.DAT alone, is refused;
#   --user NAME cleans WINDOWS/PROFILES/NAME/USER.DAT and leaves WINDOWS/USER.DAT as it was;
#   damaged files are refused with one line naming the file and the offset, and change nothing;
#   the registry files of Windows ME itself read alike, survive --export and --import, and, with the card's
#   keys added, lose exactly those keys in a run.
# Usage: hive_machine.sh <cmpci-uninstall> <hive_view> <python3 with pycreg> <source-dir>
set -u
export LC_ALL=C

tool=$1
hive_view=$2
python=$3
source=$4
twin=$source/examples/machine-dat
machine=$source/examples/machine
. "$(dirname "$0")/common.sh"
start_work

if ! "$python" -c 'import pycreg' 2>/dev/null; then
    echo "FAIL: $python cannot import pycreg (libcreg): install python3-libcreg" >&2
    exit 1
fi

# views FILE OUT LABEL: the file as libcreg reads it into OUT and as the project reads it into OUT.own; a
# check fails unless both read it, and read the same.
views() {
    "$python" "$source/tests/hive/libcreg_view.py" "$1" >"$2" 2>"$2.err" || fail "$3: libcreg: $(cat "$2.err")"
    "$hive_view" "$1" >"$2.own" 2>"$2.err" || fail "$3: the project: $(cat "$2.err")"
    grep -q '^K' "$2" || fail "$3: libcreg reads no key"
    cmp -s "$2" "$2.own" ||
        fail "$3: libcreg and the project read it differently: $(diff "$2" "$2.own" | head -n 4 | tr '\n' ' ')"
}

# without_keys VIEW KEYS: the view less the listed keys (paths below the file's root, one a line) and
# everything below them, names compared without regard to case.
without_keys() {
    awk -F'\t' -v keysfile="$2" '
        BEGIN { while ((getline key < keysfile) > 0) gone[tolower(key)] = 1 }
        {
            path = tolower($2)
            for (key in gone)
                if (path == key || substr(path, 1, length(key) + 1) == key "\\") next
            print
        }' "$1"
}

# refused NAME TEXT ARGS...: a run on the folder NAME must end with 2 and one line on stderr that holds
# TEXT, and leave the folder as it was.
refused() {
    local name=$1 text=$2
    shift 2
    rm -rf "$work/$name.before"
    cp -R "$work/$name" "$work/$name.before"
    attempt "$name" "$@"
    local rc
    rc=$(cat "$work/$name.rc")
    [ "$rc" = 2 ] || fail "$name: exit code $rc, expected 2 ($(tail -n 1 "$work/$name.err"))"
    [ "$(wc -l <"$work/$name.err")" -eq 1 ] || fail "$name: not one line on stderr: $(tr '\n' ' ' <"$work/$name.err")"
    grep -q -F -- "$text" "$work/$name.err" || fail "$name: stderr does not say '$text': $(cat "$work/$name.err")"
    diff -r "$work/$name.before" "$work/$name" >/dev/null || fail "$name: the machine folder changed"
}

removed_count() { grep '"op":"delete-key"' "$1" | grep -c '"existed":true'; }

# The card's keys, by file: HKEY_LOCAL_MACHINE is SYSTEM.DAT's root, HKEY_CURRENT_USER its .DEFAULT in USER.DAT.
list_keys "$source" >"$work/card.keys"
sed -n 's/^HKEY_LOCAL_MACHINE\\//p' "$work/card.keys" >"$work/SYSTEM.keys"
sed -n 's/^HKEY_CURRENT_USER\\/.DEFAULT\\/p' "$work/card.keys" >"$work/USER.keys"
[ "$(cat "$work/SYSTEM.keys" "$work/USER.keys" | wc -l)" -eq "$(wc -l <"$work/card.keys")" ] ||
    fail "a card key below a root that is neither HKEY_LOCAL_MACHINE nor HKEY_CURRENT_USER"
[ -s "$work/SYSTEM.keys" ] && [ -s "$work/USER.keys" ] || fail "no card keys for one of the two files"

# --- 1. The twin as it is: libcreg and the project read every key and value of both files alike, it exports
#        as the REGEDIT4 example does, and --import of the example's registry.reg writes exactly its files.
for f in SYSTEM USER; do
    views "$twin/WINDOWS/$f.DAT" "$work/$f.before" "twin $f.DAT"
    while IFS= read -r key; do
        grep -q -i -x -F "K	$key" "$work/$f.before" || fail "twin $f.DAT: no card key $key"
    done <"$work/$f.keys"
done
"$tool" --machine "$twin" --export "$work/twin.export" 2>"$work/export.err" || fail "export of the twin: $(cat "$work/export.err")"
"$tool" --machine "$machine" --export "$work/machine.export" 2>"$work/export.err" || fail "export of the example: $(cat "$work/export.err")"
cmp -s "$work/twin.export" "$work/machine.export" || fail "the twin does not export as the REGEDIT4 example"
"$tool" --machine "$work/imported" --import "$machine/registry.reg" >/dev/null 2>"$work/import.err" ||
    fail "import: $(cat "$work/import.err")"
for f in SYSTEM USER; do
    cmp -s "$twin/WINDOWS/$f.DAT" "$work/imported/WINDOWS/$f.DAT" ||
        fail "--import of examples/machine/registry.reg no longer writes examples/machine-dat/WINDOWS/$f.DAT"
done

# --- 2. A run on the twin and one on the REGEDIT4 example: the files left read alike in libcreg and in the
#        project, as before less exactly the card's keys; both machines export the same and journal the same;
#        --check finds nothing; a second run removes nothing and changes no byte.
cp -R "$twin" "$work/dat"
cp -R "$machine" "$work/reg"
run dat --answer yes --backup "$work/dat.backup"
run reg --answer yes --no-backup
[ "$(removed_count "$work/dat.journal")" -eq "$(wc -l <"$work/card.keys")" ] || fail "dat: not the card's keys removed"
for f in SYSTEM USER; do
    views "$work/dat/WINDOWS/$f.DAT" "$work/$f.after" "cleaned $f.DAT"
    without_keys "$work/$f.before" "$work/$f.keys" >"$work/$f.expected"
    cmp -s "$work/$f.before" "$work/$f.expected" && fail "$f.DAT: the card's keys take nothing out of the view"
    cmp -s "$work/$f.expected" "$work/$f.after" ||
        fail "cleaned $f.DAT is not the twin's less the card's keys: $(diff "$work/$f.expected" "$work/$f.after" | head -n 4 | tr '\n' ' ')"
done
"$tool" --machine "$work/dat" --export "$work/dat.export" 2>"$work/export.err" || fail "export of dat: $(cat "$work/export.err")"
"$tool" --machine "$work/reg" --export "$work/reg.export" 2>"$work/export.err" || fail "export of reg: $(cat "$work/export.err")"
cmp -s "$work/dat.export" "$work/reg.export" ||
    fail "the cleaned twin exports otherwise than the cleaned example: $(diff "$work/dat.export" "$work/reg.export" | head -n 4 | tr '\n' ' ')"
cmp -s "$work/dat.export" "$work/twin.export" && fail "the run changed nothing in the export"
# The two journals differ only in their times, in the backup folders their summaries name and in the
# registry files read back: SYSTEM.DAT and USER.DAT, or registry.reg.
grep -q -F '{"op":"verified","matched":true,"sectors":0,"files":2,"registryFiles":2}' "$work/dat.journal" &&
    grep -q -F '{"op":"verified","matched":true,"sectors":0,"files":1,"registryFiles":1}' "$work/reg.journal" ||
    fail "the registry files were not read back: $(grep -h verified "$work/dat.journal" "$work/reg.journal" | tr '\n' ' ')"
for j in dat.journal reg.journal dat.journal.summary reg.journal.summary; do
    sed -E -e 's/"time":"[^"]*",?//g' -e 's/,"backup":"[^"]*"//' -e '/"op":"verified"/d' "$work/$j" >"$work/$j.untimed"
done
cmp -s "$work/dat.journal.untimed" "$work/reg.journal.untimed" ||
    fail "the journals of the two runs differ: $(diff "$work/dat.journal.untimed" "$work/reg.journal.untimed" | head -n 4 | tr '\n' ' ')"
cmp -s "$work/dat.journal.summary.untimed" "$work/reg.journal.summary.untimed" || fail "the summaries of the two runs differ"
"$tool" --machine "$work/dat" --check >"$work/check.out" 2>&1 || fail "dat: --check finds something after the run: $(cat "$work/check.out")"
cp "$work/dat/WINDOWS/SYSTEM.DAT" "$work/SYSTEM.cleaned"
cp "$work/dat/WINDOWS/USER.DAT" "$work/USER.cleaned"
mv "$work/dat.journal" "$work/dat.first.journal"
run dat --answer yes --no-backup
grep -q '"existed":true' "$work/dat.journal" && fail "again: something was removed"
for f in SYSTEM USER; do
    cmp -s "$work/$f.cleaned" "$work/dat/WINDOWS/$f.DAT" || fail "again: $f.DAT changed"
done

# --- 3. --restore of the backup puts both files back byte for byte, and the whole machine with them.
for f in SYSTEM USER; do
    cmp -s "$twin/WINDOWS/$f.DAT" "$work/dat.backup/before/WINDOWS/$f.DAT" || fail "backup: before/WINDOWS/$f.DAT is not the file as it was"
done
"$tool" --machine "$work/dat" --restore "$work/dat.backup" >/dev/null 2>"$work/restore.err" ||
    fail "restore: $(cat "$work/restore.err")"
for f in SYSTEM USER; do
    cmp -s "$twin/WINDOWS/$f.DAT" "$work/dat/WINDOWS/$f.DAT" || fail "restore: $f.DAT is not as it was"
done
diff -r "$twin" "$work/dat" >/dev/null || fail "restore: the machine is not as it was: $(diff -r "$twin" "$work/dat" | head -n 3 | tr '\n' ' ')"

# --- 4. --dry-run journals the card's removal and --check lists the card; neither changes a byte.
cp -R "$twin" "$work/dry"
run dry --answer yes --dry-run --no-backup
[ "$(removed_count "$work/dry.journal")" -eq "$(wc -l <"$work/card.keys")" ] || fail "dry: not the card's keys journaled"
diff -r "$twin" "$work/dry" >/dev/null || fail "dry: the machine changed"
"$tool" --machine "$work/dry" --check >"$work/check.out" 2>/dev/null
[ $? = 1 ] || fail "check: exit code is not 1 on the twin"
grep -q -x -F 'uninstall-entry HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune [run]' "$work/check.out" ||
    fail "check: the uninstall entry is not listed"
diff -r "$twin" "$work/dry" >/dev/null || fail "check: the machine changed"

# --- 5. Refused folders: both registry.reg and WINDOWS/SYSTEM.DAT; SYSTEM.DAT without USER.DAT.
cp -R "$twin" "$work/both"
cp "$machine/registry.reg" "$work/both/"
refused both "holds both registry.reg and WINDOWS/SYSTEM.DAT" --answer yes
cp -R "$twin" "$work/nouser"
rm "$work/nouser/WINDOWS/USER.DAT"
refused nouser "but no WINDOWS/USER.DAT" --answer yes

# --- 6. --user NAME with WINDOWS/PROFILES/NAME/USER.DAT: the profile's file is loaded as HKEY_USERS\NAME, so
#        its root holds the user's keys; --import writes such a file from keys directly below HKEY_USERS. The
#        run removes the card's mixer settings from it, keeps the other mixer's, reads the profile's
#        language, and leaves WINDOWS/USER.DAT byte for byte; --restore puts the profile's file back.
mixer='Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\C-Media Audio Mixer'
printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_USERS\Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\Creative Mixer]' '"Style"="0"' '' \
    "[HKEY_USERS\\$mixer]" '"Options"=hex:05,00,00,00' '"Window"=hex:2c,00,00,00,00,00,00,00,01,00,00,00' \
    '"Style"="0"' '"Line0"="Wave,CD Audio,Line In,Microphone"' '' \
    '[HKEY_USERS\Control Panel\International]' '"Locale"="00000407"' '' >"$work/profile.reg"
"$tool" --machine "$work/profile" --import "$work/profile.reg" >/dev/null 2>"$work/import.err" ||
    fail "profile import: $(cat "$work/import.err")"
cp -R "$twin" "$work/user"
mkdir -p "$work/user/WINDOWS/PROFILES/ANNA"
mv "$work/profile/WINDOWS/USER.DAT" "$work/user/WINDOWS/PROFILES/ANNA/USER.DAT"
cp "$work/user/WINDOWS/PROFILES/ANNA/USER.DAT" "$work/profile.before.dat"
views "$work/profile.before.dat" "$work/profile.before" "profile USER.DAT"
grep -q -x -F "K	$mixer" "$work/profile.before" || fail "profile USER.DAT: no mixer settings"
run user --user ANNA --answer yes --backup "$work/user.backup"
grep -q -F '{"op":"delete-key","root":"HKEY_CURRENT_USER","path":"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer","existed":true}' \
    "$work/user.journal" || fail "user: the mixer settings were not removed"
grep -q '"op":"message-box".*"language":1031' "$work/user.journal" || fail "user: the profile's language was not read"
views "$work/user/WINDOWS/PROFILES/ANNA/USER.DAT" "$work/profile.after" "cleaned profile USER.DAT"
echo "$mixer" >"$work/mixer.key"
without_keys "$work/profile.before" "$work/mixer.key" >"$work/profile.expected"
cmp -s "$work/profile.expected" "$work/profile.after" ||
    fail "profile USER.DAT is not as before less the mixer settings: $(diff "$work/profile.expected" "$work/profile.after" | head -n 4 | tr '\n' ' ')"
cmp -s "$twin/WINDOWS/USER.DAT" "$work/user/WINDOWS/USER.DAT" || fail "user: WINDOWS/USER.DAT changed"
"$tool" --machine "$work/user" --restore "$work/user.backup" >/dev/null 2>"$work/restore.err" ||
    fail "user restore: $(cat "$work/restore.err")"
cmp -s "$work/profile.before.dat" "$work/user/WINDOWS/PROFILES/ANNA/USER.DAT" || fail "user restore: the profile's USER.DAT is not as it was"

# --- 7. Damaged files, made by patching the bytes of the twin's files (the layout is that of
#        src/registry/hive_file.h): exit 2 with one line naming the file and the offset at fault,
#        nothing changed, no crash, no hang. damage KIND FILE patches FILE and prints that offset.
damage() {
    "$python" - "$1" "$2" <<'EOF'
import struct, sys
kind, path = sys.argv[1], sys.argv[2]
data = bytearray(open(path, "rb").read())
get = lambda at: struct.unpack_from("<I", data, at)[0]
put = lambda at, value: struct.pack_into("<I", data, at, value)
tree = 0x20                           # the key tree; entry offsets count from here
root = tree + get(tree + 8)           # the root entry
first = tree + get(root + 0x10)       # the root's first subkey
block = get(8)                        # the first data block
record = block + 0x20                 # its first key record
if kind == "truncated":               # cut inside the first data block: its size runs past the end
    del data[block + 0x100:]
    at = block + 4
elif kind == "tree-signature":        # RGKN no more
    data[tree + 3] = ord("X")
    at = tree
elif kind == "file-signature":        # CREG no more
    data[3] = ord("X")
    at = 0
elif kind == "cycle":                 # the first subkey's first subkey is the root again
    put(first + 0x10, root - tree)
    at = first + 0x10
elif kind == "outside":               # the first subkey's next sibling lies past the key tree
    put(first + 0x14, get(tree + 4) + 0x1000)
    at = first + 0x14
elif kind == "sizes":                 # the first key record uses a byte more than its size
    put(record + 8, get(record) + 1)
    at = record
elif kind == "missing-block":         # the first subkey's record is in data block 0x42, which is not there
    struct.pack_into("<H", data, first + 0x1A, 0x42)
    at = first + 0x18
elif kind == "block-count":           # the header counts a data block more than the file holds
    struct.pack_into("<H", data, 0x10, struct.unpack_from("<H", data, 0x10)[0] + 1)
    at = len(data)
else:
    sys.exit("unknown damage " + kind)
open(path, "wb").write(data)
print("0x%X" % at)
EOF
}

for kind in truncated tree-signature file-signature cycle outside sizes missing-block block-count; do
    for f in SYSTEM USER; do
        cp -R "$twin" "$work/bad-$kind-$f"
        offset=$(damage "$kind" "$work/bad-$kind-$f/WINDOWS/$f.DAT") || { fail "damage $kind: the patch failed"; continue; }
        refused "bad-$kind-$f" "$work/bad-$kind-$f/WINDOWS/$f.DAT: damaged Windows 9x registry file at offset $offset:" --answer yes
    done
done
# libcreg_view.py itself fails on a damaged file, and ends on a key tree that loops.
cp -R "$twin" "$work/loop"
damage cycle "$work/loop/WINDOWS/SYSTEM.DAT" >/dev/null
timeout 60 "$python" "$source/tests/hive/libcreg_view.py" "$work/loop/WINDOWS/SYSTEM.DAT" >/dev/null 2>&1 &&
    fail "libcreg_view.py reads a key tree that loops"

# --- 8. The registry files of Windows ME itself (tests/data/real-registry): both read alike in libcreg and
#        in the project; --check finds nothing and a run changes no byte; --export then --import writes files
#        that libcreg reads as it reads Windows' own, every value with its type and bytes. With the card's keys
#        added to that export and imported, a run leaves files libcreg reads as before less exactly the card's
#        keys but the classes Windows ME's own devices use, and --check finds nothing.
real=$source/tests/data/real-registry/winme
mkdir -p "$work/me/WINDOWS"
cp "$real/SYSTEM.DAT" "$real/USER.DAT" "$work/me/WINDOWS/"
chmod u+w "$work/me/WINDOWS/SYSTEM.DAT" "$work/me/WINDOWS/USER.DAT"
for f in SYSTEM USER; do
    views "$work/me/WINDOWS/$f.DAT" "$work/me.$f" "Windows ME $f.DAT"
done
"$tool" --machine "$work/me" --check >"$work/me.check" 2>&1 || fail "Windows ME: --check: $(cat "$work/me.check")"
run me --answer yes --no-backup
for f in SYSTEM USER; do
    cmp -s "$real/$f.DAT" "$work/me/WINDOWS/$f.DAT" || fail "Windows ME: a run without the card changed $f.DAT"
done
"$tool" --machine "$work/me" --export "$work/me.reg" 2>"$work/export.err" || fail "Windows ME: export: $(cat "$work/export.err")"
"$tool" --machine "$work/me-again" --import "$work/me.reg" >/dev/null 2>"$work/import.err" ||
    fail "Windows ME: import of its export: $(cat "$work/import.err")"
for f in SYSTEM USER; do
    views "$work/me-again/WINDOWS/$f.DAT" "$work/me-again.$f" "Windows ME $f.DAT exported and imported"
    cmp -s "$work/me.$f" "$work/me-again.$f" || fail "Windows ME: $f.DAT exported and imported reads otherwise"
done
# The card's sections of the example's registry.reg, HKEY_USERS\.Default standing for HKEY_CURRENT_USER.
sed -e 's/^HKEY_CURRENT_USER\\/HKEY_USERS\\.Default\\/' "$work/card.keys" >"$work/card.sections"
awk -v keysfile="$work/card.sections" '
    BEGIN { while ((getline key < keysfile) > 0) { sub(/\r$/, "", key); keys[tolower(key)] = 1 } }
    /^\[/ {
        name = tolower(substr($0, 2)); sub(/\]\r?$/, "", name); keep = 0
        for (key in keys) if (name == key || substr(name, 1, length(key) + 1) == key "\\") keep = 1
    }
    keep' "$machine/registry.reg" >"$work/card.reg"
[ "$(grep -c '^\[' "$work/card.reg")" -ge "$(wc -l <"$work/card.keys")" ] || fail "Windows ME: the card's sections not found"
cat "$work/me.reg" "$work/card.reg" >"$work/me-card.reg"
cp -R "$machine" "$work/me-card"
rm "$work/me-card/registry.reg"
"$tool" --machine "$work/me-card" --import "$work/me-card.reg" >/dev/null 2>"$work/import.err" ||
    fail "Windows ME with the card: import: $(cat "$work/import.err")"
for f in SYSTEM USER; do
    views "$work/me-card/WINDOWS/$f.DAT" "$work/me-card.$f" "Windows ME $f.DAT with the card"
done
# Windows ME's own devices below Enum\SW name MEDIA\0001 to MEDIA\0004 too: the run keeps those classes,
# with their resource entries, and journals each with a device that uses it.
grep -E '\\Services\\Class\\MEDIA\\000[1-4]$|<000[1-4]>$' "$work/card.keys" >"$work/me-kept.keys"
[ "$(wc -l <"$work/me-kept.keys")" -eq 10 ] || fail "Windows ME with the card: not 4 classes and 6 entries to keep"
grep -v -x -F -f "$work/me-kept.keys" "$work/card.keys" >"$work/me-removed.keys"
sed -n 's/^HKEY_LOCAL_MACHINE\\//p' "$work/me-removed.keys" >"$work/me-SYSTEM.keys"
cp "$work/USER.keys" "$work/me-USER.keys"
run me-card --answer yes --no-backup
[ "$(removed_count "$work/me-card.journal")" -eq "$(wc -l <"$work/me-removed.keys")" ] ||
    fail "Windows ME with the card: not the card's keys removed, less those Windows ME's devices use"
while IFS= read -r key; do
    grep -q -F "{\"op\":\"kept\",\"kind\":\"$(case $key in *Class*) echo driver-class ;; *) echo media-resource ;; esac)\",\"where\":\"${key//\\/\\\\}\",\"usedBy\":\"HKEY_LOCAL_MACHINE\\\\Enum\\\\SW\\\\" \
        "$work/me-card.journal" || fail "Windows ME with the card: no kept record for $key"
done <"$work/me-kept.keys"
grep -q 'kept: HKEY_LOCAL_MACHINE\\Enum\\SW\\' "$work/me-card.err" || fail "Windows ME with the card: the summary names nothing kept"
for f in SYSTEM USER; do
    views "$work/me-card/WINDOWS/$f.DAT" "$work/me-card.$f.after" "Windows ME $f.DAT after the run"
    without_keys "$work/me-card.$f" "$work/me-$f.keys" >"$work/me-card.$f.expected"
    cmp -s "$work/me-card.$f.expected" "$work/me-card.$f.after" ||
        fail "Windows ME with the card: $f.DAT after the run is not as before less the card's keys"
done
"$tool" --machine "$work/me-card" --check >"$work/check.out" 2>&1 ||
    fail "Windows ME with the card: --check finds something after the run: $(cat "$work/check.out")"

finish "binary registry files"
