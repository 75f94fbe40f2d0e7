#!/usr/bin/env bash
# The helper programs of an image in a format of QEMU's (qcow2 here) are looked for before anything is asked:
# a run that writes needs qemu-img and qemu-io, one that only reads needs qemu-img. With one missing from
# PATH, the run is refused in one line naming it and its Debian package, before the confirmation box is
# drawn on the terminal, and the image, its folder and the temporary folder are as they were. With both
# there, the same PATH serves a --check; a dry run needs no qemu-io.
# Usage: image_helpers_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat sfdisk qemu-img qemu-io script
real=$1
mkdir "$work/images" "$work/none" "$work/img-only" "$work/both" "$work/tmp"
bash "$source/examples/make_disk_image.sh" "$work/disk.img" fat32 || fail "make_disk_image.sh failed"
qemu-img convert -O qcow2 "$work/disk.img" "$work/images/disk.qcow2" || fail "qemu-img convert failed"
ln -s "$(command -v qemu-img)" "$work/img-only/qemu-img"
ln -s "$(command -v qemu-img)" "$work/both/qemu-img"
ln -s "$(command -v qemu-io)" "$work/both/qemu-io"
before=$(digest "$work/images/disk.qcow2")
export TMPDIR=$work/tmp

# on_terminal NAME PATH ARGS...: the program on the image on a terminal, with PATH as given, for 30 s at most;
# what the terminal showed in $work/NAME.out, the exit code in NAME.rc.
on_terminal() {
    local name=$1 path=$2
    shift 2
    timeout 30 script -qec "env PATH='$path' '$real' --image '$work/images/disk.qcow2' $*" /dev/null \
        </dev/null >"$work/$name.out" 2>&1
    echo $? >"$work/$name.rc"
}

# refused NAME PROGRAM: the run was refused in one line naming PROGRAM and qemu-utils, and nothing changed.
refused() {
    [ "$(cat "$work/$1.rc")" = 2 ] || fail "$1: exit $(cat "$work/$1.rc"), not 2: $(cat "$work/$1.out")"
    grep -q -E "disk.qcow2: a qcow2 image is .*, and $2 is missing \(install qemu-utils\); nothing was changed" \
        "$work/$1.out" || fail "$1: no line naming $2 and its package: $(cat "$work/$1.out")"
    [ "$(grep -c . "$work/$1.out")" = 1 ] || fail "$1: more than the one line: $(cat "$work/$1.out")"
    grep -q "Do you really want" "$work/$1.out" && fail "$1: a box was drawn: $(cat "$work/$1.out")"
    [ "$(digest "$work/images/disk.qcow2")" = "$before" ] || fail "$1: the image changed"
    [ "$(ls -A "$work/images")" = disk.qcow2 ] || fail "$1: files beside the image: $(ls -A "$work/images")"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$1: left in the temporary folder: $(ls -A "$work/tmp")"
}

on_terminal run-without-io "$work/img-only"
refused run-without-io qemu-io
on_terminal run-without-both "$work/none"
refused run-without-both qemu-img
on_terminal check-without-img "$work/none" --check
refused check-without-img qemu-img
on_terminal restore-without-io "$work/img-only" --restore "$work"
refused restore-without-io qemu-io

# What only reads needs no qemu-io; with both there, the same PATH serves.
on_terminal dry-run "$work/img-only" --dry-run
[ "$(cat "$work/dry-run.rc")" = 0 ] || fail "dry run without qemu-io: exit $(cat "$work/dry-run.rc"): $(cat "$work/dry-run.out")"
on_terminal check "$work/both" --check
[ "$(cat "$work/check.rc")" = 1 ] || fail "check with both: exit $(cat "$work/check.rc"): $(cat "$work/check.out")"
grep -q "device-key" "$work/check.out" || fail "check with both: the card is not listed: $(cat "$work/check.out")"
[ "$(digest "$work/images/disk.qcow2")" = "$before" ] || fail "reading runs changed the image"

finish "image helpers"
