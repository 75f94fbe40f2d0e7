#!/usr/bin/env bash
# A real disk cleaned in place: the example machine's disk image attached as loop devices, once as the whole
# disk (an MBR with its FAT partition) and once as the partition alone (losetup -o/--sizelimit, as partition
# scanning may not be there). On each: --check, a run, --check, a restore, each seen from outside (fsck.fat,
# mtools); a device another program holds with O_EXCL, a mounted one and a read-only one refused with nothing
# written; a run killed at each of its writes and flushes of the device put back or finished by the next start,
# and so is a playback killed at each of its writes; a read-back that fails reported, its journal kept and
# played back; the rollback journal in the state folder, never in /dev. The loop devices are detached whatever
# happens. Without loop devices (no /dev/loop-control, not root) the script is skipped (exit 77).
# Usage: image_device_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$(realpath "$1")" "$2" mcopy mkfs.fat fsck.fat sfdisk strace jq python3
if [ ! -e /dev/loop-control ] || [ "$(id -u)" != 0 ] || ! command -v losetup >/dev/null || ! losetup -f >/dev/null 2>&1; then
    echo "image device: skipped: no loop devices here (losetup, /dev/loop-control and root are needed)"
    rm -f "${CMPCI_JOURNAL_FAULTS:-}"
    exit 77
fi
loops=() holder=
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
    local loop
    for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
state="$XDG_STATE_HOME/cmpci-uninstall"
real=${CMPCI_TOOL:-$tool}

pristine_disk
cp "$work/pristine.img" "$work/disk.img"
length=$(sfdisk -d "$work/pristine.img" | awk -F'size= *' '/size=/ { split($2, f, ","); print f[1] * 512; exit }')
mkdir -p "$work/cwd" "$work/mnt"

# attach ARGS...: a loop device on the disk image (losetup's options first), named in $loop.
attach() {
    loop=$(losetup -f --show "$@" "$work/disk.img") || { fail "losetup $*: cannot attach"; return 1; }
    loops+=("$loop")
}
detach() { losetup -d "$1"; }

# on DEVICE ARGS...: the program on the device from $work/cwd; output in $work/out, $work/err, exit code $rc.
on() {
    local device=$1
    shift
    (cd "$work/cwd" && timeout 120 "$tool" --image "$device" "$@" </dev/null >"$work/out" 2>"$work/err")
    rc=$?
}

# volume DEVICE OFFSET: the FAT volume at byte OFFSET of the device, as $work/volume.bin.
volume() { dd if="$1" of="$work/volume.bin" bs=512 iflag=skip_bytes skip="$2" count=$((length / 512)) status=none; }

# restored_volume LABEL: $work/volume.bin holds the pristine registry files and the card's files again.
restored_volume() {
    fsck_clean "$1"
    dd if="$work/pristine.img" of="$work/pristine.bin" bs=512 iflag=skip_bytes skip="$at" count=$((length / 512)) status=none
    local file
    for file in SYSTEM.DAT USER.DAT SYSTEM/CMAUDIO.VXD; do
        mcopy -n -i "$work/volume.bin" "::/WINDOWS/$file" "$work/now.out" 2>/dev/null &&
            mcopy -n -i "$work/pristine.bin" "::/WINDOWS/$file" "$work/then.out" 2>/dev/null &&
            cmp -s "$work/now.out" "$work/then.out" || fail "$1: WINDOWS/$file is not back as it was"
    done
}

