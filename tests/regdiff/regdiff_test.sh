#!/bin/bash
# Differential test of the REGEDIT4 reader against Wine's regedit. For each case file: the RegDiff trees are
# emptied, Wine's regedit imports the file, reg_dump.exe dumps what Wine's registry holds, the host tool
# dumps what our reader makes of the same file, and the two dumps must be equal.
# usage: regdiff_test.sh <host dump tool> <reg_dump.exe> <case folder>
set -u
host_dump=$1 wine_dump=$2 cases=$3
here=$(dirname "$0")
. "$here/../win32/wine_common.sh"
wine_start

cp "$wine_dump" "$WINEPREFIX/drive_c/reg_dump.exe"

# The case files hold Windows-1252 text, which regedit reads and RegEnumValueA gives back through the ANSI
# code page: it must be 1252, or the two dumps differ for the wrong reason.
acp=$(timeout 60 wine 'C:\reg_dump.exe' acp 2>/dev/null | tr -d '\r')
[ "$acp" = 1252 ] || wine_skip "the prefix's ANSI code page is '$acp', not 1252"

passed=0 failed=0
# import FILE: a fresh import of FILE into the RegDiff trees, printed by reg_dump.exe into $WORK/wine.txt.
import() {
    for key in 'HKLM\Software\RegDiff' 'HKCU\Software\RegDiff'; do
        wine reg delete "$key" /f >/dev/null 2>&1
    done
    for root in HKLM HKCU; do
        wine reg delete "$root" /v RegDiff /f >/dev/null 2>&1
    done
    cp "$1" "$WINEPREFIX/drive_c/case.reg"
    timeout 60 wine regedit /s 'C:\case.reg' >/dev/null 2>&1
    timeout 60 wine 'C:\reg_dump.exe' 2>/dev/null | tr -d '\r' >"$WORK/wine.txt"
}

compare() {
    if diff -u --label "wine $1" --label "ours $1" "$WORK/wine.txt" "$WORK/ours.txt" >"$WORK/diff.txt"; then
        echo "ok   $1"
        passed=$((passed + 1))
    else
        echo "FAIL $1"
        cat "$WORK/diff.txt"
        failed=$((failed + 1))
    fi
}

for case_file in "$cases"/*.reg; do
    name=$(basename "$case_file" .reg)
    import "$case_file"
    "$host_dump" "$case_file" >"$WORK/ours.txt" 2>&1
    compare "$name"
    # A case with a key Software\RegDiff\Cut is also cut as a run cuts a removed key: the edited file must
    # import as our registry less that key.
    if grep -q -i 'RegDiff\\Cut\]' "$case_file"; then
        "$host_dump" --cut 'Software\RegDiff\Cut' "$WORK/edited.reg" "$case_file" >"$WORK/ours.txt" 2>&1
        import "$WORK/edited.reg"
        compare "$name (cut)"
        # The backup's removal.reg: the original file, then the removal, imported one after the other.
        import "$case_file"
        cp "$WORK/edited.reg.removal" "$WINEPREFIX/drive_c/removal.reg"
        timeout 60 wine regedit /s 'C:\removal.reg' >/dev/null 2>&1
        timeout 60 wine 'C:\reg_dump.exe' 2>/dev/null | tr -d '\r' >"$WORK/wine.txt"
        compare "$name (removal.reg)"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
