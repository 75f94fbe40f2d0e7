#!/usr/bin/env bash
# Image runs as users meet them: on a terminal, cut short, and side by side.
# - A run and a --restore under a pseudo-terminal finish (the registry files carry the read-only, hidden and
#   system attributes, on which mtools would ask a question on the terminal).
# - Runs killed (SIGKILL) at random instants, and one killed while its rollback journal is there: the next
#   start (--check) leaves the image byte for byte as it was, or as a whole run leaves it, and fsck.fat
#   finds it clean; no journal remains.
# - Runs on an image and on a machine folder interrupted by SIGINT, SIGTERM and SIGHUP at random instants:
#   they end by the signal or finish; nothing is left beside the image, in the machine folder or in the
#   TMPDIR the test sets but a rollback journal that the next start plays back; a run that changed nothing
#   leaves no backup; a box waiting for its answer on a terminal ends at once. Temporary folders of killed
#   runs are removed by the next start, those of live runs kept.
# - A second run on an image or a machine folder that a run holds is refused at once, naming the holder.
# - A registry file changed in the image while a run waits for its answer is not overwritten.
# Usage: image_interrupt_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat fsck.fat sfdisk script flock timeout
pristine_disk
journal=$work/disk.img.cmpci-rollback

# --- On a terminal: a run, then a --restore of its backup, each finishing within the time allowed.
mkdir "$work/tty"
cp "$work/pristine.img" "$work/tty/disk.img"
[ "$(mattrib -i "$work/tty/disk.img@@$at" ::/WINDOWS/SYSTEM.DAT | cut -c1-10 | tr -d ' ')" = ASHR ] ||
    fail "tty: SYSTEM.DAT does not carry the read-only, hidden and system attributes"
timeout 60 script -qec "'$tool' --image '$work/tty/disk.img' --answer yes" /dev/null </dev/null >"$work/tty.out" 2>&1 ||
    fail "tty: the run did not finish (exit $?): $(tail -n 2 "$work/tty.out")"
cleaned tty "$work/tty/disk.img"
backup=("$work"/tty/cmpci-backup-*)
timeout 60 script -qec "'$tool' --image '$work/tty/disk.img' --restore '${backup[0]}'" /dev/null </dev/null >"$work/tty.out" 2>&1 ||
    fail "tty: --restore did not finish (exit $?): $(tail -n 2 "$work/tty.out")"
mcopy -n -i "$work/tty/disk.img@@$at" ::/WINDOWS/SYSTEM/CMAUDIO.VXD "$work/restored" 2>/dev/null &&
    cmp -s "$work/restored" "$source/examples/machine-dat/WINDOWS/SYSTEM/CMAUDIO.VXD" || fail "tty: --restore did not put the files back"

# old_or_new LABEL: after the next start, disk.img is the pristine image or a clean whole run's.
old_or_new() {
    "$tool" --image "$work/disk.img" --check >/dev/null 2>"$work/check.err"
    local rc=$?
    [ $rc = 0 ] || [ $rc = 1 ] || fail "$1: --check after the kill exits $rc: $(tail -n 1 "$work/check.err")"
    [ -e "$journal" ] && fail "$1: the rollback journal is still there after --check"
    [ "$(digest "$work/disk.img")" = "$pristine" ] || cleaned "$1" "$work/disk.img"
}

# --- Killed at random instants over the run's whole length.
seen_old=0 seen_new=0
for round in $(seq 12); do
    cp "$work/pristine.img" "$work/disk.img"
    "$tool" --image "$work/disk.img" --answer yes --no-backup </dev/null >/dev/null 2>&1 &
    sleep "0.$(printf '%03d' $((RANDOM % 400)))"
    kill -9 $! 2>/dev/null
    wait $! 2>/dev/null
    old_or_new "kill $round"
    if [ "$(digest "$work/disk.img")" = "$pristine" ]; then seen_old=$((seen_old + 1)); else seen_new=$((seen_new + 1)); fi
done
echo "killed runs: $seen_old left the image as it was, $seen_new as a whole run leaves it"