no_journal() {
    ls "$state"/*.cmpci-rollback >/dev/null 2>&1 && fail "$1: a rollback journal is left in the state folder"
    [ -z "$(find /dev -name '*cmpci*' 2>/dev/null)" ] || fail "$1: something of the run is in /dev"
}

# round LABEL DEVICE OFFSET: --check, a run, --check, a restore on the device; OFFSET is the volume's.
round() {
    local label=$1 device=$2 offset=$3
    on "$device" --check
    [ $rc = 1 ] || fail "$label: --check before the run exits $rc, expected 1: $(tail -n 1 "$work/err")"
    grep -qi cmaudio.vxd "$work/out" || fail "$label: --check does not list the card's files"
    rm -rf "$work/cwd"/cmpci-backup-*
    on "$device" --answer yes --journal "$work/journal"
    [ $rc = 0 ] || fail "$label: the run exits $rc: $(tail -n 1 "$work/err")"
    grep -q "backup of what the run removes goes into the current folder, $work/cwd" "$work/err" ||
        fail "$label: the run does not say that the backup goes into the current folder"
    grep -q "^cmpci-uninstall: read back from $device: the [1-9][0-9]* changed sectors and [1-9][0-9]* files are as written" \
        "$work/err" || fail "$label: the summary does not say the change was read back"
    [ "$(jq -s -c 'map(select(.op == "verified")) | .[0] | [.matched, .registryFiles > 0, .sectors > 0]' "$work/journal")" = \
        '[true,true,true]' ] || fail "$label: the journal has no matching verified record: $(grep verified "$work/journal")"
    ls -d "$work/cwd"/cmpci-backup-* >/dev/null 2>&1 || fail "$label: no backup in the current folder"
    no_journal "$label: after the run"
    volume "$device" "$offset"
    cleaned_volume "$label: after the run"
    on "$device" --check
    [ $rc = 0 ] || fail "$label: --check after the run exits $rc, expected 0: $(tail -n 1 "$work/err")"
    on "$device" --restore "$(ls -d "$work/cwd"/cmpci-backup-* | head -n 1)"
    [ $rc = 0 ] || fail "$label: the restore exits $rc: $(tail -n 1 "$work/err")"
    volume "$device" "$offset"
    restored_volume "$label: after the restore"
    no_journal "$label: after the restore"
    on "$device" --check
    [ $rc = 1 ] || fail "$label: --check after the restore exits $rc, expected 1: $(tail -n 1 "$work/err")"
}

# refused LABEL DEVICE TEXT ARGS...: the program on DEVICE exits 2 saying TEXT, and the device is as it was.
refused() {
    local label=$1 device=$2 text=$3 before
    shift 3
    before=$(sha256sum <"$device")
    on "$device" "$@"
    [ $rc = 2 ] || fail "$label: exit $rc, expected 2"
    grep -qF -- "$text" "$work/err" || fail "$label: the refusal does not say \"$text\": $(tail -n 1 "$work/err")"
    [ "$(sha256sum <"$device")" = "$before" ] || fail "$label: the device changed"
}

# The whole disk.
attach || finish "image device"
disk=$loop
round "whole disk" "$disk" "$at"

# Run from /dev, the backup's default place would be there: refused.
before=$(sha256sum <"$disk")
(cd /dev && "$tool" --image "$disk" --answer yes </dev/null >/dev/null 2>"$work/err")
rc=$?
[ $rc = 2 ] && grep -q "nothing is written into /dev" "$work/err" ||
    fail "a run from /dev: exit $rc: $(tail -n 1 "$work/err")"
[ "$(sha256sum <"$disk")" = "$before" ] || fail "a run from /dev: the device changed"

# Another program holds the device exclusively: refused, naming that.
python3 -c 'import os, sys, time
os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
print("held", flush=True)
time.sleep(120)' "$disk" >"$work/held" &
holder=$!
for _ in $(seq 50); do [ -s "$work/held" ] && break; sleep 0.1; done
refused "a held device" "$disk" "$disk is in use: another program holds it" --check
refused "a held device" "$disk" "$disk is in use: another program holds it" --answer yes --no-backup
kill "$holder"
wait "$holder" 2>/dev/null
holder=

# A device whose lock switch is set: refused before the question, --check still reads it.
blockdev --setro "$disk"
refused "a read-only device" "$disk" "$disk is read-only" --answer yes --no-backup
on "$disk" --check
[ $rc = 1 ] || fail "a read-only device: --check exits $rc, expected 1: $(tail -n 1 "$work/err")"
blockdev --setrw "$disk"
detach "$disk"
cp "$work/pristine.img" "$work/disk.img"

# The partition alone.
attach -o "$at" --sizelimit "$length" || finish "image device"
part=$loop
round "partition" "$part" 0

# A mounted device: refused, naming where it is mounted. The kernel refuses the claim whatever the device
# holds, so the partition is mounted where the kernel has vfat, else a small ext2 volume is.
if mount -t vfat -o ro "$part" "$work/mnt" 2>/dev/null; then
    mounted=$part
elif command -v mkfs.ext2 >/dev/null && truncate -s 4M "$work/ext.img" && mkfs.ext2 -q "$work/ext.img" &&
    mounted=$(losetup -f --show "$work/ext.img") && loops+=("$mounted") &&
    mount -t ext2 "$mounted" "$work/mnt" 2>"$work/mount.err"; then
    :
else
    mounted=
    echo "image device: the mounted case not tried: $(head -n 1 "$work/mount.err" 2>/dev/null)"
fi
if [ -n "$mounted" ]; then
    refused "a mounted device" "$mounted" "$mounted is in use: it is mounted at $work/mnt: unmount it first" --check
    umount "$work/mnt"
fi
detach "$part"

# Killed at each write and flush of the device (whole disk), then at each of the journal's: after the next
# start the device is as it was or as a whole run leaves it, and no journal is left.
cp "$work/pristine.img" "$work/disk.img"
attach || finish "image device"
disk=$loop
old=$(sha256sum <"$work/pristine.img")
kills=0 olds=0 news=0
# killed CALL N [PATH]: a run killed at its Nth CALL on the device (or on PATH); true when it was.
killed() {
    dd if="$work/pristine.img" of="$disk" bs=1M conv=fsync status=none
    { strace -qq -o /dev/null -P "${3:-$disk}" -e trace="$1" -e inject="$1":signal=KILL:when="$2" \
        "$real" --image "$disk" --answer yes --no-backup </dev/null >/dev/null 2>&1; } 2>/dev/null
    [ $? -ge 128 ]
}
settled() {
    on "$disk" --check
    [ $rc = 0 ] || [ $rc = 1 ] || fail "$1: --check after the kill exits $rc: $(tail -n 1 "$work/err")"
    no_journal "$1"
    if [ "$(sha256sum <"$disk")" = "$old" ]; then
        olds=$((olds + 1))
    else
        local before=$failures
        volume "$disk" "$at"
        cleaned_volume "$1 (not as it was)"
        [ $failures = $before ] && news=$((news + 1))
    fi
}
killed pwrite64 1 || fail "a run was not killed at its first write of the device"
journal=$(ls "$state"/*.cmpci-rollback 2>/dev/null | head -n 1)
[ -n "$journal" ] || fail "the killed run left no rollback journal in the state folder"
settled "the first kill"
for call in pwrite64 fsync; do
    for ((n = 1; n < 100; n++)); do
        killed $call $n || break
        settled "$call $n"
        kills=$((kills + 1))
    done
    echo "image device: killed at each of $((n - 1)) calls of $call on the device"
done
# The journal's own writes, flush and removal, and the flushes of the state folder that hold its name.
[ -n "$journal" ] && for target in "$journal" "$state"; do
    for call in write fsync unlinkat; do
        for ((n = 1; n < 100; n++)); do
            killed $call $n "$target" || break
            settled "${target##*/} $call $n"
            kills=$((kills + 1))
        done
        echo "image device: killed at each of $((n - 1)) calls of $call on ${target##*/}"
    done
