#!/usr/bin/env bash
# Writes the seeds of hive_fuzz (fuzz/corpus/hive/) with the offline program's own --import, from the small
# REGEDIT4 files beside this script, plus the example machine's USER.DAT:
#   NAME.dat            the SYSTEM.DAT that --import writes for NAME.reg
#   tree_after_run.dat  that of tree.reg after a silent run removed the card (free entries and records)
#   example_user.dat    examples/machine-dat/WINDOWS/USER.DAT
# winme_user.dat, the USER.DAT that Windows ME wrote (tests/data/real-registry), is a seed too; this script
# leaves it as it is.
# usage: bash fuzz/hive-seeds/make.sh PROGRAM   (PROGRAM: a built cmpci-uninstall)
set -euo pipefail
program=$(realpath "$1")
cd "$(dirname "$0")/../.."
out=fuzz/corpus/hive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$out"
for source in fuzz/hive-seeds/*.reg; do
    name=$(basename "$source" .reg)
    mkdir "$work/$name"
    "$program" --machine "$work/$name" --import "$source" >/dev/null
    cp "$work/$name/WINDOWS/SYSTEM.DAT" "$out/$name.dat"
done
"$program" --machine "$work/tree" --no-backup silent >/dev/null
cp "$work/tree/WINDOWS/SYSTEM.DAT" "$out/tree_after_run.dat"
cp examples/machine-dat/WINDOWS/USER.DAT "$out/example_user.dat"
