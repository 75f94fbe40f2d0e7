#!/bin/bash
# Reads the floppy and CD images back and fails unless each holds, in its root folder, exactly the program
# (cmpci-uninstall.exe, byte for byte) and README.TXT (the same bytes as the build's, under that 8.3 name,
# printable ASCII with CR LF line ends and at most 78 columns), under the names the README tells users to
# type: the alias CMPCI-~1.EXE on the floppy, CMPCI_UN.EXE in the CD's ISO 9660 names. The floppy must be a
# 1.44 MB image that fsck.fat finds nothing wrong with.
# usage: check_media.sh <exe> <README.TXT> <floppy image> <CD image>
set -u
PATH=$PATH:/usr/sbin:/sbin
exe=$1 readme=$2 floppy=$3 cd=$4
status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ok() { echo "ok   $*"; }
fail() { echo "FAIL $*"; status=1; }
# same <file read back or empty> <expected file> <what>
same() { if [ -s "$1" ] && cmp -s "$1" "$2"; then ok "$3"; else fail "$3 differs from $(basename "$2") or is missing"; fi; }
names() { printf '%s\n' "$@" | sort | paste -sd ' '; }

# --- Floppy ---------------------------------------------------------------------------------------------
size=$(stat -c %s "$floppy")
if [ "$size" -eq 1474560 ]; then ok "floppy: 1474560 bytes"; else fail "floppy: size is $size bytes, not 1474560"; fi
fsck_out=$(fsck.fat -n "$floppy" 2>&1)
if [ $? -eq 0 ] && [ "$(printf '%s\n' "$fsck_out" | wc -l)" -eq 2 ]; then
    ok "floppy: fsck.fat -n finds nothing"
else
    fail "floppy: fsck.fat -n reports:"; printf '%s\n' "$fsck_out"
fi
listing=$(names $(mdir -b -i "$floppy" ::/))
if [ "$listing" = "::/README.TXT ::/cmpci-uninstall.exe" ]; then ok "floppy: root holds $listing"; else fail "floppy: root holds '$listing'"; fi
alias=$(mshortname -i "$floppy" ::/cmpci-uninstall.exe)
if [ "$alias" = "::/CMPCI-~1.EXE" ]; then ok "floppy: 8.3 alias $alias"; else fail "floppy: 8.3 alias is '$alias'"; fi
mcopy -n -i "$floppy" ::/CMPCI-~1.EXE "$work/floppy.exe"
mcopy -n -i "$floppy" ::/README.TXT "$work/floppy.txt"
same "$work/floppy.exe" "$exe" "floppy: CMPCI-~1.EXE"
same "$work/floppy.txt" "$readme" "floppy: README.TXT"

# --- CD: the ISO 9660 names and, with -J, the Joliet names that Windows shows ---------------------------
listing=$(names $(isoinfo -i "$cd" -f))
if [ "$listing" = "/CMPCI_UN.EXE;1 /README.TXT;1" ]; then ok "CD: ISO 9660 names $listing"; else fail "CD: ISO 9660 names are '$listing'"; fi
listing=$(names $(isoinfo -i "$cd" -J -f))
if [ "$listing" = "/README.TXT /cmpci-uninstall.exe" ]; then ok "CD: Joliet names $listing"; else fail "CD: Joliet names are '$listing'"; fi
isoinfo -i "$cd" -x '/CMPCI_UN.EXE;1' >"$work/iso.exe"
isoinfo -i "$cd" -x '/README.TXT;1' >"$work/iso.txt"
isoinfo -i "$cd" -J -x /cmpci-uninstall.exe >"$work/joliet.exe"
isoinfo -i "$cd" -J -x /README.TXT >"$work/joliet.txt"
same "$work/iso.exe" "$exe" "CD: CMPCI_UN.EXE;1"
same "$work/iso.txt" "$readme" "CD: README.TXT;1"
same "$work/joliet.exe" "$exe" "CD: Joliet cmpci-uninstall.exe"
same "$work/joliet.txt" "$readme" "CD: Joliet README.TXT"

# --- README.TXT as read from the floppy: every line ends in CR LF, no other CR or LF, nothing else ---------
text=$work/floppy.txt
cr=$(tr -cd '\r' <"$text" | wc -c) lf=$(tr -cd '\n' <"$text" | wc -c) crlf=$(grep -c $'\r$' "$text")
if [ "$lf" -gt 0 ] && [ "$cr" -eq "$lf" ] && [ "$crlf" -eq "$lf" ] && [ "$(tail -c 1 "$text" | od -An -tx1)" = " 0a" ]; then
    ok "README.TXT: $lf lines, each ended by CR LF"
else
    fail "README.TXT: line ends are not all CR LF ($cr CR, $lf LF, $crlf lines ending in CR)"
fi
if LC_ALL=C grep -q $'[^\r -~]' "$text"; then fail "README.TXT: bytes other than printable ASCII, CR and LF"; fi
if LC_ALL=C awk 'length($0) > 79 { bad = 1 } END { exit !bad }' "$text"; then fail "README.TXT: lines wider than 78 columns"; fi
exit $status
