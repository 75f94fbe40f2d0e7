#!/usr/bin/env bash
# The report of a batch that examples/batch_run.sh kept in RUNS: one line a run, in the order of the images'
# names, from its journal's summary and its exit status:
#   IMAGE: cleaned (K keys, F files removed)
#   IMAGE: nothing to do
#   IMAGE: refused: WHY            (the program's own message: locked, damaged, not a Windows 9x disk ...)
#   IMAGE: not finished            (no exit status: the run was killed)
# A run that leaves something of the card adds "; N items of the card left". Exit 0 when every run was
# carried out, 1 when one was refused or did not finish.
# Usage: bash examples/batch_report.sh RUNS
set -u
[ $# = 1 ] && [ -d "$1" ] || { echo "usage: bash examples/batch_report.sh RUNS" >&2; exit 2; }

# verdict RUN: what became of the run's image.
verdict() {
    local status summary keys files left why
    status=$(cat "$1/status" 2>/dev/null) || { echo "not finished"; return; }
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
    [ "$left" = 0 ] && echo || echo "; $left items of the card left"
}

report=$(for run in "$1"/run.*; do
    [ -f "$run/image" ] || continue
    image=$(cat "$run/image")
    printf '%s\t%s: %s\n' "$image" "$image" "$(verdict "$run")"
done | sort -t "$(printf '\t')" -k1,1 -s | cut -f2-)
[ -z "$report" ] || printf '%s\n' "$report"
! grep -q -e ': refused: ' -e ': not finished$' <<<"$report"
