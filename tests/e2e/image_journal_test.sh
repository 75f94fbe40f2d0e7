#!/usr/bin/env bash
# The rollback journal a run killed after its 3rd image write leaves, as the next start meets it:
# - damaged (one bit flipped, or its last byte cut as a copy cut short leaves it): --check refuses it (exit 2)
#   naming it, keeps it byte for byte and writes nothing into the image; put back whole, it is played back
#   and fsck.fat finds the volume clean;
# - the image reached by another name since (a hard link, a move): --check finds the journal by the image's
#   identity and plays it back, and the record it was found by goes with it.
# And a qcow2 image whose backing file is a FIFO, and a FIFO as the image, are refused at once, naming the file.
# Usage: image_journal_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mdir mkfs.fat fsck.fat sfdisk qemu-img timeout
need_tracing
tool=${CMPCI_TOOL:-$tool}
pristine_disk
mkdir "$work/vm"

# killed_at_third IMAGE: a run through IMAGE killed at its 3rd write into the image file; the journal it
# left must be there.
killed_at_third() {
    cp "$work/pristine.img" "$work/vm/h.img"
    { strace -qq -o /dev/null -P "$1" -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when=3 \
        "$tool" --image "$1" --answer yes --no-backup </dev/null >/dev/null 2>&1; } 2>/dev/null
    [ $? -ge 128 ] || fail "$1: the run was not killed"
    [ -f "$work/vm/h.img.cmpci-rollback" ] || fail "$1: the killed run left no journal"
    [ "$(digest "$work/vm/h.img")" != "$pristine" ] || fail "$1: the killed run had not changed the image"
}

# fsck_of RAW: what fsck.fat says of the raw disk's volume.
fsck_of() {
    volume_out "$1"
    fsck.fat -n "$work/volume.bin" 2>&1 | grep -v '^fsck.fat '
    rm -f "$work/volume.bin"
}

# played_back LABEL IMAGE: the image is the pristine one byte for byte, fsck.fat finds it clean, the card is
# still there, and neither the journal nor a record of it is left.
played_back() {
    [ "$(digest "$2")" = "$pristine" ] || fail "$1: the image is not as it was before the killed run"
    volume_out "$2"
    fsck_clean "$1"
    rm -f "$work/volume.bin"
    mdir -b -i "$2@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD >/dev/null 2>&1 || fail "$1: the card's files are gone"
    [ -e "$work/vm/h.img.cmpci-rollback" ] && fail "$1: the journal is still there"
    [ -z "$(ls -A "$XDG_STATE_HOME/cmpci-uninstall" 2>/dev/null)" ] || fail "$1: a record is left in the state folder"
}

# checked_back LABEL IMAGE: --check on IMAGE ends without an error, and the image is played back.
checked_back() {
    "$tool" --image "$2" --check </dev/null >"$work/check.out" 2>"$work/check.err"
    rc=$?
    [ $rc = 0 ] || [ $rc = 1 ] || fail "$1: --check exits $rc: $(tail -n 1 "$work/check.err")"
    played_back "$1" "$2"
}

