#!/usr/bin/env bash
# The registry backups Windows keeps, read by --check and named by a run's summary, on cabinets that gcab
# (libgcab, an implementation of the format apart from the libmspack the program reads with) wrote from
# registry files --import made of REGEDIT4 texts with and without the card, and from the pair Windows ME wrote:
# on a machine folder and inside a disk image, --check lists exactly the backups that hold the card
# (RB001.CAB, RB003.CAB of RB000-RB004, and SYSTEM.DA0), each with its date and as much of the card as --check
# finds in a machine with that registry; its exit status counts the live machine only; a damaged cabinet is
# one warning line; and no cabinet or .DA0 file changes by a byte, not even on the image.
# Usage: registry_backups_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" gcab mcopy mmd mkfs.fat fsck.fat sfdisk
export TZ=UTC

# --- Registry files: --import of the example's registry.reg (the card), and of the same after a run (no card).
mkdir -p "$work/with/WINDOWS" "$work/without/WINDOWS"
"$tool" --machine "$work/with" --import "$source/examples/machine/registry.reg" -q || fail "import with the card"
cp -R "$source/examples/machine" "$work/cleaned"
"$tool" --machine "$work/cleaned" --answer yes --no-backup -q </dev/null || fail "the run that makes the card-less registry"
"$tool" --machine "$work/without" --import "$work/cleaned/registry.reg" -q || fail "import without the card"
mkdir -p "$work/winme/WINDOWS"
cp "$source/tests/data/real-registry/winme/"*.DAT "$work/winme/WINDOWS/"

