#!/usr/bin/env bash
# A driver class that another device still uses is no mode's to remove. The test machine is the example
# machine whose SSC-SBEMU companion (a key of the card) names MEDIA\0005: the class of the other sound card's
# game port, *PNPB02F\PCI&VEN_1274..., with its joystick resource entry and Windows' game port INF
# MSJSTICK.INF. --check lists that class, entry and INF as kept with the game port that uses them; --remnants
# (the card's device key gone) and a plain run remove the rest and keep them, journal a kept record each and
# name them in the summary. libcreg reads the same in the registry files of a run on the machine imported.
# Usage: shared_class_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"

class='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005'
entry='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>'
inf='C:\WINDOWS\inf\msjstick.inf'
port='HKEY_LOCAL_MACHINE\Enum\VIRTUAL\*PNPB02F\PCI&VEN_1274&DEV_1371&SUBSYS_13711274&REV_06&BUS_00&DEV_09&FUNC_00'
sbemu='HKEY_LOCAL_MACHINE\Enum\VIRTUAL\SSC-SBEMU\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00'

# machine NAME [halfway]: a copy of the example machine whose SSC-SBEMU companion names MEDIA\0005; halfway,
# without the card's device key, as a removal stopped halfway leaves it.
machine() {
    cp -R "$machine" "$work/$1"
    awk -v halfway="${2:-}" '
        /^\[/ { skip = halfway != "" && index($0, "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111") == 1
                sbemu = index($0, "[HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\SSC-SBEMU\\PCI&") == 1 }
        sbemu && /^"Driver"="MEDIA\\\\0004"/ { sub(/0004/, "0005"); changed = 1 }
        !skip
        END { if (!changed) exit 1 }' "$machine/registry.reg" >"$work/$1/registry.reg" ||
        fail "$1: the SSC-SBEMU companion's Driver value not found"
}

# kept_records JOURNAL: the kept records, one "KIND WHERE USEDBY" line each, backslashes single.
kept_records() {
    grep '"op":"kept"' "$1" | sed -e 's/.*"kind":"\([^"]*\)","where":"\([^"]*\)","usedBy":"\([^"]*\)"}$/\1 \2 \3/' \
        -e 's/\\\\/\\/g'
}

expected_kept() {
    printf '%s\n' "driver-class $class $port" "inf-file $inf $port" "media-resource $entry $port"
}

# --- --check on the halfway machine: the companion is --remnants', the class it names is kept.
machine half halfway
"$tool" --machine "$work/half" --check --journal "$work/check.journal" >"$work/check.out" 2>"$work/check.err"
[ $? = 1 ] || fail "check: exit code is not 1: $(cat "$work/check.err")"
grep -q -x -F "companion-key $sbemu [--remnants]" "$work/check.out" || fail "check: the SSC-SBEMU companion is not --remnants'"
for item in "driver-class $class" "media-resource $entry" "inf-file $inf"; do
    grep -q -x -F "$item [kept: $port uses it]" "$work/check.out" || fail "check: not kept: $item"
done
grep -i -e 'MEDIA\\0005' -e 'msjstick.drv<0005>' -e 'msjstick.inf' "$work/check.out" | grep -v '\[kept: ' &&
    fail "check: the other device's class is listed for removal"
kept_records "$work/check.journal" | diff - <(expected_kept) >"$work/diff" || fail "check: kept records: $(cat "$work/diff")"
left=$(grep -c -v '\[kept: ' "$work/check.out")
tail -n 1 "$work/check.journal" | grep -q "\"left\":$left," || fail "check: the summary counts kept items as left"

# --- --remnants removes what --check listed for it, and nothing of the other device's class.
"$tool" --machine "$work/half" --remnants --no-backup --journal "$work/remnants.journal" >/dev/null \
    2>"$work/remnants.err" </dev/null || fail "remnants: exit $?: $(cat "$work/remnants.err")"
removed=$(grep -c '"existed":true' "$work/remnants.journal")
[ "$removed" = "$left" ] || fail "remnants: $removed removals for $left items listed"
grep -F -e '\\MEDIA\\0005' -e 'msjstick.drv<0005>' -e 'msjstick.inf' "$work/remnants.journal" | grep -q '"op":"delete' &&
    fail "remnants: the other device's class, entry or INF went"
kept_records "$work/remnants.journal" | diff - <(expected_kept) >"$work/diff" || fail "remnants: kept records: $(cat "$work/diff")"
grep -q -x -F "cmpci-uninstall: driver-class $class [kept: $port uses it]" "$work/remnants.err" ||
    fail "remnants: the summary does not name the kept class: $(cat "$work/remnants.err")"
for section in "$class" "$entry" "$port"; do
    grep -q -x -F "[$section]"$'\r' "$work/half/registry.reg" || fail "remnants: [$section] is gone"
done
grep -q -F "[$sbemu]" "$work/half/registry.reg" && fail "remnants: the SSC-SBEMU companion is still there"
[ -f "$work/half/WINDOWS/INF/MSJSTICK.INF" ] || fail "remnants: MSJSTICK.INF is gone"
"$tool" --machine "$work/half" --check >"$work/after.out" 2>&1 || fail "remnants: --check after it: $(cat "$work/after.out")"

# --- A plain run on the whole machine: what it removes on the example machine, but MEDIA\0004 (which no key
# names now), and it keeps the other device's class.
machine whole
"$tool" --machine "$work/whole" --answer yes --no-backup --journal "$work/run.journal" >/dev/null \
    2>"$work/run.err" </dev/null || fail "run: exit $?: $(cat "$work/run.err")"
grep '"op":"delete-key".*"existed":true' "$work/run.journal" |
    sed -e 's/.*"root":"\([^"]*\)","path":"\([^"]*\)".*/\1\\\2/' -e 's/\\\\/\\/g' >"$work/run.keys"
list_keys "$source" | grep -v -x -F 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004' >"$work/expected.keys"
diff "$work/expected.keys" "$work/run.keys" >"$work/diff" || fail "run: removed keys: $(cat "$work/diff")"
kept_records "$work/run.journal" | diff - <(expected_kept) >"$work/diff" || fail "run: kept records: $(cat "$work/diff")"
grep -q -x -F "cmpci-uninstall: media-resource $entry [kept: $port uses it]" "$work/run.err" ||
    fail "run: the summary does not name the kept entry: $(cat "$work/run.err")"
[ -f "$work/whole/WINDOWS/INF/MSJSTICK.INF" ] || fail "run: MSJSTICK.INF is gone"

# --- The same machine as Windows 9x registry files: after a run, libcreg reads the other device's class, its
# entry and the game port still there, and no key of the card.
machine dat
"$tool" --machine "$work/dat-machine" --import "$work/dat/registry.reg" >/dev/null 2>"$work/import.err" ||
    fail "import: $(cat "$work/import.err")"
cp -R "$machine/WINDOWS/." "$work/dat-machine/WINDOWS/"
"$tool" --machine "$work/dat-machine" --answer yes --no-backup >/dev/null 2>"$work/dat.err" </dev/null ||
    fail "dat run: $(cat "$work/dat.err")"
/usr/bin/python3 "$source/tests/hive/libcreg_view.py" "$work/dat-machine/WINDOWS/SYSTEM.DAT" >"$work/dat.view" ||
    fail "libcreg cannot read the SYSTEM.DAT the run left"
for key in "$class" "$entry" "$port"; do
    grep -q -x -F "K	${key#HKEY_LOCAL_MACHINE\\}" "$work/dat.view" || fail "dat run: libcreg finds no ${key}"
done
grep -q 'VEN_13F6&DEV_0111' "$work/dat.view" && fail "dat run: libcreg still finds a key of the card"

finish "a class another device uses"
