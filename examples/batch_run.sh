#!/usr/bin/env bash
# One image of a batch, for GNU parallel or xargs -P: cleans IMAGE with cmpci-uninstall --answer yes -q (and
# the OPTIONs given before it, such as --no-backup or --backup DIR) and keeps what examples/batch_report.sh
# reads in a fresh folder below RUNS: image (the image as given), journal.jsonl, messages (standard error)
# and status (the exit status). An image given twice leaves two such folders: the run that finds the image
# locked by the other is refused and changes nothing. The program is $CMPCI_UNINSTALL, else cmpci-uninstall
# on the PATH. Exits with the program's status.
# Usage: bash examples/batch_run.sh RUNS [OPTION...] IMAGE
set -u
[ $# -ge 2 ] || { echo "usage: bash examples/batch_run.sh RUNS [OPTION...] IMAGE" >&2; exit 2; }
runs=$1
image=${!#}
options=("${@:2:$#-2}")
run=$(mktemp -d "$runs/run.XXXXXXXX") || exit 2
printf '%s\n' "$image" >"$run/image"
"${CMPCI_UNINSTALL:-cmpci-uninstall}" --image "$image" --answer yes -q --journal "$run/journal.jsonl" "${options[@]}" \
    </dev/null 2>"$run/messages"
status=$?
echo "$status" >"$run/status"
exit "$status"
