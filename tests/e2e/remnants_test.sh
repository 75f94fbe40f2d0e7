#!/usr/bin/env bash
# What a removal stopped halfway leaves (the card's device key gone, the rest there): --check names it as
# --remnants' to remove, a plain run leaves it, --remnants removes it with a backup that --restore and
# Windows' regedit (removal.reg) understand. Then the conventions of the command line: --quiet, --version,
# a failed write of stdout, the journal of --check.
# Usage: remnants_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"

# A copy of the example machine without the card's device key, as an uninstall stopped halfway leaves it.
halfway() {
    rm -rf "$work/m"
    cp -R "$machine" "$work/m"
    awk '/^\[/ { skip = index($0, "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111") == 1 } !skip' \
        "$machine/registry.reg" >"$work/m/registry.reg"
    cp "$work/m/registry.reg" "$work/halfway.reg"
}

halfway
grep -q 'VEN_13F6&DEV_0111' "$work/m/registry.reg" || fail "the halfway machine lost its companion key too"
"$tool" --machine "$work/m" --check --journal "$work/check.journal" >"$work/check.out" 2>"$work/check.err"
[ $? = 1 ] || fail "check: exit code is not 1 on a halfway machine"
grep -q -x -F 'uninstall-entry HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune [--remnants]' \
    "$work/check.out" || fail "check: the uninstall entry is not --remnants': $(head -n 3 "$work/check.out")"
[ "$(grep -c '^driver-file .* \[--remnants\]$' "$work/check.out")" = 10 ] || fail "check: not ten driver files for --remnants"
grep -q ' \[run\]$' "$work/check.out" && fail "check: a plain run is said to remove something: $(grep ' \[run\]$' "$work/check.out")"
items=$(wc -l <"$work/check.out")
[ "$(grep -c '"removedBy":"remnants"' "$work/check.journal")" = "$items" ] || fail "check: the journal's left records"
tail -n 1 "$work/check.journal" | grep -q "\"left\":$items,\"dryRun\":false,\"registrySaved\":false,\"stage\":\"not-changed\",\"exitStatus\":1}" ||
    fail "check: summary record: $(tail -n 1 "$work/check.journal")"

# A plain run leaves it all: the card is not there.
"$tool" --machine "$work/m" --answer yes --no-backup >/dev/null 2>"$work/run.err" </dev/null
grep -q -x "cmpci-uninstall: the card was not found: nothing was removed; --remnants removes what is left of it" "$work/run.err" ||
    fail "run: $(cat "$work/run.err")"
grep -q -x "cmpci-uninstall: left of the card: .* (--check lists them; --remnants removes them)" "$work/run.err" ||
    fail "run: what is left has no pointer to --remnants: $(cat "$work/run.err")"
# --check's own line does not send the reader to --check.
grep -q -x "cmpci-uninstall: left of the card: .* (listed, each with what removes it)" "$work/check.err" ||
    fail "check: $(cat "$work/check.err")"
grep -q -e "--check lists them" -e "--remnants removes" "$work/check.err" && fail "check: points at itself: $(cat "$work/check.err")"
cmp -s "$work/halfway.reg" "$work/m/registry.reg" || fail "run: a run without the card changed the registry"

# --remnants removes exactly what --check named, with a backup.
"$tool" --machine "$work/m" --remnants --backup "$work/backup" --journal "$work/remnants.journal" \
    >/dev/null 2>"$work/remnants.err" </dev/null || fail "remnants: exit $?: $(cat "$work/remnants.err")"
split_summary "$work/remnants.journal"
grep -q '"mode":"remnants"' "$work/remnants.journal.start" || fail "remnants: start record: $(cat "$work/remnants.journal.start")"
grep -q '"op":"message-box"' "$work/remnants.journal" && fail "remnants: a box was shown"
removed=$(grep -c '"existed":true' "$work/remnants.journal")
[ "$removed" = "$items" ] || fail "remnants: $removed removals for $items items"
grep -q "removed [0-9]* registry keys and [0-9]* files" "$work/remnants.err" || fail "remnants: summary: $(cat "$work/remnants.err")"
grep -q "nothing of the card is left" "$work/remnants.err" || fail "remnants: something is said to be left"
"$tool" --machine "$work/m" --check >"$work/check.out" 2>/dev/null || fail "remnants: --check after it: $(cat "$work/check.out")"
grep -q 'Enum\\PCI\\VEN_8086' "$work/m/registry.reg" || fail "remnants: another device went"
# The backup: removal.reg makes the same removal with regedit; --restore puts everything back.
grep -q -x -F $'[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune]\r' \
    "$work/backup/removal.reg" || fail "backup: removal.reg: $(head -n 5 "$work/backup/removal.reg")"
[ "$(grep -c '^\[-HKEY_' "$work/backup/removal.reg")" = "$(grep -c '"op":"delete-key".*"existed":true' "$work/remnants.journal")" ] ||
    fail "backup: removal.reg does not name every removed key"
"$tool" --machine "$work/m" --restore "$work/backup" >/dev/null 2>"$work/restore.err" || fail "restore: $(cat "$work/restore.err")"
cmp -s "$work/halfway.reg" "$work/m/registry.reg" || fail "restore: the registry is not as it was"
diff -r "$machine/WINDOWS" "$work/m/WINDOWS" >/dev/null || fail "restore: the files are not as they were"

# --remnants leaves a machine with the card's device key alone: a plain run is the way there.
rm -rf "$work/m" && cp -R "$machine" "$work/m"
"$tool" --machine "$work/m" --remnants >/dev/null 2>"$work/err" </dev/null
[ $? = 2 ] && grep -q "run without --remnants" "$work/err" || fail "remnants with the card: $(cat "$work/err")"
cmp -s "$machine/registry.reg" "$work/m/registry.reg" || fail "remnants with the card changed the registry"

# --version names the licence; on the card's machine, a write to a full stdout is exit 2 with one line.
"$tool" --version >"$work/out" || fail "--version failed"
grep -q "MIT License" "$work/out" || fail "--version names no licence: $(cat "$work/out")"
for words in "--help" "--version" "--machine $work/m --check" "--machine $work/m --export -"; do
    # shellcheck disable=SC2086
    "$tool" $words >/dev/full 2>"$work/err"
    [ $? = 2 ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -q "cannot write" "$work/err" ||
        fail "$words >/dev/full: $(cat "$work/err")"
done

# --quiet: no box drawn, no summary line; a confirmation needs --answer.
"$tool" --machine "$work/m" -q --dry-run >/dev/null 2>"$work/err" </dev/null
[ $? = 2 ] && grep -q "give --answer yes or --answer no" "$work/err" || fail "quiet without --answer: $(cat "$work/err")"
"$tool" --machine "$work/m" --quiet --answer yes --no-backup >"$work/out" 2>"$work/err" </dev/null || fail "quiet run failed"
[ ! -s "$work/err" ] && [ ! -s "$work/out" ] || fail "quiet run said something: $(cat "$work/err")"
grep -q 'VEN_13F6&DEV_0111' "$work/m/registry.reg" && fail "quiet run removed nothing"

# A clean --check journals its start and its summary.
"$tool" --machine "$work/m" --check --journal "$work/clean.journal" >/dev/null 2>&1 || fail "check after the quiet run"
[ "$(wc -l <"$work/clean.journal")" = 2 ] && tail -n 1 "$work/clean.journal" | grep -q '"exitStatus":0}' ||
    fail "clean check journal: $(cat "$work/clean.journal")"

finish "remnants and conventions"
