#!/bin/bash
# Fails unless the image imports only from KERNEL32, USER32, ADVAPI32 and MSVCRT, and only functions that
# the Windows 95 OSR2 DLLs (msvcrt.dll of Windows 98) export and that are not suspected stubs there.
# usage: check_imports.sh <objdump> <image> <export-list-dir>
set -u
objdump=$1 image=$2 lists=$3

dump=$("$objdump" -p "$image") || { echo "cannot read $image"; exit 1; }

# One "DLL<TAB>function" line per import; an import by ordinal shows as "#ordinal".
imports=$(printf '%s\n' "$dump" | awk '
    /^[ \t]*DLL Name:/ { dll = $3; next }
    /^[ \t]*vma:/ { next }
    /^[ \t]*$/ { if (dll != "" && seen) dll = ""; seen = 0; next }
    dll != "" && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+/ {
        seen = 1
        name = ($3 == "" || $3 == "<none>") ? "#" $2 : $3
        print dll "\t" name
    }')

if [ -z "$imports" ]; then
    echo "no imports found in $image: the import table could not be read"
    exit 1
fi

status=0
count=0
while IFS=$'\t' read -r dll name; do
    count=$((count + 1))
    base=$(printf '%s' "${dll%.*}" | tr 'A-Z' 'a-z')
    case $base in
        kernel32|user32|advapi32) list=$lists/$base-win95osr2.txt stubs=$lists/$base-win95osr2-probable-stubs.txt ;;
        msvcrt) list=$lists/msvcrt-win98.txt stubs= ;;
        *) echo "FAIL $dll!$name: $dll is not a DLL that every Windows 95 has"; status=1; continue ;;
    esac
    if ! grep -qxF -- "$name" "$list"; then
        echo "FAIL $dll!$name: not exported on Windows 9x"
        status=1
    elif [ -n "$stubs" ] && grep -qxF -- "$name" "$stubs"; then
        echo "FAIL $dll!$name: a suspected stub on Windows 9x"
        status=1
    else
        echo "ok   $dll!$name"
    fi
done <<< "$imports"

echo "$count imports checked"
exit $status