# --- A damaged journal is refused and kept; whole again, it is played back.
killed_at_third "$work/vm/h.img"
cp "$work/vm/h.img.cmpci-rollback" "$work/whole.journal"
size=$(stat -c %s "$work/whole.journal")
for damage in "bit flipped" "last byte cut"; do
    cp "$work/whole.journal" "$work/damaged.journal"
    if [ "$damage" = "bit flipped" ]; then
        at_byte=$((size / 2))
        byte=$(od -An -tu1 -j $at_byte -N1 "$work/damaged.journal" | tr -d ' ')
        printf "$(printf '\\%03o' $((byte ^ 4)))" | dd of="$work/damaged.journal" bs=1 seek=$at_byte conv=notrunc status=none
    else
        truncate -s $((size - 1)) "$work/damaged.journal"
    fi
    cp "$work/damaged.journal" "$work/vm/h.img.cmpci-rollback"
    before=$(digest "$work/vm/h.img")
    fsck_of "$work/vm/h.img" >"$work/fsck.before"
    "$tool" --image "$work/vm/h.img" --check </dev/null >"$work/check.out" 2>"$work/check.err"
    rc=$?
    [ $rc = 2 ] || fail "$damage: --check exits $rc, expected 2: $(tail -n 1 "$work/check.err")"
    grep -qF "the rollback journal $work/vm/h.img.cmpci-rollback of a run on $work/vm/h.img cut short is damaged" \
        "$work/check.err" || fail "$damage: the message does not name the damaged journal: $(cat "$work/check.err")"
    grep -qF "keep the journal and a copy of the image" "$work/check.err" || fail "$damage: the message does not say what to do"
    grep -q "removed" "$work/check.err" "$work/check.out" && fail "$damage: a removal is reported"
    cmp -s "$work/vm/h.img.cmpci-rollback" "$work/damaged.journal" || fail "$damage: the journal was not kept as it was"
    [ "$(digest "$work/vm/h.img")" = "$before" ] || fail "$damage: the check wrote into the image"
    fsck_of "$work/vm/h.img" >"$work/fsck.after"
    cmp -s "$work/fsck.before" "$work/fsck.after" || fail "$damage: fsck.fat finds the volume otherwise than before the check"
done
grep -q . "$work/fsck.after" || fail "fsck.fat found the image of the killed run clean: the kill did not leave it part way"
cp "$work/whole.journal" "$work/vm/h.img.cmpci-rollback"
checked_back "whole again" "$work/vm/h.img"

# --- The image reached by another name since the run was cut short: a hard link, then the image moved.
killed_at_third "$work/vm/h.img"
ln "$work/vm/h.img" "$work/vm/hard.img"
checked_back "hard link" "$work/vm/hard.img"
grep -qF "played back the rollback journal $work/vm/h.img.cmpci-rollback" "$work/check.err" "$work/check.out" ||
    fail "hard link: the playback is not reported: $(cat "$work/check.err")"
rm -f "$work/vm/hard.img"
killed_at_third "$work/vm/h.img"
mkdir "$work/moved"
mv "$work/vm/h.img" "$work/moved/renamed.img"
checked_back "moved" "$work/moved/renamed.img"
# A record whose journal is gone goes without a word.
killed_at_third "$work/vm/h.img"
rm "$work/vm/h.img.cmpci-rollback"
cp "$work/pristine.img" "$work/vm/h.img"
checked_back "stale record" "$work/vm/h.img"

# --- A FIFO as a backing file: refused within the time allowed, in one line naming it.
mkdir "$work/fifo"
cp "$work/pristine.img" "$work/fifo/base"
(cd "$work/fifo" && qemu-img create -q -f qcow2 -b base -F raw top.qcow2) || fail "qemu-img create failed"
rm "$work/fifo/base"
mkfifo "$work/fifo/base"
timeout 20 "$tool" --image "$work/fifo/top.qcow2" --check </dev/null >"$work/check.out" 2>"$work/check.err"
rc=$?
[ $rc = 124 ] && fail "fifo: --check still waits after 20 s"
[ $rc = 2 ] || fail "fifo: --check exits $rc, expected 2"
[ "$(wc -l <"$work/check.err")" = 1 ] || fail "fifo: the refusal is not one line: $(cat "$work/check.err")"
grep -qF "its backing file $work/fifo/base is not a regular file" "$work/check.err" ||
    fail "fifo: the refusal does not name the backing file: $(cat "$work/check.err")"
# The image itself a FIFO: refused as no disk image, at once.
mkfifo "$work/fifo/image.img"
timeout 20 "$tool" --image "$work/fifo/image.img" --check </dev/null >"$work/check.out" 2>"$work/check.err"
rc=$?
[ $rc = 2 ] || fail "fifo image: --check exits $rc, expected 2"
grep -qF "$work/fifo/image.img: not a disk image" "$work/check.err" || fail "fifo image: $(cat "$work/check.err")"

finish "image journal"
