#!/usr/bin/env bash
# Whole runs of the offline program on copies of the bundled example machine:
#   a run answered Yes removes every key and file of the card and nothing else, byte for byte;
#   a second run removes nothing and still reports completion;
#   a No leaves the machine untouched; a dry run journals the same removals and changes nothing on disk.
# Usage: example_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"

confirmation='{"op":"message-box","caption":"Pelko Sound DRUNE","text":"Do you really want to uninstall your sound card ?","style":4116,"language":1033,'
completion='{"op":"message-box","caption":"Pelko Studio KALTO","text":"    Uninstall complete.    ","style":4160,"language":1033,'

# Keys of a journal whose deletion found them, one "root\path" a line, JSON escapes undone.
removed_keys() {
    grep '"op":"delete-key"' "$1" | grep '"existed":true' |
        sed -E 's/.*"root":"([^"]*)".*"path":"(([^"\\]|\\.)*)".*/\1\\\2/; s/\\\\/\\/g'
}

count() { grep -c -- "$1" "$2"; }

# expected_registry ORIGINAL KEYS > RESULT: the registry file with the sections of the listed keys and of
# their subkeys taken out. A section runs from its key line to the next key line, but for the comment lines
# directly above a kept key line, which stay with it; the current user's keys stand below
# HKEY_USERS\.Default in the file. Key names compare case-insensitively, trailing backslashes aside.
expected_registry() {
    awk -v keysfile="$2" '
        BEGIN {
            while ((getline key < keysfile) > 0) {
                sub(/^HKEY_CURRENT_USER\\/, "HKEY_USERS\\.Default\\", key)
                gone[tolower(key)] = 1
            }
        }
        /^\[.*\]\r$/ {
            name = tolower(substr($0, 2, length($0) - 3))
            sub(/\\+$/, "", name)
            skipping = 0
            for (key in gone)
                if (name == key || substr(name, 1, length(key) + 1) == key "\\")
                    skipping = 1
            if (!skipping) printf "%s", comments
            comments = ""
        }
        skipping && /^[ \t]*[;#]/ { comments = comments $0 "\n"; next }
        skipping { comments = ""; next }
        { print }
        END { printf "%s", comments }
    ' "$1"
}

# Every file of the original that is not listed in $2 is still in $1, unchanged; nothing else is there.
check_other_files() {
    local copy=$1 gone=$2 label=$3
    (cd "$machine" && find . -type f | sed 's|^\./||' | grep -v -x -F -f "$gone" | grep -v -x registry.reg | sort) \
        >"$work/want.list"
    (cd "$copy" && find . -type f | sed 's|^\./||' | grep -v -x registry.reg | sort) >"$work/have.list"
    diff "$work/want.list" "$work/have.list" >/dev/null || fail "$label: files differ: $(diff "$work/want.list" "$work/have.list" | tr '\n' ' ')"
    local f
    while IFS= read -r f; do
        [ -f "$copy/$f" ] && ! cmp -s "$machine/$f" "$copy/$f" && fail "$label: $f changed"
    done <"$work/want.list"
}

list_keys "$source" >"$work/card.keys"
list_files "$source" >"$work/card.files"
summary="cmpci-uninstall: removed $(wc -l <"$work/card.keys") registry keys and $(wc -l <"$work/card.files") files"
: >"$work/none"
[ -f "$machine/registry.reg" ] || { echo "FAIL: no example machine at $machine" >&2; exit 1; }
expected_registry "$machine/registry.reg" "$work/card.keys" >"$work/expected.reg"
cmp -s "$machine/registry.reg" "$work/expected.reg" && fail "the expected registry removes nothing"

# --- 1. An interactive run answered Yes removes the card, all of it and nothing else.
fresh_copy yes
run yes --no-backup --answer yes
removed_keys "$work/yes.journal" >"$work/yes.keys"
diff "$work/card.keys" "$work/yes.keys" >"$work/yes.keys.diff" ||
    fail "yes: removed keys differ from the card's: $(tr '\n' ' ' <"$work/yes.keys.diff")"
[ "$(count '"op":"delete-file".*"existed":true' "$work/yes.journal")" -eq "$(wc -l <"$work/card.files")" ] ||
    fail "yes: journal does not show the card's files removed"
[ "$(head -n 1 "$work/yes.journal" | grep -c -F "$confirmation\"result\":6}")" -eq 1 ] ||
    fail "yes: first journal line is not the confirmation answered Yes"
[ "$(tail -n 1 "$work/yes.journal" | grep -c -F "$completion")" -eq 1 ] ||
    fail "yes: last journal line is not the completion box"
[ "$(count '"op":"message-box"' "$work/yes.journal")" -eq 2 ] || fail "yes: not exactly two boxes"
grep -q '"op":"restart"' "$work/yes.journal" && fail "yes: an interactive run requested a restart"
grep -q -F '"cardFound":true,"declined":false,"keysRemoved":17,"filesRemoved":14,"left":0,"dryRun":false,"registrySaved":true,"stage":"committed","exitStatus":0}' \
    "$work/yes.journal.summary" || fail "yes: summary record: $(cat "$work/yes.journal.summary")"
grep -q -x 'cmpci-uninstall: nothing of the card is left' "$work/yes.err" || fail "yes: something of the card is said to be left"
grep -q -x "$summary" "$work/yes.err" || fail "yes: summary line missing or wrong"
while IFS= read -r f; do
    [ -e "$work/yes/$f" ] && fail "yes: $f is still there"
done <"$work/card.files"
check_other_files "$work/yes" "$work/card.files" yes
cmp -s "$work/expected.reg" "$work/yes/registry.reg" ||
    fail "yes: registry differs from the original without the card's keys: $(diff "$work/expected.reg" "$work/yes/registry.reg" | head -n 5 | tr '\n' ' ')"

# --- 2. A second run on the cleaned machine finds no card, removes nothing, and still reports completion.
cp "$work/yes/registry.reg" "$work/yes.reg.before"
inode_before=$(stat -c %i "$work/yes/registry.reg")
mv "$work/yes.journal" "$work/first.journal"
run yes --no-backup --answer yes
[ "$(wc -l <"$work/yes.journal")" -eq 2 ] || fail "again: journal does not hold exactly two lines"
[ "$(head -n 1 "$work/yes.journal" | grep -c -F "$confirmation\"result\":6}")" -eq 1 ] ||
    fail "again: no confirmation box first"
[ "$(tail -n 1 "$work/yes.journal" | grep -c -F "$completion")" -eq 1 ] || fail "again: no completion box last"
grep -q '"existed":true' "$work/yes.journal" && fail "again: something was removed"
grep -q -x 'cmpci-uninstall: the card was not found: nothing was removed' "$work/yes.err" || fail "again: summary line missing or wrong"
grep -q -F '"cardFound":false,"declined":false,"keysRemoved":0' "$work/yes.journal.summary" || fail "again: summary record"
cmp -s "$work/yes.reg.before" "$work/yes/registry.reg" || fail "again: registry file changed"
[ "$(stat -c %i "$work/yes/registry.reg")" = "$inode_before" ] || fail "again: registry file rewritten"
check_other_files "$work/yes" "$work/card.files" again

# --- 3. Answering No leaves the machine as it was; the journal holds the confirmation box alone.
fresh_copy no
run no --no-backup --answer no
[ "$(wc -l <"$work/no.journal")" -eq 1 ] || fail "no: journal does not hold exactly one line"
[ "$(grep -c -x -F "$confirmation\"result\":7}" "$work/no.journal")" -eq 1 ] ||
    fail "no: the journal line is not the confirmation answered No"
grep -q -F '"declined":true,"keysRemoved":0,"filesRemoved":0' "$work/no.journal.summary" || fail "no: summary record"
grep -q -x 'cmpci-uninstall: answered No: nothing was removed' "$work/no.err" || fail "no: summary line"
cmp -s "$machine/registry.reg" "$work/no/registry.reg" || fail "no: registry file changed"
diff -r "$machine" "$work/no" >/dev/null || fail "no: the machine folder changed"

# --- 4. A dry run journals the same removals, lists each key and file it would remove, speaks in the
#        conditional, and changes nothing on disk.
fresh_copy dry
run dry --no-backup --answer yes --dry-run
sed -n 's/^would remove key //p' "$work/dry.out" >"$work/dry.listed"
diff "$work/card.keys" "$work/dry.listed" >/dev/null || fail "dry: the keys listed are not the card's"
[ "$(grep -c '^would remove file ' "$work/dry.out")" -eq "$(wc -l <"$work/card.files")" ] ||
    fail "dry: the files listed are not the card's"
grep -q -x "cmpci-uninstall: would remove $(wc -l <"$work/card.keys") registry keys and $(wc -l <"$work/card.files") files (dry run: nothing on disk changed)" \
    "$work/dry.err" || fail "dry: summary line missing or not in the conditional"
grep -q -x 'cmpci-uninstall: a run would leave nothing of the card' "$work/dry.err" || fail "dry: what a run would leave"
grep -q 'nothing of the card is left' "$work/dry.err" && fail "dry: says nothing of the card is left while all of it is"
removed_keys "$work/dry.journal" >"$work/dry.keys"
diff "$work/card.keys" "$work/dry.keys" >/dev/null || fail "dry: removed keys differ from the card's"
grep '"op":"delete-file"' "$work/first.journal" >"$work/first.files"
grep '"op":"delete-file"' "$work/dry.journal" >"$work/dry.files"
diff "$work/first.files" "$work/dry.files" >/dev/null || fail "dry: file deletions differ from the real run's"
diff -r "$machine" "$work/dry" >/dev/null || fail "dry: the machine folder changed"

# --- 5. A hand-edited copy, with comments, odd spacing and lines regedit passes over, loses only the card's
#        sections: every other byte comes back as it was.
fresh_copy edited
awk '
    { print }
    NR == 1 { print "; exported, then edited by hand\r"; print "# another kind of comment\r"; print "this line is junk\r" }
' "$machine/registry.reg" | awk '
    /^\[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00\]/ { print "; the sister chip stays\r" }
    /^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune\]/ { print "; above the card: in the kept section before it\r" }
    { sub(/^"ConfigFlags"=hex:00,00,00,00/, "\"ConfigFlags\"=hex:00, 00,00,00   ; flags")
      sub(/=dword:/, "=dword:  ")
      sub(/^\[HKEY_LOCAL_MACHINE\\Enum\\Root\]/, "[HKEY_LOCAL_MACHINE\\Enum\\Root\\]")
      print }
    /^\[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10\\BUS_00&DEV_0B&FUNC_00\]/ { print "; inside the card: goes\r" }
    /,\\\r$/ { print "\r" }
