#!/bin/bash
# The real program in a fresh 32-bit Wine prefix: a machine with the card installed (card_machine.reg and
# the card's files in Wine's Windows and system directories) is cleaned in silent mode; afterwards every key
# and file of the card is gone and everything else is as it was. A second run removes nothing. Then the
# command line variants select the modes: the boxes and the restart request are observed in Wine's relay
# trace of MessageBoxExA and ExitWindowsEx (Wine's restart only ends the prefix's own processes).
# usage: wine_removal_test.sh <cmpci-uninstall.exe> <source dir> <launch.exe>
set -u
exe=$1 source=$2 launch=$3
here=$(dirname "$0")
. "$here/wine_common.sh"
wine_start
export LANG=en_US.UTF-8 LC_ALL=

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

win_dir=$(wine_unix_path 'C:\windows')
sys_dir=$(wine_unix_path 'C:\windows\system32')
[ -d "$win_dir" ] && [ -d "$sys_dir" ] || wine_skip "Wine's Windows directories are not there"

# The program's own copy inside the prefix, so that its path is a plain Windows path.
mkdir -p "$win_dir/../cmpci"
cp "$exe" "$win_dir/../cmpci/cmpci-uninstall.exe"
cp "$launch" "$win_dir/../cmpci/launch.exe"
program='C:\cmpci\cmpci-uninstall.exe'

# Only the calls that tell the modes apart are traced.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'user32.MessageBoxExA;user32.ExitWindowsEx' /f >/dev/null 2>&1

# The registry trees the program reads and deletes in.
trees=(
    'HKEY_LOCAL_MACHINE\Enum'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources'
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
    'HKEY_CURRENT_USER\SOFTWARE\Microsoft\Windows\CurrentVersion\Applets'
)

# What the run must remove, and nothing else.
card_keys=(
    'HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-DOSEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-SBEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0002'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0003'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\wave\cmpci95.drv<0006>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmpcifm.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmswmpu.drv<0004>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\mixer\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\aux\cmpci95.drv<0001>'
    'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0002>'
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\PelkoSoundDrune'
    'HKEY_CURRENT_USER\SOFTWARE\Microsoft\Windows\CurrentVersion\Applets\Volume Control\C-Media Audio Mixer'
)
# Paths below the Windows directory, as they stand on disk (Wine matches names without regard to case).
card_files=(
    system32/CMAUDIO.VXD system32/cmpci95.drv system32/cmpcifm.drv system32/cmmpupci.drv system32/cmswmpu.vxd
    system32/cmmpu.exe system32/smidi32.dll system32/a3d.dll system32/C3D.DLL Cldrune.exe
    inf/OEM5.INF inf/other/OEM5.INF inf/OEM7.INF inf/oem8.inf inf/other/OEM8.INF
)
other_files=(
    system32/cmaudio.vxd.bak system32/msjstick.drv CLDRUNE.INI
    inf/OEM6.INF inf/other/OEM6.INF inf/OEM9.INF inf/other/readme.txt
)

install_card() {
    wine regedit "$source/tests/win32/card_machine.reg" >/dev/null 2>&1 || fail "regedit could not load the card's registry"
    mkdir -p "$win_dir/inf/other"
    local file
    for file in "${card_files[@]}" "${other_files[@]}"; do
        printf 'content of %s\r\n' "$file" >"$win_dir/$file"
    done
}

# One line per key ("key|") and per value line ("key|line"), keys as Wine stores them.
registry_snapshot() {
    local tree part=$WORK/part.reg
    for tree in "${trees[@]}"; do
        rm -f "$part"
        wine regedit /E "$part" "$tree" >/dev/null 2>&1
        [ -f "$part" ] || continue
        iconv -f UTF-16 -t UTF-8 "$part" | tr -d '\r' | awk '
            /^\[.*\]$/ { key = substr($0, 2, length($0) - 2); print key "|"; next }
            key != "" && $0 != "" { print key "|" $0 }'
    done
}

files_snapshot() {
    (cd "$win_dir" && find . -mindepth 1 | LC_ALL=C sort)
}

# Lines of a registry snapshot whose key is none of the given keys nor below one of them.
registry_without() {
    local snapshot=$1
    shift
    printf '%s\n' "$@" | awk -v snap="$snapshot" '
        { gone[tolower($0)] = 1 }
        END {
            while ((getline line < snap) > 0) {
                key = tolower(substr(line, 1, index(line, "|") - 1))
                keep = 1
                for (g in gone)
                    if (key == g || substr(key, 1, length(g) + 1) == g "\\") { keep = 0; break }
                if (keep) print line
            }
        }'
}

files_without() {
    local snapshot=$1
    shift
    printf './%s\n' "$@" | awk -v snap="$snapshot" '
        { gone[$0] = 1 }
        END { while ((getline line < snap) > 0) if (!(line in gone)) print line }'
}

