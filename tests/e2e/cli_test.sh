#!/usr/bin/env bash
# The offline program's command line: modes from ARGUMENT words and --command-line, --answer, --lang,
# --dry-run, --refuse-restart, and exit code 2 with one line on stderr for the tool's own problems.
set -u
tool=$1
. "$(dirname "$0")/common.sh"
start_work

crlf() { sed 's/$/\r/'; }

# A small machine with the card: one instance, its class, the uninstall entry and two driver files.
make_machine() {
    rm -rf "$work/m"
    mkdir -p "$work/m/Windows/System" "$work/m/Windows/Inf/Other"
    crlf > "$work/m/registry.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Enum]

[HKEY_LOCAL_MACHINE\Enum\PCI]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10]

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10\BUS_00&DEV_0B&FUNC_00]
"Driver"="MEDIA\\0001"

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7111]

[HKEY_LOCAL_MACHINE\System]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA]

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001]
"InfPath"="oem1.inf"

[HKEY_USERS]

[HKEY_USERS\.Default]

[HKEY_USERS\.Default\Control Panel]

[HKEY_USERS\.Default\Control Panel\International]
"Locale"="00000407"

REG
    echo x > "$work/m/Windows/System/CMAUDIO.VXD"
    echo x > "$work/m/Windows/Inf/OEM1.INF"
    echo x > "$work/m/Windows/Inf/Other/oem1.inf"
    cp "$work/m/registry.reg" "$work/original.reg"
}

expect_exit() {
    local want=$1; shift
    "$tool" "$@" > "$work/out" 2> "$work/err" < /dev/null
    local got=$?
    [ "$got" = "$want" ] || fail "exit $got (want $want) for: $*"
}

# --- The tool's own problems: exit 2, one line on stderr, nothing changed. ---
make_machine
expect_exit 2 --machine "$work/m" --bogus
grep -q "unknown option --bogus" "$work/err" || fail "unknown option not named: $(cat "$work/err")"
expect_exit 2 --machine "$work/nowhere"
grep -q "no machine folder" "$work/err" || fail "missing machine not named"
expect_exit 2
grep -q -- "--machine DIR is required" "$work/err" || fail "missing --machine not named"
expect_exit 2 --machine "$work/m" --answer maybe
expect_exit 2 --machine "$work/m" --lang 70000
expect_exit 2 --machine "$work/m" --lang 0x
expect_exit 2 --machine "$work/m" --command-line "x.exe" -- reboot
# A second operand is refused, not taken as the argument text that would make the run silent.
expect_exit 2 --machine "$work/m" "$work/m2"
grep -q -- "unexpected word '$work/m2': one machine folder at a time" "$work/err" || fail "stray word: $(cat "$work/err")"
cmp -s "$work/original.reg" "$work/m/registry.reg" || fail "a refused command line changed the registry"
# A line regedit skips is skipped with a warning naming it; the run goes on and changes nothing here.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"x"=dword:zz\r\n' > "$work/bad.reg"
cp "$work/bad.reg" "$work/m/registry.reg"
expect_exit 0 --machine "$work/m" --answer yes
grep -q "^cmpci-uninstall: .*registry.reg:4: warning: line skipped" "$work/err" || fail "skipped line not named: $(cat "$work/err")"
cmp -s "$work/bad.reg" "$work/m/registry.reg" || fail "a registry file without the card was changed"
# Files that are not REGEDIT4 files, or not files: exit 2 naming what they are, nothing changed, no hang.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n' > "$work/m/registry.reg"
expect_exit 2 --machine "$work/m" --answer yes
grep -q "Version 5.00 file.*export the registry again" "$work/err" || fail "a 5.00 file was not named: $(cat "$work/err")"
[ -f "$work/m/Windows/System/CMAUDIO.VXD" ] || fail "a file was removed although the registry was refused"
rm "$work/m/registry.reg" && mkfifo "$work/m/registry.reg"
timeout 10 "$tool" --machine "$work/m" --answer yes > /dev/null 2> "$work/err" < /dev/null
[ $? = 2 ] && grep -q "not a regular file" "$work/err" || fail "a FIFO registry file was not refused: $(cat "$work/err")"
rm "$work/m/registry.reg" && mkdir "$work/m/registry.reg"
expect_exit 2 --machine "$work/m" --answer yes
grep -q "not a regular file" "$work/err" || fail "a folder registry file was not refused: $(cat "$work/err")"
expect_exit 0 --help
grep -q "usage: cmpci-uninstall" "$work/out" || fail "--help shows no usage"

