#!/usr/bin/env bash
# Progress on a terminal: a step that takes longer than a second (here, reading a Windows folder of 20,000
# files, held up for a while by SIGSTOP) shows one line saying what it does and how far it is, rewritten
# with '\r' and erased at its end. Without a terminal nothing of the kind is printed.
# Usage: image_progress_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
tool=$1
source=$2
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/image_common.sh"
need mcopy mkfs.fat sfdisk script
start_work
bash "$source/examples/make_disk_image.sh" "$work/disk.img" fat32 --size 256 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/disk.img")
mkdir -p "$work/BULK"
for folder in $(seq 40); do
    mkdir "$work/BULK/D$folder"
    (cd "$work/BULK/D$folder" && touch $(seq -f 'F%g.TXT' 500))
done
mcopy -s -i "$work/disk.img@@$at" "$work/BULK" ::/WINDOWS/ || fail "mcopy of the 20,000 files failed"

# On a terminal: the run is stopped for 1.5 s once it has begun to read the folder (its temporary folder is
# there), so that the step lasts longer than a second on any machine.
export TMPDIR=$work/tmp
mkdir "$TMPDIR"
script -qec "'$tool' --image '$work/disk.img' --check & echo \$! >'$work/pid'; wait \$!" /dev/null >"$work/tty.out" 2>&1 &
session=$!
while [ ! -s "$work/pid" ] || [ -z "$(ls -A "$TMPDIR")" ]; do sleep 0.01; done
kill -STOP "$(cat "$work/pid")"
sleep 1.5
kill -CONT "$(cat "$work/pid")"
wait $session
grep -a -q -E $'\rcmpci-uninstall: reading WINDOWS in [^\r]*disk.img: [0-9]+ files' "$work/tty.out" ||
    fail "tty: no progress line: $(tr '\r' '\n' <"$work/tty.out" | head -n 3)"
# Erased at the end: blanks over it, then the cursor back at the line's start.
grep -a -q -E $'\r +\r' "$work/tty.out" || fail "tty: the progress line is not erased"
grep -a -q "device-key" "$work/tty.out" || fail "tty: the run did not list the card"

# Without a terminal: the same run's output, without any progress line or carriage return.
"$tool" --image "$work/disk.img" --check >"$work/plain.out" 2>&1
[ $? = 1 ] || fail "plain: --check does not exit 1"
grep -a -q -e $'\r' -e 'files$' "$work/plain.out" && fail "plain: a progress line without a terminal: $(grep -a -m1 files "$work/plain.out")"

finish "image progress"
