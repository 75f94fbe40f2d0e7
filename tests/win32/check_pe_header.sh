#!/bin/bash
# Fails unless the image is a stripped 32-bit GUI program for OS and subsystem version 4.0 of at most
# <max-bytes> bytes, without thread-local storage (whose callbacks Windows 9x does not run).
# usage: check_pe_header.sh <objdump> <image> <max-bytes>
set -u
objdump=$1 image=$2 max=$3

dump=$("$objdump" -p "$image") || { echo "cannot read $image"; exit 1; }
status=0

field() { printf '%s\n' "$dump" | awk -v f="$1" '$1 == f { print $2; exit }'; }
expect() {
    local got
    got=$(field "$1")
    if [ "$got" = "$2" ]; then echo "ok   $1 $got"; else echo "FAIL $1 is '$got', expected '$2'"; status=1; fi
}

if printf '%s\n' "$dump" | grep -q 'file format pei-i386'; then
    echo "ok   PE32 for i386"
else
    echo "FAIL not a PE32 image for i386"; status=1
fi
expect Magic 010b
expect MajorOSystemVersion 4
expect MinorOSystemVersion 0
expect MajorSubsystemVersion 4
expect MinorSubsystemVersion 0
expect Subsystem 00000002

if printf '%s\n' "$dump" | grep -qP '^Entry 9 0*[1-9a-f][0-9a-f]* '; then
    echo "FAIL the image has a thread storage directory"; status=1
fi
if printf '%s\n' "$dump" | grep -qP '^\s+symbols stripped'; then
    echo "ok   symbols stripped"
else
    echo "FAIL symbols are not stripped"; status=1
fi

size=$(stat -c %s "$image")
echo "image size: $size bytes (limit $max)"
if [ "$size" -gt "$max" ]; then
    echo "FAIL larger than $max bytes"; status=1
fi
exit $status