# --- A No leaves everything as it was; the journal holds exactly the confirmation box. ---
make_machine
expect_exit 0 --machine "$work/m" --answer no --journal "$work/journal"
cmp -s "$work/original.reg" "$work/m/registry.reg" || fail "--answer no changed the registry file"
[ "$(wc -l < "$work/journal")" = 3 ] || fail "--answer no journal: $(cat "$work/journal")"
grep -q '"caption":"Pelko Sound DRUNE".*"language":1031,"result":7' "$work/journal" \
    || fail "confirmation box not in German from the user's Locale: $(cat "$work/journal")"

# --- A dry run journals the removals and changes nothing on disk. ---
expect_exit 0 --machine "$work/m" --dry-run --journal - -- silent
cmp -s "$work/original.reg" "$work/m/registry.reg" || fail "--dry-run changed the registry file"
[ -f "$work/m/Windows/System/CMAUDIO.VXD" ] || fail "--dry-run removed a file"
grep -q '"path":"C:\\\\WINDOWS\\\\SYSTEM\\\\cmaudio.vxd","existed":true' "$work/out" || fail "dry-run journal lacks the file"
grep -q "(dry run" "$work/err" || fail "dry run not said in the summary"

# --- Modes from ARGUMENT words and from a whole command line. ---
restart_run() {
    make_machine
    expect_exit 0 --machine "$work/m" --journal "$work/journal" "$@"
    grep -q '"op":"restart","flags":2,"result":1' "$work/journal" || fail "no restart for: $*"
    grep -q '"text":"Your computer will be restarted"' "$work/journal" || fail "no German-set restart box for: $*"
    grep -q "restart requested" "$work/err" || fail "restart not said for: $*"
}
silent_run() {
    make_machine
    expect_exit 0 --machine "$work/m" --journal "$work/journal" "$@"
    if grep -q '"op":"message-box"\|"op":"restart"' "$work/journal"; then fail "a box or restart in silent mode: $*"; fi
    grep -q '"existed":true' "$work/journal" || fail "silent run removed nothing: $*"
}
restart_run -- reboot
restart_run --command-line '"C:\TOOLS\CMPCI.EXE"reboot'
restart_run --command-line '"C:\MY TOOLS\CMPCI.EXE"   reboot'
restart_run --command-line '   reboot'
silent_run -- REBOOT
silent_run -- "reboot "
silent_run -- /reboot
silent_run --command-line 'CMPCI.EXE reboot now'
silent_run --command-line '"C:\TOOLS\CMPCI.EXE" reboot '

# --- A real run saves the registry atomically and removes only the card. ---
make_machine
expect_exit 0 --machine "$work/m" --lang 0x409 --journal "$work/journal" -- silent
grep -q "removed 3 registry keys and 3 files" "$work/err" || fail "summary: $(cat "$work/err")"
grep -q 'VEN_8086&DEV_7111' "$work/m/registry.reg" || fail "another device was removed"
if grep -q 'VEN_13F6' "$work/m/registry.reg"; then fail "the card is still in the registry"; fi
[ -z "$(ls "$work/m" | grep -v -e '^registry.reg$' -e '^Windows$' -e '^cmpci-backup-')" ] || fail "temporary files left: $(ls "$work/m")"
[ "$(ls -d "$work/m"/cmpci-backup-*/manifest.json | wc -l)" = 1 ] || fail "no dated backup kept in the machine folder"
[ -d "$work/m/Windows/Inf/Other" ] || fail "a folder was removed"
expect_exit 0 --machine "$work/m" --journal "$work/journal" --answer yes
grep -q '"existed":true' "$work/journal" && fail "a second run removed something"
grep -q '"caption":"Pelko Studio KALTO"' "$work/journal" || fail "second interactive run shows no completion box"

