#!/bin/bash
# Differential test of the REGEDIT4 reader and writer against Wine's regedit. For each case file: the
# RegDiff trees are emptied, Wine's regedit imports the file, reg_dump.exe dumps what Wine's registry holds,
# the host tool dumps what our reader makes of the same file, and the two dumps must be equal; the file as
# our writer writes it again must import into Wine as the same registry.
# With the offline program, python3 and the Windows ME pair's folder, the pair goes through --export and
# Wine's regedit too: every key and value Wine then holds must be what libcreg reads in the pair.
# usage: regdiff_test.sh <host dump tool> <reg_dump.exe> <case folder> [<cmpci-uninstall> <python3> <pair folder>]
set -u
host_dump=$1 wine_dump=$2 cases=$3
tool=${4:-} python=${5:-} pair=${6:-}
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
    # Our writer's form of what our reader took: Wine's regedit must take it to the same registry.
    "$host_dump" --save "$WORK/saved.reg" "$case_file" >"$WORK/ours.txt" 2>&1
    if ! grep -q '^REFUSED' "$WORK/ours.txt"; then
        import "$WORK/saved.reg"
        compare "$name (written again)"
    fi
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

# The Windows ME pair: --export writes it, its keys are moved below the RegDiff tree, Wine's regedit imports
# it, and Wine must hold every key and value libcreg reads in the two files, with their types and bytes.
if [ -n "$pair" ]; then
    mkdir -p "$WORK/me/WINDOWS"
    cp "$pair/SYSTEM.DAT" "$pair/USER.DAT" "$WORK/me/WINDOWS/"
    chmod u+w "$WORK/me/WINDOWS/"*
    if ! "$tool" --machine "$WORK/me" --export "$WORK/me.reg" 2>"$WORK/export.err"; then
        echo "FAIL --export: $(cat "$WORK/export.err")"
        failed=$((failed + 1))
    fi
    sed -e 's/^\[HKEY_LOCAL_MACHINE\\/[HKEY_LOCAL_MACHINE\\Software\\RegDiff\\System\\/' \
        -e 's/^\[HKEY_USERS\\/[HKEY_LOCAL_MACHINE\\Software\\RegDiff\\Users\\/' "$WORK/me.reg" >"$WORK/me-moved.reg"
    import "$WORK/me-moved.reg"
    { echo 'K HKEY_LOCAL_MACHINE\Software\RegDiff'
      "$python" "$here/libcreg_as_wine.py" "$WORK/me/WINDOWS/SYSTEM.DAT" 'HKEY_LOCAL_MACHINE\Software\RegDiff\System' \
          "$WORK/me/WINDOWS/USER.DAT" 'HKEY_LOCAL_MACHINE\Software\RegDiff\Users'; } >"$WORK/ours.txt"
    if [ "$(grep -c '^V ' "$WORK/ours.txt")" -lt 10000 ]; then
        echo "FAIL libcreg read too few values: $(tail -n 2 "$WORK/ours.txt")"
        failed=$((failed + 1))
    fi
    compare "Windows ME pair through --export and Wine's regedit"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
