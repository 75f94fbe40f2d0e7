#!/usr/bin/env bash
# Runs on the bundled example machine cut short while a box waits on a terminal (script(1) gives the program
# one):
#   killed (SIGKILL) at the completion box, a run leaves its journal as far as it got, in its temporary file
#   or on standard output: every line whole and matching the schema, the confirmation answered Yes and every
#   key and file of the card removed, no summary;
#   started under nohup (SIGHUP ignored from the start), a run does not stop on SIGHUP: answered, it removes
#   the card; started plainly, SIGHUP ends the confirmation box and the run changes nothing;
#   Ctrl-C at the confirmation box says the interrupt alone, and the run changes nothing.
# Usage: interrupted_run_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"
need script
# The program itself: the signals sent here must reach it, not a journal checker standing in its place.
program=${CMPCI_TOOL:-$tool}
validate() { /usr/bin/python3 "$source/tests/e2e/validate_journal.py" "$source/doc/journal.schema.json" "$@"; }

# wait_for NAME TEXT: waits up to 60 seconds until the terminal of the run NAME shows TEXT.
wait_for() {
    local tries=0
    until tr -d '\r' <"$work/$1.screen" | grep -q -F -- "$2"; do
        tries=$((tries + 1))
        [ $tries -le 1200 ] || { fail "$1: the terminal never showed '$2': $(tr -d '\r' <"$work/$1.screen" | tail -n 3)"; return 1; }
        sleep 0.05
    done
}

# on_terminal NAME FEED LINE...: the LINEs, a bash script that writes its process id to $work/NAME.pid
# first, on a terminal. FEED NAME types for the user and sends signals; what it prints goes to the
# terminal. The terminal's output is in NAME.screen, the exit code in NAME.rc.
on_terminal() {
    local name=$1 feed=$2
    shift 2
    { printf 'echo $$ >"%s"\n' "$work/$name.pid"; printf '%s\n' "$@"; } >"$work/$name.sh"
    : >"$work/$name.screen"
    "$feed" "$name" | timeout 60 script -qec "bash '$work/$name.sh'" /dev/null >"$work/$name.screen" 2>&1
    echo "${PIPESTATUS[1]}" >"$work/$name.rc"
}

# until_gone NAME: keeps the terminal's input open until the run NAME has ended.
until_gone() {
    local pid
    pid=$(cat "$work/$1.pid")
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
}

# Answers Yes, then kills the run while the completion box waits for Enter.
kill_at_completion() {
    wait_for "$1" "Answer yes/no:" || return
    printf 'y\n'
    wait_for "$1" "Press Enter for OK:" || return
    kill -KILL "$(cat "$work/$1.pid")"
    until_gone "$1"
}

