#!/usr/bin/env bash
# Progress on a terminal: a step that takes longer than a second shows one line saying what it does and how
# far it is, rewritten with '\r' and erased at its end. Here a run removes a driver file of 128 MB and keeps it
# in a backup: the file is read out of the image, then digested and copied into the backup, each a step with a
# line of its own. The run is held up from outside (stopped for 300 ms of every 310) so that each step lasts
# longer than a second on any machine. The backup holds the file's bytes, and its manifest their SHA-256 as
# sha256sum takes it. Without a terminal nothing of the kind is printed.
# Usage: image_progress_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat sfdisk script sha256sum
bash "$source/examples/make_disk_image.sh" "$work/disk.img" fat32 --size 600 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/disk.img")
# Bytes that repeat every 17, so that a piece out of place or left out changes the digest.
yes 0123456789abcdef | head -c 128M >"$work/CMAUDIO.VXD"
big=$(digest "$work/CMAUDIO.VXD")
mcopy -o -i "$work/disk.img@@$at" "$work/CMAUDIO.VXD" ::/WINDOWS/SYSTEM/CMAUDIO.VXD || fail "mcopy of the large file failed"
rm -f "$work/CMAUDIO.VXD"
cp --sparse=always "$work/disk.img" "$work/plain.img"

export TMPDIR=$work/tmp
mkdir "$TMPDIR"
script -qec "'$tool' --image '$work/disk.img' --answer yes --backup '$work/backup' & echo \$! >'$work/pid'; wait \$!" \
    /dev/null >"$work/tty.out" 2>&1 &
session=$!
for _ in $(seq 6000); do [ -s "$work/pid" ] && break; sleep 0.01; done
pid=$(cat "$work/pid")
while kill -STOP "$pid" 2>/dev/null; do
    sleep 0.3
    kill -CONT "$pid" 2>/dev/null
    sleep 0.01
done
wait $session
grep -a -q -E $'\rcmpci-uninstall: reading files out of [^\r]*disk.img: [0-9.]+ of 128.[0-9] MB \\([0-9]+%\\)' "$work/tty.out" ||
    fail "tty: no progress line while the file is read out of the image: $(tr '\r' '\n' <"$work/tty.out" | head -n 5)"
grep -a -q -E $'\rcmpci-uninstall: copying the removed files into [^\r]*backup: [0-9.]+ of 128.[0-9] MB \\([0-9]+%\\)' "$work/tty.out" ||
    fail "tty: no progress line while the file is digested and copied: $(tr '\r' '\n' <"$work/tty.out" | head -n 5)"
# Erased at the end: blanks over it, then the cursor back at the line's start.
grep -a -q -E $'\r +\r' "$work/tty.out" || fail "tty: the progress line is not erased"
grep -a -q "removed 17 registry keys and 14 files" "$work/tty.out" || fail "tty: the run did not remove the card: $(tail -n 3 "$work/tty.out")"
[ "$(digest "$work/backup/files/WINDOWS/SYSTEM/CMAUDIO.VXD")" = "$big" ] || fail "the backup does not hold the file's bytes"
grep -q "\"sha256\": \"$big\"" "$work/backup/manifest.json" || fail "the manifest does not hold the file's SHA-256"

# Without a terminal: the same run's output, without any progress line or carriage return.
"$tool" --image "$work/plain.img" --answer yes --backup "$work/plain-backup" </dev/null >"$work/plain.out" 2>&1 ||
    fail "plain: the run failed: $(cat "$work/plain.out")"
grep -a -q -e $'\r' -e ' MB (' "$work/plain.out" && fail "plain: a progress line without a terminal: $(grep -a -m1 MB "$work/plain.out")"

finish "image progress"