# run_program <name> <command line>: runs the program with exactly that command line, leaves the relay
# trace of its boxes and restart request in $WORK/<name>.calls and checks the exit code.
run_program() {
    local name=$1 line=$2 status
    CMPCI_COMMAND_LINE=$line WINEDEBUG=-all,+relay timeout 120 \
        wine 'C:\cmpci\launch.exe' "$program" >"$WORK/$name.out" 2>"$WORK/$name.trace"
    status=$?
    grep -aE 'Call user32\.(MessageBoxExA|ExitWindowsEx)\(' "$WORK/$name.trace" |
        sed -E 's/^[0-9a-f]+:Call //; s/ ret=[0-9a-f]+$//' >"$WORK/$name.calls"
    wineserver -w
    if [ "$status" -ne 0 ] || ! grep -q '^exit code 0' "$WORK/$name.out"; then
        fail "$name: the program did not end with exit code 0 (launcher $status: $(cat "$WORK/$name.out"))"
    fi
}

# --- 1. A silent run removes the card and nothing else. ---------------------------------------------------
install_card
registry_snapshot >"$WORK/reg.before"
files_snapshot >"$WORK/files.before"
for key in "${card_keys[@]}"; do
    grep -qiF -- "$key|" "$WORK/reg.before" || fail "the card's key was not installed: $key"
done

run_program silent "\"$program\" /s"
registry_snapshot >"$WORK/reg.after"
files_snapshot >"$WORK/files.after"

registry_without "$WORK/reg.before" "${card_keys[@]}" >"$WORK/reg.expected"
if diff -u "$WORK/reg.expected" "$WORK/reg.after" >"$WORK/reg.diff"; then
    echo "ok   silent run: the card's ${#card_keys[@]} keys are gone, the rest of the registry trees is unchanged"
else
    fail "silent run: the registry differs from the expected one (- expected, + found):"
    cat "$WORK/reg.diff"
fi
files_without "$WORK/files.before" "${card_files[@]}" >"$WORK/files.expected"
if diff -u "$WORK/files.expected" "$WORK/files.after" >"$WORK/files.diff"; then
    echo "ok   silent run: the card's ${#card_files[@]} files are gone, the other files and every folder are there"
else
    fail "silent run: the Windows directory differs from the expected one (- expected, + found):"
    cat "$WORK/files.diff"
fi
[ -s "$WORK/silent.calls" ] && fail "silent run showed a box or asked for a restart: $(cat "$WORK/silent.calls")"

# --- 2. A second run finds no card and removes nothing. ---------------------------------------------------
run_program again "\"$program\" /s"
registry_snapshot >"$WORK/reg.again"
files_snapshot >"$WORK/files.again"
if cmp -s "$WORK/reg.after" "$WORK/reg.again" && cmp -s "$WORK/files.after" "$WORK/files.again"; then
    echo "ok   second run: nothing removed"
else
    fail "second run changed something"
    diff -u "$WORK/reg.after" "$WORK/reg.again"
    diff -u "$WORK/files.after" "$WORK/files.again"
fi

# --- 3. The command line selects the mode. ----------------------------------------------------------------
# Without a display Wine cannot show a box: MessageBoxExA fails, which the run takes as consent.
confirm='user32.MessageBoxExA(00000000,"Do you really want to uninstall your sound card ?","Pelko Sound DRUNE",00001014,00000409)'
complete='user32.MessageBoxExA(00000000,"    Uninstall complete.    ","Pelko Studio KALTO",00001040,00000409)'
restart_box='user32.MessageBoxExA(00000000,"This application will now restart your system","Pelko Studio KALTO",00001040,00000409)'
restart_call='user32.ExitWindowsEx(00000002,00000000)'

# mode_case <name> <command line> <expected calls, one a line, in order>
mode_case() {
    local name=$1 line=$2 expected=$3
    run_program "$name" "$line"
    # The relay trace writes addresses before the texts: keep the texts.
    sed -E 's/[0-9a-f]{8} (")/\1/g' "$WORK/$name.calls" >"$WORK/$name.seen"
    if [ "$(cat "$WORK/$name.seen")" = "$expected" ]; then
        echo "ok   [$line]: ${expected:-no box, no restart}" | tr '\n' ' '
        echo
    else
        fail "[$line]: expected"
        printf '  %s\n' "${expected:-(nothing)}"
        echo "  found"
        sed 's/^/  /' "$WORK/$name.seen"
    fi
}

install_card
mode_case restart_quoted "\"$program\" reboot" "$restart_box
$restart_call"
mode_case restart_quoted_no_blank "\"$program\"reboot" "$restart_box
$restart_call"
mode_case restart_unquoted "$program reboot" "$restart_box
$restart_call"
mode_case restart_no_program "   reboot" "$restart_box
$restart_call"
mode_case interactive_quoted "\"$program\"" "$confirm
$complete"
mode_case interactive_blanks "\"$program\"   " "$confirm
$complete"
mode_case capitals "\"$program\" REBOOT" ""
mode_case trailing_blank "\"$program\" reboot " ""
mode_case slash "\"$program\" /reboot" ""
mode_case two_words "\"$program\" reboot now" ""

# The restart run above removed the card before asking for the restart.
registry_snapshot >"$WORK/reg.restart"
if cmp -s "$WORK/reg.after" "$WORK/reg.restart"; then
    echo "ok   restart run: the card was removed before the restart request"
else
    fail "after the restart runs the registry is not the cleaned one"
    diff -u "$WORK/reg.after" "$WORK/reg.restart"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