# --- A refused restart: exit 0, the reason on stderr. ---
make_machine
expect_exit 0 --machine "$work/m" --refuse-restart 1314 -- reboot
grep -q "^cmpci-uninstall: Can't reboot: 1314$" "$work/err" || fail "refusal reason not shown: $(cat "$work/err")"
# Said after the restart box, as the journal has them.
box=$(grep -n -m1 -e 'restart your system' -e 'will be restarted' "$work/err" | cut -d: -f1)
reason=$(grep -n -m1 "Can't reboot" "$work/err" | cut -d: -f1)
[ -n "$box" ] && [ "$box" -lt "$reason" ] || fail "the refusal reason comes before the restart box: $(cat "$work/err")"

# --- The likely mistakes: the message names what was meant, or the cause of a failed write. ---
make_machine
truncate -s 1M "$work/disk.img"
expect_exit 2 --machine "$work/disk.img" --check
grep -q -F "for a disk image, use --image $work/disk.img" "$work/err" || fail "--machine FILE: $(cat "$work/err")"
expect_exit 2 --image "$work/m" --check
grep -q -F "for a machine folder, use --machine $work/m" "$work/err" || fail "--image FOLDER: $(cat "$work/err")"
# The Windows folder in the machine folder's place, with or without a final slash: the folder above it.
for windows in "$work/m/Windows" "$work/m/Windows/"; do
    expect_exit 2 --machine "$windows" --check
    grep -q -F "it looks like a Windows folder itself: name the folder above it, as in --machine $work/m)" "$work/err" ||
        fail "--machine m/WINDOWS: $(cat "$work/err")"
done
(cd "$work/m" && "$tool" --machine Windows --check </dev/null 2>&1 | grep -q -F "as in --machine .)") ||
    fail "--machine WINDOWS from the machine folder: no hint to name ."
expect_exit 2 --machine "$work/m" --restore "$work/no-such-backup"
grep -q -F "no backup folder $work/no-such-backup" "$work/err" || fail "--restore of a missing folder: $(cat "$work/err")"
if [ -w /dev/full ]; then
    "$tool" --help >/dev/full 2>"$work/err"
    grep -q "cannot write standard output: No space left on device" "$work/err" || fail "--help >/dev/full: $(cat "$work/err")"
    "$tool" --machine "$work/m" --dry-run --answer yes --quiet >/dev/full 2>"$work/err"
    grep -q "cannot write the list to standard output: No space left on device" "$work/err" ||
        fail "--dry-run >/dev/full: $(cat "$work/err")"
fi

# --- Every control byte and DEL in the machine folder's name: the journal's start record names the folder
# exactly, as another JSON reader (Python's, which refuses a raw control byte) reads it.
controls=m
for byte in $(seq 1 31) 127; do
    printf -v char "\\x$(printf %02x "$byte")"
    controls+=$char
done
make_machine
mv "$work/m" "$work/$controls"
expect_exit 1 --machine "$work/$controls" --check --journal "$work/controls.journal"
/usr/bin/python3 -c 'import json, sys; assert json.loads(open(sys.argv[1], encoding="utf-8").readline())["machine"] == sys.argv[2]' \
    "$work/controls.journal" "$work/$controls" 2>/dev/null || fail "the start record does not name a folder with control bytes: $(head -n 1 "$work/controls.journal")"

finish "command line"