# --- Interrupted by SIGINT, SIGTERM and SIGHUP at random instants (a run takes some tens of ms), on an
#     image with its default backup beside it, in a TMPDIR of the test's own.
mkdir "$work/tmp" "$work/sig"
stopped=0
declare -A number=([INT]=2 [TERM]=15 [HUP]=1)
for round in $(seq 15); do
    signal=$(printf 'INT\nTERM\nHUP\n' | sed -n "$((round % 3 + 1))p")
    cp "$work/pristine.img" "$work/sig/disk.img"
    TMPDIR=$work/tmp timeout --foreground --preserve-status -s $signal "0.0$(printf '%02d' $((RANDOM % 100)))" \
        "$tool" --image "$work/sig/disk.img" --answer yes </dev/null >/dev/null 2>"$work/sig.err"
    rc=$?
    label="SIG$signal $round"
    [ $rc = 0 ] || [ $rc = $((128 + number[$signal])) ] || fail "$label: exit $rc: $(tail -n 1 "$work/sig.err")"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$label: left in TMPDIR: $(ls -A "$work/tmp")"
    left=$(ls -A "$work/sig" | grep -v -x -e disk.img -e disk.img.cmpci-rollback -e 'cmpci-backup-.*')
    [ -z "$left" ] || fail "$label: left beside the image: $left"
    TMPDIR=$work/tmp "$tool" --image "$work/sig/disk.img" --check >/dev/null 2>"$work/check.err"
    [ ! -e "$work/sig/disk.img.cmpci-rollback" ] || fail "$label: the rollback journal is still there after --check"
    if [ "$(digest "$work/sig/disk.img")" = "$pristine" ]; then
        [ $rc != 0 ] || fail "$label: exit 0, but the image is as it was"
        ! ls -d "$work"/sig/cmpci-backup-* >/dev/null 2>&1 || fail "$label: a backup for a run that changed nothing"
    else
        cleaned "$label" "$work/sig/disk.img"
    fi
    rm -rf "$work"/sig/cmpci-backup-*
    [ $rc = 0 ] || stopped=$((stopped + 1))
done
echo "interrupted image runs: $stopped of 15 ended by the signal, the others had finished or were finishing"
# The same on a machine folder: old or new, no temporary file, no backup for a run that changed nothing.
for round in $(seq 9); do
    signal=$(printf 'INT\nTERM\nHUP\n' | sed -n "$((round % 3 + 1))p")
    rm -rf "$work/folder"
    cp -R "$source/examples/machine-dat" "$work/folder"
    ls -A -R "$work/folder" >"$work/folder.before"
    timeout --foreground --preserve-status -s $signal "0.0$(printf '%02d' $((RANDOM % 60)))" \
        "$tool" --machine "$work/folder" --answer yes </dev/null >/dev/null 2>"$work/sig.err"
    rc=$?
    label="folder SIG$signal $round"
    [ $rc = 0 ] || [ $rc = $((128 + number[$signal])) ] || fail "$label: exit $rc: $(tail -n 1 "$work/sig.err")"
    if cmp -s "$work/folder/WINDOWS/SYSTEM.DAT" "$source/examples/machine-dat/WINDOWS/SYSTEM.DAT"; then
        [ $rc != 0 ] || fail "$label: exit 0, but the machine is as it was"
        ls -A -R "$work/folder" | diff "$work/folder.before" - >/dev/null ||
            fail "$label: the machine folder changed: $(ls -A -R "$work/folder" | diff "$work/folder.before" - | head -n 3)"
    else
        cmp -s "$work/folder/WINDOWS/SYSTEM.DAT" "$work/ref/WINDOWS/SYSTEM.DAT" || fail "$label: SYSTEM.DAT is neither old nor new"
        ls -A -R "$work/folder" | grep -q -F .tmp- && fail "$label: a temporary file is left"
    fi
done

# --- A box waiting for its answer on a terminal ends at once on SIGINT, as Ctrl-C: nothing changed.
cp "$work/pristine.img" "$work/sig/disk.img"
sleep 8 | timeout 60 script -qec "TMPDIR='$work/tmp' timeout --foreground --preserve-status -s INT 2 '$tool' --image '$work/sig/disk.img'; echo \"exit \$?\"" /dev/null >"$work/box.out" 2>&1
grep -q "exit 130" "$work/box.out" && grep -q "interrupted by SIGINT: nothing was changed" "$work/box.out" ||
    fail "box: $(tr -d '\r' <"$work/box.out" | tail -n 3)"
[ "$(digest "$work/sig/disk.img")" = "$pristine" ] && [ -z "$(ls -A "$work/tmp")" ] && [ "$(ls -A "$work/sig")" = disk.img ] ||
    fail "box: the image changed or something was left: $(ls -A "$work/sig" "$work/tmp")"