# cabinet NAME MACHINE TIME: a Registry Checker cabinet in $work/cabs of MACHINE's registry files, dated TIME.
mkdir -p "$work/cabs"
cabinet() {
    local stage=$work/stage.$1
    mkdir -p "$stage"
    cp "$2/WINDOWS/SYSTEM.DAT" "$2/WINDOWS/USER.DAT" "$stage/"
    printf '[boot]\r\n' >"$stage/SYSTEM.INI"
    printf '[windows]\r\n' >"$stage/WIN.INI"
    (cd "$stage" && chmod u+w ./*.DAT && touch -d "$3" ./* && gcab -c -z "$work/cabs/$1" SYSTEM.DAT USER.DAT SYSTEM.INI WIN.INI) ||
        fail "gcab could not make $1"
}
cabinet RB000.CAB "$work/winme" "2026-11-01 06:00:00"
cabinet RB001.CAB "$work/with" "2026-11-02 06:10:02"
cabinet RB002.CAB "$work/without" "2026-11-03 06:20:04"
cabinet RB003.CAB "$work/with" "2026-11-04 06:30:06"
cabinet RB004.CAB "$work/without" "2026-11-05 06:40:08"
cp "$work/with/WINDOWS/SYSTEM.DAT" "$work/cabs/SYSTEM.DA0"
touch -d "2026-10-31 21:00:00" "$work/cabs/SYSTEM.DA0"

# What --check finds of the card in a machine whose registry is the backup's: the items of each backup.
"$tool" --machine "$work/with" --check >"$work/with.check" 2>/dev/null
items=$(grep -c . "$work/with.check")
system_items=$(grep -vc '^mixer-settings ' "$work/with.check")
[ "$items" -gt "$system_items" ] && [ "$system_items" -gt 1 ] || fail "the registry with the card lists $items items"

expected_list() {
    printf '%s\n' "registry-backup C:\\WINDOWS\\SYSBCKUP\\RB001.CAB [2026-11-02 06:10:02: the card's device key and $((items - 1)) more items]" \
        "registry-backup C:\\WINDOWS\\SYSBCKUP\\RB003.CAB [2026-11-04 06:30:06: the card's device key and $((items - 1)) more items]" \
        "registry-backup C:\\WINDOWS\\SYSTEM.DA0 [$1: the card's device key and $((system_items - 1)) more items]"
}
expected_records() {
    local date=$1 name
    for name in RB000 RB001 RB002 RB003 RB004; do
        case $name in
        RB001 | RB003) echo "C:\\WINDOWS\\SYSBCKUP\\$name.CAB true $items" ;;
        *) echo "C:\\WINDOWS\\SYSBCKUP\\$name.CAB false 0" ;;
        esac
    done
    echo "C:\\WINDOWS\\SYSTEM.DA0 true $system_items $date"
}
# records JOURNAL: the registry-backup records, one a line: where, deviceKey, left, and a .DA0's date.
records() {
    /usr/bin/python3 - "$1" <<'EOF'
import json, sys
for line in open(sys.argv[1]):
    record = json.loads(line)
    if record["op"] == "registry-backup":
        fields = [record["where"], str(record.get("deviceKey")).lower(), str(record.get("left"))]
        if record["where"].endswith(".DA0"):
            fields.append(record.get("date", "none"))
        print(" ".join(fields))
EOF
}
dates() { /usr/bin/python3 -c 'import json, sys; [print(json.loads(l).get("date")) for l in open(sys.argv[1]) if "registry-backup" in l]' "$1"; }
digests() { (cd "$1" && sha256sum ./* | sort); }

# check_lists LABEL LISTED JOURNALED TARGET...: --check on the target lists the three backups and journals
# all six, the .DA0 dated LISTED on stdout and JOURNALED in the journal.
check_lists() {
    local label=$1 da0date=$2 da0record=$3 status
    shift 3
    "$tool" "$@" --check --journal "$work/check.jsonl" >"$work/check.out" 2>"$work/check.err"
    status=$?
    [ $status = 1 ] || fail "$label: --check exits $status with the card on the machine, not 1: $(cat "$work/check.err")"
    grep '^registry-backup ' "$work/check.out" >"$work/check.backups"
    expected_list "$da0date" | diff - "$work/check.backups" >"$work/diff" || fail "$label: the backups listed: $(cat "$work/diff")"
    records "$work/check.jsonl" >"$work/records"
    expected_records "$da0record" | diff - "$work/records" >"$work/diff" ||
        fail "$label: the journal's registry-backup records: $(cat "$work/diff")"
    [ "$(dates "$work/check.jsonl" | sed -n 2p)" = "2026-11-02T06:10:02" ] || fail "$label: RB001.CAB's date in the journal"
    # The card's files are still there: a restore would bring back nothing that is not.
    grep -q -x -F "cmpci-uninstall: 3 registry backups hold the card (RB001.CAB, RB003.CAB, SYSTEM.DA0), as the machine does now: after a removal they age out as Windows makes new ones (daily, or scanreg /backup), or delete those named" \
        "$work/check.err" || fail "$label: no summary line on the backups: $(cat "$work/check.err")"
    grep -q "without its driver files" "$work/check.err" && fail "$label: before a removal, a restore is said to leave the files out"
}

# --- 1. A machine folder with the card installed and its backups.
cp -R "$source/examples/machine-dat" "$work/m"
mkdir "$work/m/WINDOWS/SYSBCKUP"
cp -p "$work/cabs/"RB00?.CAB "$work/m/WINDOWS/SYSBCKUP/"
cp -p "$work/cabs/SYSTEM.DA0" "$work/m/WINDOWS/"
before=$(digests "$work/m/WINDOWS/SYSBCKUP"; sha256sum "$work/m/WINDOWS/SYSTEM.DA0" | cut -d' ' -f1)
check_lists "machine" "2026-10-31 21:00:00" "2026-10-31T21:00:00" --machine "$work/m"

# A run removes the card; its summary says what a restore would bring back, and --check then exits 0 while
# it still lists the backups.
"$tool" --machine "$work/m" --answer yes --no-backup </dev/null >/dev/null 2>"$work/run.err" || fail "machine: the run failed"
grep -q -F "3 registry backups still hold the card (RB001.CAB, RB003.CAB, SYSTEM.DA0): a restore (the Registry Checker's own at start-up, or scanreg /restore) would bring the card's registry keys back without its driver files" \
    "$work/run.err" || fail "machine: the run's summary does not name the backups: $(cat "$work/run.err")"
grep -q -F "without its driver files; they age out as Windows makes new ones (daily, or scanreg /backup), or delete those named" \
    "$work/run.err" || fail "machine: the run's summary does not say what to do about the backups: $(cat "$work/run.err")"
"$tool" --machine "$work/m" --check >"$work/after.out" 2>"$work/after.err" || fail "machine: --check after the run exits $?, not 0"
grep -q -F "3 registry backups still hold the card (RB001.CAB, RB003.CAB, SYSTEM.DA0): a restore" "$work/after.err" ||
    fail "machine: --check after the run: $(cat "$work/after.err")"
[ "$(grep -c '^registry-backup ' "$work/after.out")" = 3 ] || fail "machine: --check after the run: $(cat "$work/after.out")"
"$tool" --machine "$work/m" --check -q >"$work/quiet.out" 2>"$work/quiet.err"
[ -s "$work/quiet.err" ] && fail "machine: --check -q says: $(cat "$work/quiet.err")"
cmp -s "$work/after.out" "$work/quiet.out" || fail "machine: --check -q lists otherwise"

# A damaged cabinet: one warning line, the check as before, the cabinet as it was.
head -c 2000 "$work/cabs/RB001.CAB" >"$work/m/WINDOWS/SYSBCKUP/RB005.CAB"
head -c 3000 /dev/urandom >"$work/m/WINDOWS/SYSBCKUP/RB006.CAB"
"$tool" --machine "$work/m" --check --journal "$work/damaged.jsonl" >"$work/damaged.out" 2>"$work/damaged.err" ||
    fail "machine: --check with damaged cabinets exits $?, not 0"
[ "$(grep -c 'warning: the registry backup C:\\WINDOWS\\SYSBCKUP\\RB00[56].CAB is not checked: ' "$work/damaged.err")" = 2 ] ||
    fail "machine: the damaged cabinets are not said once each: $(cat "$work/damaged.err")"
grep -q 'RB006.CAB is not checked: not a cabinet file$' "$work/damaged.err" || fail "machine: RB006.CAB: $(cat "$work/damaged.err")"
[ "$(grep -c '"damaged":' "$work/damaged.jsonl")" = 2 ] || fail "machine: no damaged records in the journal"
cmp -s "$work/after.out" "$work/damaged.out" || fail "machine: the damaged cabinets change the list"
rm "$work/m/WINDOWS/SYSBCKUP/RB005.CAB" "$work/m/WINDOWS/SYSBCKUP/RB006.CAB"
[ "$(digests "$work/m/WINDOWS/SYSBCKUP"; sha256sum "$work/m/WINDOWS/SYSTEM.DA0" | cut -d' ' -f1)" = "$before" ] ||
    fail "machine: a cabinet or SYSTEM.DA0 changed"

# A hundred cabinets of compressed zeros: only the newest ten are read (each a warning: no registry in it),
# newest by their dates, not their numbers, and one line says how many were left unread.
mkdir -p "$work/zeros" "$work/many/WINDOWS/SYSBCKUP"
head -c 8M /dev/zero >"$work/zeros/SYSTEM.DAT"
cp "$work/zeros/SYSTEM.DAT" "$work/zeros/USER.DAT"
(cd "$work/zeros" && gcab -c -z "$work/zeros.cab" SYSTEM.DAT USER.DAT) || fail "gcab could not make the cabinet of zeros"
cp "$source/examples/machine-dat/WINDOWS/"*.DAT "$work/many/WINDOWS/"
for n in $(seq 0 99); do
    name=$(printf 'RB%03d.CAB' "$n")
    cp "$work/zeros.cab" "$work/many/WINDOWS/SYSBCKUP/$name"
    touch -d "2026-11-01 00:00:00 UTC + $((100 - n)) hours" "$work/many/WINDOWS/SYSBCKUP/$name"
done
started=$(date +%s%N)
"$tool" --machine "$work/many" --check >/dev/null 2>"$work/many.err"
echo "--check over 100 cabinets: $((($(date +%s%N) - started) / 1000000)) ms"
[ "$(grep -c 'warning: the registry backup .* is not checked: ' "$work/many.err")" = 10 ] ||
    fail "many cabinets: not ten read: $(grep -c 'is not checked' "$work/many.err") warnings"
[ "$(grep -o 'RB0[0-9][0-9].CAB is not checked' "$work/many.err" | tr '\n' ' ')" = "$(printf 'RB%03d.CAB is not checked ' $(seq 0 9))" ] ||
    fail "many cabinets: not the newest ten read: $(grep -o 'RB0[0-9][0-9].CAB is not' "$work/many.err" | tr '\n' ' ')"
[ "$(grep -c '90 older registry backups in C:\\WINDOWS\\SYSBCKUP left unread' "$work/many.err")" = 1 ] ||
    fail "many cabinets: no line says 90 were left unread: $(tail -n 3 "$work/many.err")"

# --- 2. The same inside a disk image: the cabinets and SYSTEM.DA0 copied in with mtools.
bash "$source/examples/make_disk_image.sh" "$work/disk.img" fat16 || fail "make_disk_image.sh failed"
at=$(partition_at "$work/disk.img")
mmd -i "$work/disk.img@@$at" ::/WINDOWS/SYSBCKUP || fail "mmd SYSBCKUP"
for cab in RB000 RB001 RB002 RB003 RB004; do
    mcopy -i "$work/disk.img@@$at" "$work/cabs/$cab.CAB" "::/WINDOWS/SYSBCKUP/$cab.CAB" || fail "mcopy $cab.CAB"
done
# mcopy -m gives the entry the file's time of last change; the .DA0 is dated by its FAT entry.
mcopy -m -i "$work/disk.img@@$at" "$work/cabs/SYSTEM.DA0" ::/WINDOWS/SYSTEM.DA0 || fail "mcopy SYSTEM.DA0"
check_lists "image" "2026-10-31 21:00:00" "2026-10-31T21:00:00" --image "$work/disk.img"
"$tool" --image "$work/disk.img" --answer yes --no-backup </dev/null >/dev/null 2>"$work/run.err" || fail "image: the run failed"
grep -q -F "3 registry backups still hold the card (RB001.CAB, RB003.CAB, SYSTEM.DA0)" "$work/run.err" ||
    fail "image: the run's summary does not name the backups: $(cat "$work/run.err")"
mkdir "$work/out"
for cab in RB000 RB001 RB002 RB003 RB004; do
    mcopy -n -i "$work/disk.img@@$at" "::/WINDOWS/SYSBCKUP/$cab.CAB" "$work/out/" && cmp -s "$work/out/$cab.CAB" "$work/cabs/$cab.CAB" ||
        fail "image: $cab.CAB is not as it was"
done
mcopy -n -i "$work/disk.img@@$at" ::/WINDOWS/SYSTEM.DA0 "$work/out/" && cmp -s "$work/out/SYSTEM.DA0" "$work/cabs/SYSTEM.DA0" ||
    fail "image: SYSTEM.DA0 is not as it was"
dd if="$work/disk.img" of="$work/volume.bin" bs=1M iflag=skip_bytes skip="$at" status=none
fsck.fat -n "$work/volume.bin" >"$work/fsck.out" 2>&1 || fail "image: fsck.fat: $(cat "$work/fsck.out")"

finish "registry backups"