' >"$work/edited/registry.reg"
cp "$work/edited/registry.reg" "$work/edited.original.reg"
expected_registry "$work/edited.original.reg" "$work/card.keys" >"$work/edited.expected.reg"
run edited --no-backup --answer yes
removed_keys "$work/edited.journal" >"$work/edited.keys"
diff "$work/card.keys" "$work/edited.keys" >/dev/null || fail "edited: removed keys differ from the card's"
grep -q "^cmpci-uninstall: .*registry.reg:4: warning: line skipped" "$work/edited.err" || fail "edited: the junk line was not reported"
grep -q -F "; inside the card: goes" "$work/edited/registry.reg" && fail "edited: a comment inside a removed section stayed"
cmp -s "$work/edited.expected.reg" "$work/edited/registry.reg" ||
    fail "edited: registry differs from the hand-edited file without the card's sections: $(diff "$work/edited.expected.reg" "$work/edited/registry.reg" | head -n 8 | tr '\n' ' ')"

# --- 6. --check changes nothing and lists what of the card is there: all of it before a run, nothing after;
#        a second card device key, which a run leaves by design, is named.
fresh_copy check
"$tool" --machine "$work/check" --check >"$work/check.out" 2>"$work/check.err"
[ $? = 1 ] || fail "check: exit code is not 1 on a machine with the card"
grep -q -x -F 'device-key HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10 [run]' "$work/check.out" || fail "check: no device key listed"
[ "$(grep -c '^driver-file ' "$work/check.out")" = 10 ] || fail "check: not the ten driver files"
diff -r "$machine" "$work/check" >/dev/null || fail "check: the machine changed"
printf '\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000&REV_10\\BUS_00&DEV_0C&FUNC_00]\r\n' >>"$work/check/registry.reg"
run check --no-backup --answer yes
"$tool" --machine "$work/check" --check --journal "$work/check.left" >"$work/check.out" 2>"$work/check.err"
[ $? = 1 ] || fail "check: exit code is not 1 with a second card device key"
split_summary "$work/check.left"
[ "$(cat "$work/check.left")" = '{"op":"left","kind":"device-key","where":"HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000&REV_10","removedBy":"run"}' ] ||
    fail "check: the second device key is not the one thing left: $(cat "$work/check.left")"
