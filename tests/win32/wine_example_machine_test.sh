#!/bin/bash
# The bundled example machine (examples/machine) under Wine: its registry is loaded into a fresh 32-bit
# prefix (its HKEY_USERS\.Default standing for the current user) and its Windows folder laid over Wine's own
# (a file that Wine already has under the same name is left as Wine's). A silent run removes the keys and
# files of tests/data/example_machine_removed.txt, and nothing else; a second run removes nothing.
# usage: wine_example_machine_test.sh <cmpci-uninstall.exe> <source dir>
set -u
exe=$1 source=$2
here=$(dirname "$0")
machine=$source/examples/machine
[ -f "$machine/registry.reg" ] && [ -d "$machine/WINDOWS" ] || { echo "no example machine in $machine"; exit 1; }
. "$here/wine_common.sh"
wine_start
. "$here/wine_machine.sh"
install_program "$exe"

# The shared list; card_names are the card's files below the Windows directory.
mapfile -t card_keys < <(list_keys "$source")
mapfile -t card_names < <(list_files "$source" | sed 's|^WINDOWS/||')

# Wine's folder for a folder of the example's Windows directory.
wine_folder() {
    case $(printf '%s' "$1" | tr 'a-z' 'A-Z') in
        .) echo . ;;
        ./SYSTEM) echo system32 ;;
        ./INF) echo inf ;;
        ./INF/OTHER) echo inf/other ;;
        *) echo "${1#./}" ;;
    esac
}

# Lay the example's files over Wine's Windows directory; card_files gets the card's files as they land.
card_files=()
(cd "$machine/WINDOWS" && find . -type f) | LC_ALL=C sort >"$WORK/example.files"
while read -r file; do
    folder=$(wine_folder "$(dirname "$file")")
    name=$(basename "$file")
    mkdir -p "$win_dir/$folder"
    if [ -n "$(find "$win_dir/$folder" -maxdepth 1 -iname "$name" -print -quit)" ]; then
        continue
    fi
    cp "$machine/WINDOWS/$file" "$win_dir/$folder/$name"
    upper=$(printf '%s' "${file#./}" | tr 'a-z' 'A-Z')
    for card in "${card_names[@]}"; do
        if [ "$upper" = "$(printf '%s' "$card" | tr 'a-z' 'A-Z')" ]; then
            card_files+=("${folder#./}/$name")
            card_files[-1]=${card_files[-1]#./}
        fi
    done
done <"$WORK/example.files"
[ "${#card_files[@]}" -eq "${#card_names[@]}" ] || fail "the card's files were not all laid out: ${card_files[*]}"

sed 's/^\[HKEY_USERS\\\.Default/[HKEY_CURRENT_USER/I' "$machine/registry.reg" >"$WORK/example.reg"
wine regedit "$WORK/example.reg" >/dev/null 2>&1 || fail "regedit could not load the example's registry"

snapshot before
for key in "${card_keys[@]}"; do
    grep -qiF -- "$key|" "$WORK/before.reg" || fail "the card's key was not loaded: $key"
done

# run_silent <name>: a silent run, ended within 120 s with exit code 0.
run_silent() {
    timeout 120 wine "$program" /s
    local status=$?
    wine_settle
    case $status in
        0) ;;
        124) fail "$1: the program did not end within 120 s" ;;
        *) fail "$1: exit code $status" ;;
    esac
}

run_silent "silent run"
snapshot after
expect_cleaned "the card's ${#card_keys[@]} keys and ${#card_files[@]} files are gone, all else is there" before after

run_silent "second run"
snapshot again
expect_same "second run: nothing removed" after again

finish "wine example machine"
