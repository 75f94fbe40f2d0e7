#!/usr/bin/env bash
# The class rule on a machine with 10,000 more devices: the example machine with 10,000 PCI devices after it,
# each naming a driver class of its own (MEDIA\1000 to MEDIA\10999, each with its class key), but two that
# name two of the card's classes: the 3,334th names media\0002 (another letter case), the 10,000th
# MEDIA\0003. What is kept and removed is worked out here from that list: the run removes what it removes
# on the example machine but those two classes with their resource entries, and keeps them for those two
# devices; none of the 10,000 devices or their classes goes. --check lists the two classes as kept with the
# same devices. The same once more as SYSTEM.DAT and USER.DAT, read back by libcreg.
# Usage: many_devices_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"
example=$machine

count=10000
classes='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class'
device_key() { printf 'HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1000&DEV_%04X&SUBSYS_00000000&REV_01\\BUS_01&DEV_00&FUNC_00' "$1"; }

machine="$work/master"
cp -R "$example" "$machine"
{
    tr -d '\r' <"$example/registry.reg"
    CLASSES=$classes awk -v count=$count 'BEGIN {
        classes = ENVIRON["CLASSES"]
        for (n = 0; n < count; n++) {
            driver = n == 3333 ? "media\\\\0002" : n == 9999 ? "MEDIA\\\\0003" : sprintf("MEDIA\\\\%04d", 1000 + n)
            printf "\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1000&DEV_%04X&SUBSYS_00000000&REV_01\\BUS_01&DEV_00&FUNC_00]\n", n
            printf "\"Class\"=\"MEDIA\"\n\"Driver\"=\"%s\"\n", driver
            printf "\n[%s\\MEDIA\\%04d]\n\"DriverDesc\"=\"Device %d\"\n", classes, 1000 + n, n
        }
    }'
} | sed 's/$/\r/' >"$machine/registry.reg"
[ "$(grep -c -F '"Driver"="media\\0002"' "$machine/registry.reg")" = 1 ] ||
    fail "the device naming media\\0002 is not in the machine"

# What a run removes here: the example machine's list less the items of MEDIA\0002 and MEDIA\0003.
kept_pattern='(\\MEDIA\\000[23]|<000[23]>)$'
list_keys "$source" | grep -v -E "$kept_pattern" >"$work/expected.keys"
{
    printf '%s %s %s\n' driver-class "$classes\\MEDIA\\0002" "$(device_key 3333)"
    printf '%s %s %s\n' media-resource \
        'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0002>' "$(device_key 3333)"
    printf '%s %s %s\n' driver-class "$classes\\MEDIA\\0003" "$(device_key 9999)"
    printf '%s %s %s\n' media-resource \
        'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\midi\cmmpupci.drv<0003>' "$(device_key 9999)"
} | sort >"$work/expected.kept"

# kept_records JOURNAL: the kept records of driver classes and resource entries, "KIND WHERE USEDBY" each.
kept_records() {
    grep '"op":"kept"' "$1" | grep -v '"kind":"inf-file"' |
        sed -e 's/.*"kind":"\([^"]*\)","where":"\([^"]*\)","usedBy":"\([^"]*\)"}$/\1 \2 \3/' -e 's/\\\\/\\/g' | sort
}

# --- --check: the two classes and their entries kept with the devices that name them.
fresh_copy check
attempt check --check --journal "$work/check.journal"
[ "$(cat "$work/check.rc")" = 1 ] || fail "check: exit code $(cat "$work/check.rc"), expected 1"
kept_records "$work/check.journal" | diff "$work/expected.kept" - >"$work/diff" ||
    fail "check: kept records: $(cat "$work/diff")"

# --- A plain run: exactly the expected keys go, and every added device and class stays.
fresh_copy whole
run whole --answer yes --no-backup
grep '"op":"delete-key".*"existed":true' "$work/whole.journal" |
    sed -e 's/.*"root":"\([^"]*\)","path":"\([^"]*\)".*/\1\\\2/' -e 's/\\\\/\\/g' >"$work/run.keys"
diff "$work/expected.keys" "$work/run.keys" >"$work/diff" || fail "run: removed keys: $(cat "$work/diff")"
kept_records "$work/whole.journal" | diff "$work/expected.kept" - >"$work/diff" ||
    fail "run: kept records: $(cat "$work/diff")"
devices=$(grep -c -F '[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1000&DEV_' "$work/whole/registry.reg")
[ "$devices" = "$count" ] || fail "run: $devices of the $count added devices are left"
added=$(grep -c -E '^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\[0-9]{4,5}\]' \
    "$work/whole/registry.reg")
# The added classes, and of the example's MEDIA\0000 to MEDIA\0006 the five the run leaves.
[ "$added" = $((count + 5)) ] || fail "run: $added MEDIA class keys left, expected $((count + 5))"

# --- The same as Windows 9x registry files: libcreg finds the kept classes, and no key of the card.
"$tool" --machine "$work/dat-machine" --import "$machine/registry.reg" >/dev/null 2>"$work/import.err" ||
    fail "import: $(cat "$work/import.err")"
cp -R "$example/WINDOWS/." "$work/dat-machine/WINDOWS/"
"$tool" --machine "$work/dat-machine" --answer yes --no-backup -q >/dev/null 2>"$work/dat.err" </dev/null ||
    fail "dat run: $(cat "$work/dat.err")"
/usr/bin/python3 "$source/tests/hive/libcreg_view.py" "$work/dat-machine/WINDOWS/SYSTEM.DAT" >"$work/dat.view" ||
    fail "libcreg cannot read the SYSTEM.DAT the run left"
for key in 'MEDIA\0002' 'MEDIA\0003' 'MEDIA\10999'; do
    grep -q -x -F "K	System\\CurrentControlSet\\Services\\Class\\$key" "$work/dat.view" ||
        fail "dat run: libcreg finds no class $key"
done
for key in 'MEDIA\0001' 'MEDIA\0004'; do
    grep -q -x -F "K	System\\CurrentControlSet\\Services\\Class\\$key" "$work/dat.view" &&
        fail "dat run: class $key is still there"
done
grep -q 'VEN_13F6&DEV_0111' "$work/dat.view" && fail "dat run: libcreg still finds a key of the card"

finish "10,000 devices naming other classes"