done
# A playback killed at each of its writes of the device: the start after it still ends old or new.
for ((n = 1; n < 100; n++)); do
    killed pwrite64 2 || { fail "playback: the run was not killed"; break; }
    { strace -qq -o /dev/null -P "$disk" -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when=$n \
        "$real" --image "$disk" --check </dev/null >/dev/null 2>&1; } 2>/dev/null
    [ $? -ge 128 ] || break
    settled "playback pwrite64 $n"
    kills=$((kills + 1))
done
echo "image device: a playback killed at each of its $((n - 1)) writes of the device"
[ $n -gt 1 ] || fail "no playback was killed"

# A read-back that fails (the device's second opening, the read-back's, refused with EIO): the run fails
# saying so, the journal's verified record says it did not match, and the next start puts the device back.
# LeakSanitizer cannot work under ptrace and would end a sanitizer build's run with its own exit code.
dd if="$work/pristine.img" of="$disk" bs=1M conv=fsync status=none
(cd "$work/cwd" && ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P "$disk" -e trace=openat \
    -e inject=openat:error=EIO:when=2 "$real" --image "$disk" --answer yes --no-backup --journal "$work/journal" </dev/null >/dev/null 2>"$work/err")
rc=$?
[ $rc = 2 ] || fail "a failed read-back: exit $rc, expected 2"
grep -q "cannot open $disk again to read back what was written: .* is kept" "$work/err" ||
    fail "a failed read-back is not said: $(tail -n 1 "$work/err")"
[ "$(jq -s -c 'map(select(.op == "verified")) | .[0].matched' "$work/journal")" = false ] ||
    fail "a failed read-back: the journal's verified record does not say so"
ls "$state"/*.cmpci-rollback >/dev/null 2>&1 || fail "a failed read-back: the rollback journal is not kept"
on "$disk" --check
grep -q "played back the rollback journal" "$work/err" || fail "a failed read-back: the next start does not play it back"
[ "$(sha256sum <"$disk")" = "$old" ] || fail "a failed read-back: the next start does not put the device back"
no_journal "a failed read-back"
echo "image device: killed $kills times: the next start left $olds devices as they were and $news as a whole run leaves them"
[ $olds -gt 0 ] && [ $news -gt 0 ] || fail "the kills did not meet both outcomes"
detach "$disk"

finish "image device"
