#!/usr/bin/env bash
# A run on a machine folder (with SYSTEM.DAT and USER.DAT, and with registry.reg) killed (SIGKILL) at each of
# its writes, links, renames, removals and syncs: after the next start (--check) the machine is as it was or as a whole run
# leaves it, compared by its registry's export and its list of files; never SYSTEM.DAT new with USER.DAT old,
# never the card's files left beside a registry without the card. And the case as a user meets it: a run
# killed between the renames of SYSTEM.DAT and USER.DAT, then a plain run, which finishes the change and
# says so.
#
# The kills come from strace's fault injection: the Nth call of its kind by the run is killed.
# Usage: machine_kill_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
tool=$1
source=$2
. "$(dirname "$0")/common.sh"
need_tracing
start_work
# The program itself: its calls are what is counted.
tool=${CMPCI_TOOL:-$tool}

# state NAME: the machine $work/NAME as its registry's export and its files (staged files of a run killed
# before its commit was recorded left aside: the next run that writes removes them).
state() {
    "$tool" --machine "$work/$1" --export - 2>/dev/null
    (cd "$work/$1" && find . -type f ! -name '*.tmp-??????' | LC_ALL=C sort)
}

# sweep EXAMPLE: the kills on a copy of examples/EXAMPLE.
sweep() {
    machine=$source/examples/$1
    fresh_copy before
    state before >"$work/before.state"
    fresh_copy after
    "$tool" --machine "$work/after" --answer yes --no-backup --quiet </dev/null || fail "$1: the reference run failed"
    state after >"$work/after.state"
    cmp -s "$work/before.state" "$work/after.state" && fail "$1: the reference run changed nothing"
    local call n rc
    for call in write linkat renameat unlinkat fsync; do
        n=1
        while :; do
            fresh_copy m
            { strace -f -qq -o /dev/null -e trace="$call" -e inject="$call":signal=KILL:when="$n" \
                "$tool" --machine "$work/m" --answer yes --no-backup --quiet </dev/null >/dev/null 2>&1; } 2>/dev/null
            [ $? -ge 128 ] || break
            kills=$((kills + 1))
            "$tool" --machine "$work/m" --check >/dev/null 2>"$work/check.err"
            rc=$?
            [ $rc = 0 ] || [ $rc = 1 ] || fail "$1, $call $n: --check after the kill exits $rc: $(tail -n 1 "$work/check.err")"
            state m >"$work/m.state"
            cmp -s "$work/m.state" "$work/before.state" || cmp -s "$work/m.state" "$work/after.state" ||
                fail "$1, $call $n: after the next start the machine is neither as it was nor as a run leaves it: $(diff "$work/before.state" "$work/m.state" | head -n 4)"
            [ -e "$work/m/cmpci-uninstall.commit" ] && fail "$1, $call $n: the commit record is left after the next start"
            n=$((n + 1))
        done
        [ $n -gt 1 ] || [ $call = linkat ] || fail "$1: no $call of the run was killed"
    done
}

kills=0
# The binary registry files, then a REGEDIT4 file: its one rename and the removals are one commit too.
sweep machine-dat
sweep machine
echo "killed $kills runs"

# Killed between the two renames: the next plain run finishes the change in one line, and no driver file is
# left.
machine=$source/examples/machine-dat
fresh_copy after
"$tool" --machine "$work/after" --answer yes --no-backup --quiet </dev/null || fail "the reference run failed"
state after >"$work/after.state"
fresh_copy m
{ strace -f -qq -o /dev/null -e trace=renameat -e inject=renameat:signal=KILL:when=2 \
    "$tool" --machine "$work/m" --answer yes --no-backup --quiet </dev/null >/dev/null 2>&1; } 2>/dev/null
[ $? -ge 128 ] || fail "the run was not killed at its second rename"
attempt m --answer yes --no-backup
[ "$(cat "$work/m.rc")" = 0 ] || fail "the next run exits $(cat "$work/m.rc"): $(cat "$work/m.err")"
[ "$(grep -c 'finished the change of a run cut short' "$work/m.err")" = 1 ] ||
    fail "the next run does not say it finished the change: $(cat "$work/m.err")"
state m >"$work/m.state"
cmp -s "$work/m.state" "$work/after.state" ||
    fail "after the next run the machine is not as a run leaves it: $(diff "$work/after.state" "$work/m.state" | head -n 4)"
[ -z "$(find "$work/m/WINDOWS" -iname 'cmaudio.vxd' -o -iname 'cmpci95.drv')" ] || fail "the card's files are left"

# The same kill with a backup kept, then --restore: its start finishes the change, then the restore puts the
# machine back as it was.
fresh_copy before
state before >"$work/before.state"
fresh_copy m
{ strace -f -qq -o /dev/null -e trace=renameat -e inject=renameat:signal=KILL:when=2 \
    "$tool" --machine "$work/m" --answer yes --backup "$work/kept" --quiet </dev/null >/dev/null 2>&1; } 2>/dev/null
[ $? -ge 128 ] || fail "the run with a backup was not killed at its second rename"
attempt m --restore "$work/kept"
[ "$(cat "$work/m.rc")" = 0 ] || fail "--restore after the kill exits $(cat "$work/m.rc"): $(cat "$work/m.err")"
grep -q 'finished the change of a run cut short' "$work/m.err" || fail "--restore does not finish the change first: $(cat "$work/m.err")"
state m >"$work/m.state"
cmp -s "$work/m.state" "$work/before.state" ||
    fail "after --restore the machine is not as it was: $(diff "$work/before.state" "$work/m.state" | head -n 4)"

finish machine_kill_test
