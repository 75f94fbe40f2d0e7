#!/usr/bin/env bash
# A machine at the edges: 10,000 instances of the card, a key nested 10,000 levels deep below one of them,
# and names one byte longer than each buffer the removal reads them into. The run ends, removes the card's
# keys however deep, passes over what does not fit, and removes nothing else.
# Usage: large_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
export LC_ALL=C
tool=$1
. "$2/tests/e2e/common.sh"
start_work

card='HKEY_LOCAL_MACHINE\Enum\PCI\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10'
long() { printf "%0$1d" 0 | tr 0 "$2"; }
mkdir -p "$work/m/WINDOWS/SYSTEM" "$work/m/WINDOWS/INF/OTHER"
{
    printf 'REGEDIT4\r\n'
    printf '\r\n[%s]\r\n' "$card"
    for i in $(seq 1 10000); do printf '\r\n[%s\\INST%05d]\r\n"Driver"="MEDIA\\\\0001"\r\n' "$card" "$i"; done
    # 10,000 levels below the first instance.
    printf '\r\n[%s\\INST00001' "$card"; for i in $(seq 1 10000); do printf '\\L'; done; printf ']\r\n"deep"="1"\r\n'
    # One byte too long: a device id of 100 characters, an instance name of 52 (passed over by the instance
# loop, gone with the card device key), a "Driver" value of 20 (its key goes, its class stays).
    printf '\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&%s]\r\n' "$(long 82 X)"
    printf '\r\n[%s\\%s]\r\n' "$card" "$(long 52 N)"
    printf '\r\n[%s\\TOOLONGDRIVER]\r\n"Driver"="MEDIA\\\\%s"\r\n' "$card" "$(long 14 9)"
    printf '\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\%s]\r\n' "$(long 14 9)"
    printf '\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001]\r\n"InfPath"="oem9.inf"\r\n'
    printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\r\n"v"="1"\r\n'
    # A mixer subkey name of 100 characters: too long for the walk, passed over; the card's own comes after.
    printf '\r\n[HKEY_USERS\\.DEFAULT\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer%s]\r\n' "$(long 81 M)"
    printf '\r\n[HKEY_USERS\\.DEFAULT\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer]\r\n'
} >"$work/m/registry.reg"
echo x >"$work/m/WINDOWS/INF/oem9.inf"

timeout 120 "$tool" --machine "$work/m" --answer yes --no-backup -- silent >"$work/out" 2>"$work/err" </dev/null
rc=$?
[ "$rc" = 0 ] || fail "exit code $rc: $(tail -n 2 "$work/err")"
grep -q -x 'cmpci-uninstall: removed 10004 registry keys and 1 file' "$work/err" || fail "summary: $(grep -v '^[|+]' "$work/err" | head -n 3)"
for gone in 'INST00001\L\L\L' 'INST10000]' "$(long 52 N)" '\Class\MEDIA\0001]' 'Volume Control\C-Media Audio Mixer]'; do
    grep -q -F "$gone" "$work/m/registry.reg" && fail "still there: $gone"
done
for kept in "VEN_13F6&DEV_0111&$(long 82 X)" "MEDIA\\$(long 14 9)]" 'SOFTWARE\Keep]' "Mixer$(long 81 M)]"; do
    grep -q -F "$kept" "$work/m/registry.reg" || fail "removed although it does not fit or is not the card's: $kept"
done
[ ! -e "$work/m/WINDOWS/INF/oem9.inf" ] || fail "the class's INF file is still there"
grep -q -x 'cmpci-uninstall: left of the card: 1 device-key, 1 mixer-settings (--check lists them)' "$work/err" ||
    fail "what is left: $(grep 'left' "$work/err")"
finish "large machine"
