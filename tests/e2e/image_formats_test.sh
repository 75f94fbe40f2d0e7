#!/usr/bin/env bash
# Whole runs on the example machine's disk image in the formats emulators keep disks in, each made with
# qemu-img from a raw image: qcow2, VDI, VMDK, dynamic VHD, QED, Parallels, qcow, and a qcow2 image over a VDI
# backing file. After
# each run the image, read back by qemu-img, holds a volume fsck.fat finds clean with the reference run's
# registry files; its format's identity (VDI UUIDs, VMDK CID, VHD UUID, backing file) is the same, and a
# backing file is unchanged. An image a QEMU program holds open is refused and left as it was; an image given
# as a symbolic link is changed at its target and the link stays; messages name the image and the path in it.
# Usage: image_formats_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat fsck.fat sfdisk qemu-img qemu-io
reference "$tool" "$source/examples/machine-dat"
bash "$source/examples/make_disk_image.sh" "$work/disk.img" fat16 || fail "make_disk_image.sh failed"

# identity FILE: the fields that name the disk to its emulator, as one line.
identity() {
    case $1 in
    *.vdi) od -An -tx1 -j $((0x188)) -N 32 "$1" | tr -d ' \n' ;;  # image and modification UUID
    *.vhd) od -An -tx1 -j 68 -N 16 "$1" | tr -d ' \n'; tail -c 512 "$1" | od -An -tx1 -j 68 -N 16 | tr -d ' \n' ;;
    *) qemu-img info --output=json "$1" | grep -E '"(cid|parent-cid|backing-filename|full-backing-filename)"' | tr -d ' \n' ;;
    esac
}

# run_on LABEL IMAGE FORMAT: a run on IMAGE, then the checks from outside.
run_on() {
    local label=$1 image=$2 format=$3 before
    before=$(identity "$image")
    "$tool" --image "$image" --answer yes --no-backup </dev/null >/dev/null 2>"$work/run.err" ||
        fail "$label: the run failed: $(tail -n 1 "$work/run.err")"
    grep -q -F "($format)" "$work/run.err" || fail "$label: the run does not name the format $format: $(head -n 1 "$work/run.err")"
    qemu-img check "$image" >/dev/null 2>&1 || [ $? = 63 ] || fail "$label: qemu-img check finds the image damaged"
    qemu-img convert -O raw "$image" "$work/readback.img" || fail "$label: qemu-img cannot read the image back"
    cleaned "$label" "$work/readback.img"
    [ "$(identity "$image")" = "$before" ] || fail "$label: its identity changed: $before, now $(identity "$image")"
    [ -e "$image.cmpci-rollback" ] && fail "$label: the rollback journal is still there"
    rm -f "$work/readback.img"
}

for format in qcow2 vdi vmdk vpc qed parallels qcow; do
    extension=$format
    [ $format = vpc ] && extension=vhd
    qemu-img convert -O $format "$work/disk.img" "$work/disk.$extension" || fail "$format: qemu-img convert failed"
    run_on "$format" "$work/disk.$extension" $format
done

# --- A differencing image: the change goes into the top layer; the backing file stays as it was.
qemu-img convert -O vdi "$work/disk.img" "$work/base.vdi"
qemu-img create -q -f qcow2 -b base.vdi -F vdi "$work/top.qcow2" || fail "cannot make the qcow2 over the VDI"
base=$(digest "$work/base.vdi")
run_on "qcow2 over vdi" "$work/top.qcow2" qcow2
[ "$(digest "$work/base.vdi")" = "$base" ] || fail "qcow2 over vdi: the backing file changed"

# --- A QEMU program holding the image: refused at once, the image as it was.
qemu-img convert -O qcow2 "$work/disk.img" "$work/held.qcow2"
qemu-io -f qcow2 -c 'sleep 600000' "$work/held.qcow2" >/dev/null 2>&1 &
holder=$!
# Held once qemu-img may no longer read it beside qemu-io's write lock. qemu-io starts slowly on a busy
# machine (suites side by side): wait for the lock up to a minute rather than racing it.
held=no
for _ in $(seq 600); do
    qemu-img info "$work/held.qcow2" >/dev/null 2>&1 || { held=yes; break; }
    sleep 0.1