fresh_copy check
run check --no-backup --answer yes
"$tool" --machine "$work/check" --check >"$work/check.out" 2>"$work/check.err" || fail "check: something is left after a run"
[ ! -s "$work/check.out" ] || fail "check: listed after a run: $(cat "$work/check.out")"

# --- 7. Backup and undo: a run keeps what it removes; --restore puts the machine back byte for byte. When
#        the registry file changed since, the removed keys are merged back; a file that came back with other
#        content is not overwritten; another machine is not restored at all.
fresh_copy undo
run undo --answer yes --backup "$work/undo.backup"
grep -q -F '"registrySha256Before": "'"$(sha256sum <"$machine/registry.reg" | cut -d' ' -f1)"'"' "$work/undo.backup/manifest.json" ||
    fail "undo: the manifest does not hold the registry file's SHA-256 before the run"
"$tool" --machine "$work/undo" --restore "$work/undo.backup" 2>"$work/undo.err" || fail "undo: restore failed: $(cat "$work/undo.err")"
diff -r "$machine" "$work/undo" >/dev/null || fail "undo: the machine is not as it was: $(diff -r "$machine" "$work/undo" | head -n 3)"
fresh_copy undo
run undo --answer yes --backup "$work/undo2.backup"
printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n' >>"$work/undo/registry.reg"
"$tool" --machine "$work/undo" --restore "$work/undo2.backup" 2>"$work/undo.err" || fail "undo: merge failed"
grep -q "added back" "$work/undo.err" || fail "undo: the merge is not said"
"$tool" --machine "$work/undo" --check >/dev/null 2>&1
[ $? = 1 ] || fail "undo: the merged registry does not hold the card again"
grep -q -F '[HKEY_LOCAL_MACHINE\SOFTWARE\Added]' "$work/undo/registry.reg" || fail "undo: the later change was lost"
fresh_copy undo
run undo --answer yes --backup "$work/undo3.backup"
cp "$work/undo/registry.reg" "$work/undo3.after"
echo other >"$work/undo/WINDOWS/SYSTEM/CMAUDIO.VXD"
"$tool" --machine "$work/undo" --restore "$work/undo3.backup" >/dev/null 2>"$work/undo.err"
[ $? = 2 ] && grep -q "CMAUDIO.VXD exists again with other content" "$work/undo.err" || fail "undo: other content was not refused"
cmp -s "$work/undo3.after" "$work/undo/registry.reg" || fail "undo: a refused restore changed the registry file"
# A backup goes back only on the machine it was taken of: vmA's backup on another machine (registered to
# another owner) is refused in one line naming vmA, the backup's time and the mark that differs, and the other
# machine keeps every byte.
fresh_copy vmA
run vmA --answer yes --backup "$work/vmA.backup"
fresh_copy vmB
sed -i 's/^"RegisteredOwner"="Studio"/"RegisteredOwner"="Other"/' "$work/vmB/registry.reg"
cp -R "$work/vmB" "$work/vmB.before"
taken=$(sed -n -E 's/^  "time": "([0-9-]{10})T([0-9:]{5}):[0-9]{2}Z",$/\1 \2 UTC/p' "$work/vmA.backup/manifest.json")
attempt vmB --restore "$work/vmA.backup"
[ "$(cat "$work/vmB.rc")" = 2 ] && [ "$(cat "$work/vmB.err")" = "cmpci-uninstall: $work/vmA.backup: this backup is of $work/vmA (taken $taken), not of $work/vmB (its RegisteredOwner differs); nothing was restored" ] ||
    fail "undo: another machine's backup was not refused in one line: exit $(cat "$work/vmB.rc"): $(cat "$work/vmB.err")"
diff -r "$work/vmB.before" "$work/vmB" >/dev/null || fail "undo: a refused restore changed the other machine"
mkdir -p "$work/full" && echo x >"$work/full/x"
fresh_copy undo
"$tool" --machine "$work/undo" --answer yes --backup "$work/full" >/dev/null 2>"$work/undo.err"
[ $? = 2 ] && cmp -s "$machine/registry.reg" "$work/undo/registry.reg" || fail "undo: a backup folder that is not empty was taken"

finish "example machine"
