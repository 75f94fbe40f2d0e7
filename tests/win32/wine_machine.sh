# The card machine of the Wine tests (sourced after wine_common.sh and wine_start): card_machine.reg and
# the card's files in Wine's Windows and system directories, the keys and files a run must remove, and
# snapshots of the registry trees and the Windows directory to compare before and after a run.
# The system directory of a 32-bit prefix is the Windows directory's system32.
# Failures are counted and tallied as in the scripts on the host.

. "$source/tests/e2e/common.sh"

win_dir=$(wine_unix_path 'C:\windows')
sys_dir=$(wine_unix_path 'C:\windows\system32')
[ -d "$win_dir" ] && [ -d "$sys_dir" ] || wine_skip "Wine's Windows directories are not there"

program='C:\cmpci\cmpci-uninstall.exe'

# wine_settle: waits until the prefix's Wine processes have ended, for at most 120 s.
wine_settle() {
    timeout 120 wineserver -w || fail "Wine's processes did not end within 120 s"
}

# install_program <cmpci-uninstall.exe> [launch.exe]: the program's own copy inside the prefix, so that its
# path is a plain Windows path.
install_program() {
    mkdir -p "$win_dir/../cmpci"
    cp "$1" "$win_dir/../cmpci/cmpci-uninstall.exe"
    [ -z "${2:-}" ] || cp "$2" "$win_dir/../cmpci/launch.exe"
}

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

# snapshot <name>: the registry trees in $WORK/<name>.reg, the Windows directory in $WORK/<name>.files.
snapshot() {
    registry_snapshot >"$WORK/$1.reg"
    files_snapshot >"$WORK/$1.files"
}

# expect_same <what> <expected snapshot> <found snapshot>: both parts alike, or a failure with the differences
# (- expected, + found).
expect_same() {
    local what=$1 part status=0
    for part in reg files; do
        diff -u "$WORK/$2.$part" "$WORK/$3.$part" >"$WORK/$3.$part.diff" || status=1
    done
    if [ "$status" -eq 0 ]; then
        echo "ok   $what"
    else
        fail "not so: $what"
        cat "$WORK/$3.reg.diff" "$WORK/$3.files.diff"
    fi
}

# expect_cleaned <what> <before> <after>: <after> is <before> without card_keys and card_files.
expect_cleaned() {
    registry_without "$WORK/$2.reg" "${card_keys[@]}" >"$WORK/$3.expected.reg"
    files_without "$WORK/$2.files" "${card_files[@]}" >"$WORK/$3.expected.files"
    expect_same "$1" "$3.expected" "$3"
}
