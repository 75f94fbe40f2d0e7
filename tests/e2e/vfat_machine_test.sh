#!/usr/bin/env bash
# A machine folder on a real vfat file system (a loop mount of a file made by mkfs.fat), which has neither
# unnamed files nor hard links, as a USB stick has not: a run, then a --restore of its backup, succeed, and
# the restore puts the machine back as it was (its registry's export and its files). Needs root, loop
# devices and vfat; skipped (77) without them.
# Usage: vfat_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
tool=$1
machine=$2/examples/machine-dat
. "$(dirname "$0")/common.sh"
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "not root: no loop mount"
command -v mkfs.fat >/dev/null && command -v losetup >/dev/null || skip "mkfs.fat or losetup is missing"
work=$(mktemp -d)
loop=
cleanup() {
    mountpoint -q "$work/stick" && umount "$work/stick"
    [ -n "$loop" ] && losetup -d "$loop"
    rm -rf "$work"
}
trap cleanup EXIT
truncate -s 64M "$work/stick.img"
mkfs.fat -F 32 "$work/stick.img" >/dev/null || skip "mkfs.fat failed"
loop=$(losetup --find --show "$work/stick.img" 2>/dev/null) || { loop=; skip "no loop device"; }
mkdir "$work/stick"
mount -t vfat "$loop" "$work/stick" 2>/dev/null || skip "vfat cannot be mounted here"

# state FOLDER: the machine as its registry's export and its files with their bytes.
state() {
    "$tool" --machine "$1" --export - 2>/dev/null
    (cd "$1" && find WINDOWS -type f | LC_ALL=C sort | xargs -d '\n' sha256sum)
}

cp -R "$machine" "$work/stick/m"
state "$work/stick/m" >"$work/before.state"
"$tool" --machine "$work/stick/m" --answer yes --backup "$work/stick/backup" </dev/null >/dev/null 2>"$work/run.err" ||
    fail "the run on vfat failed: $(cat "$work/run.err")"
[ -e "$work/stick/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ] && fail "the run on vfat left the card's files"
"$tool" --machine "$work/stick/m" --restore "$work/stick/backup" </dev/null >/dev/null 2>"$work/restore.err" ||
    fail "the restore on vfat failed: $(cat "$work/restore.err")"
state "$work/stick/m" >"$work/restored.state"
cmp -s "$work/before.state" "$work/restored.state" ||
    fail "the restore on vfat does not put the machine back: $(diff "$work/before.state" "$work/restored.state" | head -n 4)"
[ -z "$(find "$work/stick/m" -name '*.tmp-*')" ] || fail "a staged file is left: $(find "$work/stick/m" -name '*.tmp-*')"

finish vfat_machine_test