# --- Temporary folders of runs that were killed go at the next start; those of a live process stay.
true & dead=$!
wait $dead
mkdir -p "$work/tmp/cmpci-image.$dead.AbC123/machine" "$work/tmp/cmpci-image.$$.DeF456"
touch "$work/tmp/cmpci-image.$dead.AbC123/machine/SYSTEM.DAT"
TMPDIR=$work/tmp "$tool" --image "$work/sig/disk.img" --check >/dev/null 2>&1
[ "$(ls -A "$work/tmp")" = "cmpci-image.$$.DeF456" ] || fail "stale temporary folders: TMPDIR holds: $(ls -A "$work/tmp")"
rm -rf "$work/tmp"/*

# --- Killed while the journal is there: the next start plays it back (or drops it when it was cut short
#     itself), and the image is as it was.
cp "$work/pristine.img" "$work/disk.img"
"$tool" --image "$work/disk.img" --answer yes --no-backup </dev/null >/dev/null 2>&1 &
runner=$!
while [ ! -e "$journal" ] && kill -0 $runner 2>/dev/null; do :; done
kill -9 $runner 2>/dev/null
wait $runner 2>/dev/null
if [ -e "$journal" ]; then
    old_or_new "killed with its journal"
    # Killed while writing its journal, the run had not touched the image: the journal is only removed.
    grep -q -F -e "played back the rollback journal $journal" -e "removed $journal, left by a run cut short before" "$work/check.err" ||
        fail "killed with its journal: --check does not say what it did with the journal: $(head -n 1 "$work/check.err")"
    [ "$(digest "$work/disk.img")" = "$pristine" ] || fail "killed with its journal: the image is not as it was"
else
    echo "the run ended before its journal was seen; that case was not met this time"
fi

# Waits (up to a minute) until the holder started in the background holds its lock on $1: on a busy machine
# flock may take longer to start than any fixed pause.
held_by_flock() {
    for _ in $(seq 600); do
        flock -n -x "$1" true 2>/dev/null || return 0
        sleep 0.1
    done
    fail "the holder never took its lock on $1"
}

# --- One run at a time: a lock held on the image, or on a machine folder, refuses a second run at once.
cp "$work/pristine.img" "$work/disk.img"
flock -F -x "$work/disk.img" sleep 600 &
holder=$!
held_by_flock "$work/disk.img"
timeout 10 "$tool" --image "$work/disk.img" --check >/dev/null 2>"$work/lock.err"
rc=$?
[ $rc = 2 ] && grep -q -F "disk.img is in use by another run of cmpci-uninstall (process $holder)" "$work/lock.err" ||
    fail "image lock: exit $rc: $(tail -n 1 "$work/lock.err")"
kill $holder; wait $holder 2>/dev/null
cp -R "$source/examples/machine-dat" "$work/machine"
flock -F -s "$work/machine" sleep 600 &
holder=$!
held_by_flock "$work/machine"
timeout 10 "$tool" --machine "$work/machine" --answer yes --no-backup </dev/null >/dev/null 2>"$work/lock.err"
rc=$?
[ $rc = 2 ] && grep -q -F "machine is in use by another run of cmpci-uninstall (process $holder)" "$work/lock.err" ||
    fail "folder lock: exit $rc: $(tail -n 1 "$work/lock.err")"
"$tool" --machine "$work/machine" --check >/dev/null 2>&1
[ $? = 1 ] || fail "folder lock: a --check beside a reading run was refused"
kill $holder; wait $holder 2>/dev/null
cmp -s "$work/machine/WINDOWS/SYSTEM.DAT" "$source/examples/machine-dat/WINDOWS/SYSTEM.DAT" || fail "folder lock: the refused run changed the machine"

# --- A lost update: SYSTEM.DAT changes in the image while the run waits for its answer on the terminal.
cp "$work/pristine.img" "$work/disk.img"
rm -f "$work/lost.out"
{
    # Once the run asks its question it has read the registry files.
    for _ in $(seq 600); do grep -q "Answer" "$work/lost.out" 2>/dev/null && break; sleep 0.1; done
    mattrib -i "$work/disk.img@@$at" -r ::/WINDOWS/SYSTEM.DAT
    printf 'changed' | dd of="$work/system.dat" status=none
    mcopy -n -i "$work/disk.img@@$at" ::/WINDOWS/SYSTEM.DAT "$work/system.dat"
    printf 'X' | dd of="$work/system.dat" bs=1 seek=20000 conv=notrunc status=none
    mcopy -o -i "$work/disk.img@@$at" "$work/system.dat" ::/WINDOWS/SYSTEM.DAT
    cp "$work/disk.img" "$work/changed.img"
    printf 'y\n\n\n\n'
} | timeout 60 script -qec "'$tool' --image '$work/disk.img' --no-backup; echo \"exit \$?\"" /dev/null >"$work/lost.out" 2>&1
grep -q "exit 2" "$work/lost.out" && grep -q -F "disk.img:WINDOWS/SYSTEM.DAT changed in the image while this run worked" "$work/lost.out" ||
    fail "lost update: $(tr -d '\r' <"$work/lost.out" | tail -n 3)"
cmp -s "$work/disk.img" "$work/changed.img" || fail "lost update: the run changed the image"

finish "image interrupt"
