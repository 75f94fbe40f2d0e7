#!/bin/bash
# The bundled example machine (examples/machine) under Wine: its registry is loaded into a fresh 32-bit
# prefix (its HKEY_USERS\.Default standing for the current user) and its Windows folder laid over Wine's own
# (a file that Wine already has under the same name is left as Wine's). A silent run removes the 17 keys
# and 14 files of the card that the example's README lists, and nothing else; a second run removes nothing.
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

# The card device key stands for itself and its instance key below it: 17 keys in all.
card_keys=(
    'HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-DOSEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-SBEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmpcifm.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0002>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmmpupci.drv<0003>'
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune'
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Applets\Volume Control\C-Media Audio Mixer'
)
card_names=(
    SYSTEM/cmaudio.vxd SYSTEM/cmpci95.drv SYSTEM/cmpcifm.drv SYSTEM/cmmpupci.drv SYSTEM/cmswmpu.vxd
    SYSTEM/cmmpu.exe SYSTEM/smidi32.dll SYSTEM/a3d.dll SYSTEM/c3d.dll cldrune.exe
    INF/oem3.inf INF/OTHER/oem3.inf INF/oem4.inf INF/OTHER/oem4.inf
)

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
[ "${#card_files[@]}" -eq 14 ] || fail "the example's 14 card files were not all laid out: ${card_files[*]}"

sed 's/^\[HKEY_USERS\\\.Default/[HKEY_CURRENT_USER/I' "$machine/registry.reg" >"$WORK/example.reg"
wine regedit "$WORK/example.reg" >/dev/null 2>&1 || fail "regedit could not load the example's registry"

registry_snapshot >"$WORK/reg.before"
files_snapshot >"$WORK/files.before"
for key in "${card_keys[@]}"; do
    grep -qiF -- "$key|" "$WORK/reg.before" || fail "the card's key was not loaded: $key"
done

timeout 120 wine "$program" /s
status=$?
wineserver -w
[ "$status" -eq 0 ] || fail "silent run: exit code $status"
registry_snapshot >"$WORK/reg.after"
files_snapshot >"$WORK/files.after"

registry_without "$WORK/reg.before" "${card_keys[@]}" >"$WORK/reg.expected"
if diff -u "$WORK/reg.expected" "$WORK/reg.after"; then
    echo "ok   the card's ${#card_keys[@]} keys are gone, the rest of the registry trees is unchanged"
else
    fail "the registry differs from the expected one (- expected, + found)"
fi
files_without "$WORK/files.before" "${card_files[@]}" >"$WORK/files.expected"
if diff -u "$WORK/files.expected" "$WORK/files.after"; then
    echo "ok   the card's ${#card_files[@]} files are gone, every other file and folder is there"
else
    fail "the Windows directory differs from the expected one (- expected, + found)"
fi

timeout 120 wine "$program" /s
wineserver -w
registry_snapshot >"$WORK/reg.again"
files_snapshot >"$WORK/files.again"
if cmp -s "$WORK/reg.after" "$WORK/reg.again" && cmp -s "$WORK/files.after" "$WORK/files.again"; then
    echo "ok   second run: nothing removed"
else
    fail "the second run changed something"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
