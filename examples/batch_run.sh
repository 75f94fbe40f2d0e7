#!/usr/bin/env bash
# One image of a batch, for GNU parallel or xargs -P: cleans IMAGE with cmpci-uninstall --answer yes -q (and
# the OPTIONs given before it, such as --no-backup or --backup DIR) and keeps what examples/batch_report.sh
# reads in a fresh folder below RUNS: image (the image as given), journal.jsonl, messages (standard error)
# and status (the exit status). An image given twice leaves two such folders: the run that finds the image
# locked by the other is refused and changes nothing. The program is $CMPCI_UNINSTALL, else cmpci-uninstall
# on the PATH, else the one built in this source tree (build/quick, then build/default). Exits with the
# program's status; 127 when there is no program to run (messages then says so).
# Usage: bash examples/batch_run.sh RUNS [OPTION...] IMAGE
set -u
[ $# -ge 2 ] || { echo "usage: bash examples/batch_run.sh RUNS [OPTION...] IMAGE" >&2; exit 2; }
runs=$1
image=${!#}
options=("${@:2:$#-2}")
run=$(mktemp -d "$runs/run.XXXXXXXX") || exit 2
printf '%s\n' "$image" >"$run/image"
tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${CMPCI_UNINSTALL:-$(command -v cmpci-uninstall)}
for built in "$tree/build/quick/cmpci-uninstall" "$tree/build/default/cmpci-uninstall"; do
    [ -z "$program" ] && [ -x "$built" ] && program=$built
done
if [ -z "$program" ] || ! command -v "$program" >/dev/null; then
    echo "no program to run: ${program:-cmpci-uninstall is not on the PATH nor built in $tree/build/quick or build/default} (set CMPCI_UNINSTALL to it)" \
        >"$run/messages"
    echo 127 >"$run/status"
    exit 127
fi
"$program" --image "$image" --answer yes -q --journal "$run/journal.jsonl" "${options[@]}" </dev/null 2>"$run/messages"
status=$?
echo "$status" >"$run/status"
exit "$status"
