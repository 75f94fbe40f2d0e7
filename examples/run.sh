#!/usr/bin/env bash
# Builds the offline program and runs it on a copy of the example machine: an interactive run whose
# confirmation is answered Yes, showing the boxes, the journal (JSON Lines) and the summary.
# Usage: bash examples/run.sh [machine | machine-dat]
#   machine      the example with its registry as registry.reg (the default)
#   machine-dat  the same machine with Windows 98's own WINDOWS/SYSTEM.DAT and USER.DAT
set -euo pipefail

example=${1:-machine}
case "$example" in
machine | machine-dat) ;;
*)
    echo "usage: bash examples/run.sh [machine | machine-dat]" >&2
    exit 2
    ;;
esac

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

. "$source_dir/examples/build_offline.sh"
build_offline "$source_dir"

copy=$(mktemp -d -t cmpci-example.XXXXXX)
cp -R "$source_dir/examples/$example/." "$copy/"

echo
echo "Running: cmpci-uninstall --machine $copy --answer yes --journal -"
echo
"$source_dir/build/quick/cmpci-uninstall" --machine "$copy" --answer yes --journal -
echo
echo "The machine after the run is in $copy; examples/$example is unchanged."
