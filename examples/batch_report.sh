#!/usr/bin/env bash
# The report of a batch that examples/batch_run.sh kept in RUNS: one line a run, in the order of the images'
# names, from its journal's summary and its exit status:
#   IMAGE: cleaned (K keys, F files removed)
#   IMAGE: nothing to do
#   IMAGE: refused: WHY            (the program's own message: locked, damaged, not a Windows 9x disk ...)
#   IMAGE: not run: WHY            (batch_run.sh found no program to run)
#   IMAGE: not finished            (no exit status: the run was killed)
# A run that leaves something of the card adds "; N items of the card left", one that kept a backup
# "; backup in FOLDER" (the folder --restore takes). Exit 0 when every run was carried out, 1 when one was
# refused, not run or did not finish.
# Usage: bash examples/batch_report.sh RUNS
set -u
[ $# = 1 ] && [ -d "$1" ] || { echo "usage: bash examples/batch_report.sh RUNS" >&2; exit 2; }

# verdict RUN: what became of the run's image.
verdict() {
    local status summary keys files left why
    status=$(cat "$1/status" 2>/dev/null) || { echo "not finished"; return; }
    # 126 and 127: the shell found no program to run, or could not run it.
    if [ "$status" = 127 ] || [ "$status" = 126 ]; then
        echo "not run: $(tail -n 1 "$1/messages")"
        return
    fi
    summary=$(grep '^{"op":"summary",' "$1/journal.jsonl" 2>/dev/null)
    if [ "$status" != 0 ] || [ -z "$summary" ]; then
        why=$(tail -n 1 "$1/messages")
        echo "refused: ${why#cmpci-uninstall: }"
        return
    fi
    keys=$(sed 's/.*"keysRemoved":\([0-9]*\).*/\1/' <<<"$summary")
    files=$(sed 's/.*"filesRemoved":\([0-9]*\).*/\1/' <<<"$summary")
    left=$(sed 's/.*"left":\([0-9]*\).*/\1/' <<<"$summary")
    if [ $((keys + files)) -gt 0 ]; then
        printf 'cleaned (%s keys, %s files removed)' "$keys" "$files"
    else
        printf 'nothing to do'
    fi
    [ "$left" = 0 ] || printf '; %s items of the card left' "$left"
    grep -q '"backup":' <<<"$summary" && printf '; backup in %s' "$(sed 's/.*"backup":"\(.*\)"}$/\1/' <<<"$summary")"
    echo
}

report=$(for run in "$1"/run.*; do
    [ -f "$run/image" ] || continue
    image=$(cat "$run/image")
    printf '%s\t%s: %s\n' "$image" "$image" "$(verdict "$run")"
done | sort -t "$(printf '\t')" -k1,1 -s | cut -f2-)
[ -z "$report" ] || printf '%s\n' "$report"
! grep -q -e ': refused: ' -e ': not run: ' -e ': not finished$' <<<"$report"