done
[ $held = yes ] || fail "held by qemu-io: qemu-io never took its lock"
before=$(digest "$work/held.qcow2")
"$tool" --image "$work/held.qcow2" --answer yes --no-backup </dev/null >/dev/null 2>"$work/held.err"
rc=$?
# A writer keeps a check off too: what it reads could change under it.
"$tool" --image "$work/held.qcow2" --check </dev/null >/dev/null 2>"$work/held-check.err"
check_rc=$?
kill "$holder"
wait "$holder" 2>/dev/null
[ $rc = 2 ] && grep -q -F "held.qcow2 is in use by QEMU" "$work/held.err" ||
    fail "held by qemu-io: exit $rc, $(tail -n 1 "$work/held.err")"
[ $check_rc = 2 ] && grep -q -F "held.qcow2 is in use by QEMU" "$work/held-check.err" ||
    fail "held by qemu-io: --check exits $check_rc, $(tail -n 1 "$work/held-check.err")"
[ "$(digest "$work/held.qcow2")" = "$before" ] || fail "held by qemu-io: the image changed"

# --- qemu-io -r reading the image (a shared lock): --check reads it beside it; a run is refused.
for held in held.qcow2 disk.img; do
    qemu-io -r -c 'sleep 600000' "$work/$held" >/dev/null 2>&1 &
    holder=$!
    inode=$(stat -c %i "$work/$held")
    for _ in $(seq 600); do
        grep -q -E " OFDLCK .*:$inode 100 100\$" /proc/locks && break
        sleep 0.1
    done
    grep -q -E " OFDLCK .*:$inode 100 100\$" /proc/locks || fail "read by qemu-io -r: qemu-io never took its lock"
    before=$(digest "$work/$held")
    "$tool" --image "$work/$held" --check </dev/null >"$work/read.out" 2>"$work/read.err"
    check_rc=$?
    "$tool" --image "$work/$held" --answer yes --no-backup </dev/null >/dev/null 2>"$work/read-run.err"
    rc=$?
    kill "$holder"
    wait "$holder" 2>/dev/null
    [ $check_rc = 1 ] && grep -q '^device-key ' "$work/read.out" ||
        fail "read by qemu-io -r: $held: --check exits $check_rc: $(tail -n 1 "$work/read.err")"
    [ $rc = 2 ] && grep -q -F "$held is in use by QEMU" "$work/read-run.err" ||
        fail "read by qemu-io -r: $held: the run exits $rc, $(tail -n 1 "$work/read-run.err")"
    [ "$(digest "$work/$held")" = "$before" ] || fail "read by qemu-io -r: $held changed"
done

# --- A symbolic link given as the image: the file it names changes in place (same inode), the link stays.
cp "$work/disk.img" "$work/target.img"
ln -s target.img "$work/link.img"
inode=$(stat -c %i "$work/target.img")
"$tool" --image "$work/link.img" --answer yes --no-backup </dev/null >/dev/null 2>"$work/link.err" ||
    fail "link: the run failed: $(tail -n 1 "$work/link.err")"
[ -L "$work/link.img" ] && [ "$(readlink "$work/link.img")" = target.img ] || fail "link: the link was replaced"
[ "$(stat -c %i "$work/target.img")" = "$inode" ] || fail "link: the image has a new inode"
cleaned link "$work/target.img"

# --- A damaged registry file in the image: the message names the image and the file in it, no temporary path.
cp "$work/disk.img" "$work/damaged.img"
at=$(partition_at "$work/damaged.img")
head -c 4096 /dev/urandom >"$work/garbage"
mattrib -i "$work/damaged.img@@$at" -r ::/WINDOWS/USER.DAT && mcopy -o -i "$work/damaged.img@@$at" "$work/garbage" ::/WINDOWS/USER.DAT
"$tool" --image "$work/damaged.img" --answer yes --no-backup </dev/null >/dev/null 2>"$work/damaged.err"
grep -q -F "$work/damaged.img:WINDOWS/USER.DAT" "$work/damaged.err" && ! grep -q cmpci-image "$work/damaged.err" ||
    fail "damaged: the message does not name the image and the file: $(cat "$work/damaged.err")"

finish "image formats"