# The journal a killed run left: whole lines of the schema's records, the start record, the confirmation
# answered Yes, every key and file of the card removed, and nothing after (no completion box, no summary).
check_left_journal() {
    local name=$1 journal=$2
    [ "$(cat "$work/$name.rc")" = 137 ] || fail "$name: exit code $(cat "$work/$name.rc"), expected 137 (killed)"
    validate "$journal" 2>"$work/$name.faults" || fail "$name: the journal left: $(head -n 3 "$work/$name.faults")"
    sed -n 2p "$journal" | grep -q '^{"op":"message-box","caption":"Pelko Sound DRUNE",.*"result":6}$' ||
        fail "$name: the second record is not the confirmation answered Yes: $(sed -n 2p "$journal")"
    [ "$(grep -c '"op":"delete-key".*"existed":true' "$journal")" = "$(list_keys "$source" | wc -l)" ] ||
        fail "$name: not every key of the card in the journal left"
    [ "$(grep -c '"op":"delete-file".*"existed":true' "$journal")" = "$(list_files "$source" | wc -l)" ] ||
        fail "$name: not every file of the card in the journal left"
    [ "$(grep -c -v -e '"op":"delete-' -e '"op":"verified","matched":true' "$journal")" = 2 ] ||
        fail "$name: records other than the start, the confirmation, the deletions and the read-back: $(grep -v '"op":"delete-' "$journal" | tail -n +3)"
}

# --- Killed with its journal in a file: the lines are in the temporary file the journal is written to.
fresh_copy killed
on_terminal killed kill_at_completion \
    "exec '$program' --machine '$work/killed' --no-backup --journal '$work/killed.journal'"
[ ! -e "$work/killed.journal" ] || fail "killed: the journal was put in its place before the run ended"
left=$(ls "$work"/killed.journal.tmp-* 2>/dev/null)
if [ "$(printf '%s\n' "$left" | grep -c .)" = 1 ]; then
    check_left_journal killed "$left"
else
    fail "killed: not one temporary journal left: $(ls -A "$work")"
fi

# --- Killed with its journal on standard output, a file: every line was flushed as it was written.
fresh_copy stdout
on_terminal stdout kill_at_completion \
    "exec '$program' --machine '$work/stdout' --no-backup --journal - >'$work/stdout.journal'"
check_left_journal stdout "$work/stdout.journal"

# --- SIGHUP while the confirmation waits: under nohup the run goes on, and answered it removes the card.
# nohup takes the terminal from standard input and error; the program gets both back (3 and 4).
hup_then_answer() {
    wait_for "$1" "Answer yes/no:" || return
    kill -HUP "$(cat "$work/$1.pid")"
    sleep 0.5
    printf 'y\n'
    wait_for "$1" "Press Enter for OK:" && printf '\n'
    until_gone "$1"
}
fresh_copy nohup
on_terminal nohup hup_then_answer \
    "exec 3<&0 4>&2 >'$work/nohup.journal'" \
    "exec nohup bash -c 'exec \"\$@\" <&3 2>&4 3<&- 4>&-' - '$program' --machine '$work/nohup' --no-backup --journal -"
[ "$(cat "$work/nohup.rc")" = 0 ] || fail "nohup: exit code $(cat "$work/nohup.rc"): $(tr -d '\r' <"$work/nohup.screen" | tail -n 2)"
[ ! -e "$work/nohup/WINDOWS/SYSTEM/CMAUDIO.VXD" ] || fail "nohup: the card's files are still there"
validate "$work/nohup.journal" 2>"$work/nohup.faults" || fail "nohup: journal: $(head -n 3 "$work/nohup.faults")"
tail -n 1 "$work/nohup.journal" | grep -q '"op":"summary","cardFound":true,.*"stage":"committed","exitStatus":0}' ||
    fail "nohup: summary: $(tail -n 1 "$work/nohup.journal")"

# --- The same started plainly: SIGHUP ends the box, and the run changes nothing.
fresh_copy hup
cp "$work/hup/registry.reg" "$work/hup.before"
on_terminal hup hup_then_answer "exec '$program' --machine '$work/hup' --no-backup"
[ "$(cat "$work/hup.rc")" = 129 ] || fail "hup: exit code $(cat "$work/hup.rc"), expected 129"
tr -d '\r' <"$work/hup.screen" | grep -q "interrupted by SIGHUP" || fail "hup: $(tr -d '\r' <"$work/hup.screen" | tail -n 2)"
cmp -s "$work/hup.before" "$work/hup/registry.reg" && [ -f "$work/hup/WINDOWS/SYSTEM/CMAUDIO.VXD" ] ||
    fail "hup: the machine changed"

# --- Ctrl-C at the confirmation box: the interrupt alone is said, not an end of input taken as No.
ctrl_c() {
    wait_for "$1" "Answer yes/no:" || return
    printf '\003'
    until_gone "$1"
}
fresh_copy int
on_terminal int ctrl_c "exec '$program' --machine '$work/int' --no-backup"
[ "$(cat "$work/int.rc")" = 130 ] || fail "ctrl-c: exit code $(cat "$work/int.rc"), expected 130"
tr -d '\r' <"$work/int.screen" | grep -q -x "cmpci-uninstall: interrupted by SIGINT: nothing was changed" ||
    fail "ctrl-c: $(tr -d '\r' <"$work/int.screen" | tail -n 2)"
grep -q "end of input" "$work/int.screen" && fail "ctrl-c: an end of input is said: $(tr -d '\r' <"$work/int.screen" | tail -n 3)"
diff -r "$machine" "$work/int" >/dev/null || fail "ctrl-c: the machine changed"

finish "interrupted runs"
