#!/usr/bin/env bash
# The batch scripts as run from a source tree, the program not on the PATH: examples/batch_run.sh finds the
# one built in the tree (build/quick, then build/default); each run's journal summary names its backup
# folder and examples/batch_report.sh prints it per image, so that a batch's backups are told apart. With
# no program at all, each image is reported as not run, naming why, not as refused.
# Usage: batch_tree_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat sfdisk
# A PATH without the program.
path=
IFS=: read -r -a folders <<<"$PATH"
for folder in "${folders[@]}"; do
    [ -x "$folder/cmpci-uninstall" ] || path=${path:+$path:}$folder
done
PATH=$path command -v cmpci-uninstall >/dev/null && fail "cannot make a PATH without cmpci-uninstall"

# tree NAME: a source tree's examples in $work/NAME, no program built in it yet.
tree() {
    mkdir -p "$work/$1/examples"
    cp "$source/examples/batch_run.sh" "$source/examples/batch_report.sh" "$work/$1/examples/"
}
# batch TREE RUNS IMAGE...: batch_run.sh of TREE on each image, in turn, then its report in RUNS.report (exit
# code in RUNS.rc).
batch() {
    local tree=$1 runs=$2
    shift 2
    mkdir -p "$work/$runs"
    for image in "$@"; do
        env -u CMPCI_UNINSTALL PATH="$path" bash "$work/$tree/examples/batch_run.sh" "$work/$runs" "$image"
    done
    bash "$work/$tree/examples/batch_report.sh" "$work/$runs" >"$work/$runs.report"
    echo $? >"$work/$runs.rc"
}

mkdir "$work/lab"
bash "$source/examples/make_disk_image.sh" "$work/lab/a.img" fat16 >/dev/null || fail "cannot make the image"
cp --sparse=always "$work/lab/a.img" "$work/lab/b.img"
cp --sparse=always "$work/lab/a.img" "$work/lab/c.img"

# --- No program anywhere: not run, and why.
tree bare
batch bare runs0 "$work/lab/a.img"
[ "$(cat "$work/runs0.rc")" = 1 ] || fail "no program: the report exits $(cat "$work/runs0.rc"), not 1"
grep -q -x -F "$work/lab/a.img: not run: no program to run: cmpci-uninstall is not on the PATH nor built in $work/bare/build/quick or build/default (set CMPCI_UNINSTALL to it)" \
    "$work/runs0.report" || fail "no program: $(cat "$work/runs0.report")"
CMPCI_UNINSTALL=$work/none PATH="$path" bash "$work/bare/examples/batch_run.sh" "$work/runs0" "$work/lab/b.img"
[ $? = 127 ] || fail "no program: batch_run.sh does not exit 127"
bash "$work/bare/examples/batch_report.sh" "$work/runs0" | grep -q -x -F "$work/lab/b.img: not run: no program to run: $work/none (set CMPCI_UNINSTALL to it)" ||
    fail "a missing CMPCI_UNINSTALL: $(bash "$work/bare/examples/batch_report.sh" "$work/runs0")"
grep -q 'refused' "$work/runs0.report" && fail "no program: reported as refused"

# --- The program built in the tree (build/default; build/quick comes first when both are there).
tree built
mkdir -p "$work/built/build/default" "$work/built/build/quick"
printf '#!/bin/sh\nexec "%s" "$@"\n' "$tool" >"$work/built/build/default/cmpci-uninstall"
printf '#!/bin/sh\necho quick >>"%s"\nexec "%s" "$@"\n' "$work/quick.used" "$tool" >"$work/built/build/quick/cmpci-uninstall"
chmod +x "$work/built/build/default/cmpci-uninstall"
batch built runs1 "$work/lab/a.img"
[ -e "$work/quick.used" ] && fail "build/quick was used while not executable"
chmod +x "$work/built/build/quick/cmpci-uninstall"
batch built runs1 "$work/lab/b.img" "$work/lab/c.img"
[ "$(wc -l <"$work/quick.used" 2>/dev/null)" = 2 ] || fail "build/quick's program did not run the last two images"
[ "$(cat "$work/runs1.rc")" = 0 ] || fail "built: the report exits $(cat "$work/runs1.rc"): $(cat "$work/runs1.report")"
[ "$(wc -l <"$work/runs1.report")" = 3 ] || fail "built: $(cat "$work/runs1.report")"
# Each image's line names its own backup folder, which holds that image's backup.
for image in a b c; do
    line=$(grep -F "$work/lab/$image.img: " "$work/runs1.report")
    grep -q -E "^$work/lab/$image.img: cleaned \\([0-9]+ keys, [0-9]+ files removed\\); backup in $work/lab/cmpci-backup-[0-9-]+$" <<<"$line" ||
        fail "$image: $line"
    backup=${line##*; backup in }
    grep -q -F "\"machine\": \"$work/lab/$image.img\"" "$backup/manifest.json" 2>/dev/null ||
        fail "$image: $backup is not its backup: $(grep machine "$backup/manifest.json")"
done
[ "$(sed 's/.*; backup in //' "$work/runs1.report" | sort -u | wc -l)" = 3 ] || fail "the backups are not told apart"
# A run without a backup names none.
mkdir "$work/runs2"
env -u CMPCI_UNINSTALL PATH="$path" bash "$work/built/examples/batch_run.sh" "$work/runs2" --no-backup "$work/lab/a.img"
bash "$work/built/examples/batch_report.sh" "$work/runs2" | grep -q -x -F "$work/lab/a.img: nothing to do" ||
    fail "no backup: $(bash "$work/built/examples/batch_report.sh" "$work/runs2")"

finish "batch scripts from a source tree"
