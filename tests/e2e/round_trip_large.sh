#!/usr/bin/env bash
# Backup and undo on a large generated machine: a run, then --restore, gives back every byte of the machine.
# Usage: round_trip_large.sh <path-to-cmpci-uninstall> <path-to-registry_file_bench> <source-dir>
set -u
export LC_ALL=C
tool=$1 bench=$2
. "$3/tests/e2e/common.sh"
start_work

"$bench" --generate "$work/m" --sizes 100000 >/dev/null || fail "cannot generate the machine"
cp -R "$work/m" "$work/original"
"$tool" --machine "$work/m" --answer yes --backup "$work/backup" -- silent 2>"$work/err" </dev/null || fail "run: $(tail -n 1 "$work/err")"
grep -q '^cmpci-uninstall: removed 17 registry keys' "$work/err" || fail "the run removed other than the card: $(grep removed "$work/err")"
cmp -s "$work/original/registry.reg" "$work/m/registry.reg" && fail "the run changed nothing"
"$tool" --machine "$work/m" --restore "$work/backup" 2>"$work/err" || fail "restore: $(tail -n 1 "$work/err")"
diff -r "$work/original" "$work/m" >/dev/null || fail "the machine is not as it was: $(diff -r "$work/original" "$work/m" | head -n 3)"
finish "large round trip"
