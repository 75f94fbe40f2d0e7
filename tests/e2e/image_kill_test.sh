#!/usr/bin/env bash
# A run on a disk image killed (SIGKILL) at each of its writes, and a playback of its rollback journal killed
# at each of its own, on raw, qcow2 and VDI images in a folder whose name has a space: after the next start
# (--check) the disk the virtual machine sees is byte for byte as it was, or it is as a whole run leaves it
# (fsck.fat finds its volume clean, its registry files are the reference run's and the card's files are gone;
# the dates a run writes differ from run to run), no rollback journal is left, and user files named like
# scratch (change.0, volume) beside the image are as they were.
#
# The kills come from strace's fault injection: the run's own writes (into the image, its journal and the
# journal's record, their syncs, the journal's and the record's removal) are each the Nth call of its kind; qemu-io's writes into a qcow2 or VDI image
# are each killed by a qemu-io stand-in first in PATH, which runs the real one under strace and, when it is
# killed, kills the run that started it too, as a kill -9 of the whole run would.
# Usage: image_kill_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" mcopy mkfs.fat fsck.fat sfdisk qemu-img qemu-io
need_tracing
# The program itself: its writes are what is counted.
tool=${CMPCI_TOOL:-$tool}
pristine_disk
folder="$work/VirtualBox VMs"
mkdir -p "$folder" "$work/bin"
for name in change.0 change.1 volume; do printf 'the user %s\n' "$name" >"$folder/$name"; done
beside=$(cd "$folder" && sha256sum change.0 change.1 volume)

# The qemu-io stand-in: with KILL_AT=N set, the Nth call of KILL_CALL (pwrite64 or fdatasync) by any thread
# of qemu-io on the image is killed, and then the run.
real_qemu_io=$(command -v qemu-io)
cat >"$work/bin/qemu-io" <<EOF
#!/usr/bin/env bash
[ -n "\${KILL_AT:-}" ] || exec "$real_qemu_io" "\$@"
strace -f -qq -o /dev/null -P "\$KILL_IMAGE" -e trace=\$KILL_CALL -e inject=\$KILL_CALL:signal=KILL:when=\$KILL_AT \\
    "$real_qemu_io" "\$@"
status=\$?
[ \$status -lt 128 ] || { touch "\$KILL_IMAGE.killed"; kill -9 \$PPID; }
exit \$status
EOF
chmod +x "$work/bin/qemu-io"

# disk IMAGE: the disk the virtual machine sees, as $work/seen.img; its digest.
disk() {
    rm -f "$work/seen.img"
    case $1 in
    *.img) cp "$1" "$work/seen.img" ;;
    *) qemu-img convert -O raw "$1" "$work/seen.img" ;;
    esac
    digest "$work/seen.img"
}

# run_killed IMAGE CALL N [--check]: a run (or a --check) on IMAGE killed at the Nth CALL it makes on the
# image, its journal, the journal's record in the state folder or their folders; true when the kill happened.
run_killed() {
    local image=$1 call=$2 n=$3 mode=(--answer yes --no-backup)
    local state=$XDG_STATE_HOME/cmpci-uninstall
    [ "${4:-}" = --check ] && mode=(--check)
    rm -f "$image.killed"
    { strace -qq -o /dev/null -P "$image" -P "$image.cmpci-rollback" -P "$(dirname "$image")" \
        -P "$state/rollback-$(stat -c %d-%i "$image")" -P "$state" -e trace="$call" \
        -e inject="$call":signal=KILL:when="$n" "$tool" --image "$image" "${mode[@]}" </dev/null >/dev/null 2>&1; } 2>/dev/null
    [ $? -ge 128 ]
}

# qemu_killed IMAGE CALL N [--check]: the same, killed at qemu-io's Nth CALL on the image.
qemu_killed() {
    local image=$1 mode=(--answer yes --no-backup)
    [ "${4:-}" = --check ] && mode=(--check)
    rm -f "$image.killed"
    { PATH="$work/bin:$PATH" KILL_IMAGE=$image KILL_CALL=$2 KILL_AT=$3 "$tool" --image "$image" "${mode[@]}" \
        </dev/null >/dev/null 2>&1; } 2>/dev/null
    [ -e "$image.killed" ]
}

# old_or_new LABEL IMAGE: after the next start, the disk is the pristine one or a whole run's.
old_or_new() {
    "$tool" --image "$2" --check >/dev/null 2>"$work/check.err"
    local rc=$? seen
    [ $rc = 0 ] || [ $rc = 1 ] || fail "$1: --check after the kill exits $rc: $(tail -n 1 "$work/check.err")"
    [ -e "$2.cmpci-rollback" ] && fail "$1: the rollback journal is still there"
    [ -z "$(ls -A "$XDG_STATE_HOME/cmpci-uninstall" 2>/dev/null)" ] || fail "$1: the journal's record is still there"
    seen=$(disk "$2")
    if [ "$seen" = "$old" ]; then
        olds=$((olds + 1))
    else
        local before=$failures
        cleaned "$1 (not as it was)" "$work/seen.img"
        [ $failures = $before ] && news=$((news + 1))
    fi
    [ "$(cd "$folder" && sha256sum change.0 change.1 volume)" = "$beside" ] || fail "$1: a file beside the image changed"
}

# sweep LABEL IMAGE KILLER CALL: kills at the 1st, 2nd, ... CALL until a run is not killed.
sweep() {
    local label=$1 image=$2 killer=$3 call=$4 n
    for ((n = 1; n < 200; n++)); do
        cp "$pristine_copy" "$image"
        $killer "$image" "$call" $n || break
        old_or_new "$label: $call $n" "$image"
    done
    echo "$label: killed at each of $((n - 1)) calls of $call"
    kills=$((kills + n - 1))
}

# playback_sweep LABEL IMAGE KILLER CALL AT: a run killed at its ATth CALL, once the image took some of its
# writes, then its playback killed at each of its own CALLs, then the next start.
playback_sweep() {
    local label=$1 image=$2 killer=$3 call=$4 at=$5 n
    for ((n = 1; n < 200; n++)); do
        cp "$pristine_copy" "$image"
        $killer "$image" "$call" "$at" || { fail "$label: the run was not killed"; return; }
        [ -e "$image.cmpci-rollback" ] || { fail "$label: the killed run left no journal"; return; }
        [ "$(disk "$image")" != "$old" ] || { fail "$label: the killed run had not changed the image"; return; }
        $killer "$image" "$call" $n --check || break
        old_or_new "$label: playback $call $n" "$image"
    done
    echo "$label: playback killed at each of $((n - 1)) calls of $call"
    [ $n -gt 1 ] || fail "$label: the playback made no $call to kill"
    kills=$((kills + n - 1))
}

kills=0 olds=0 news=0
old=$(digest "$work/pristine.img")
for format in img qcow2 vdi; do
    image="$folder/disk.$format"
    pristine_copy="$work/copy.$format"
    if [ $format = img ]; then cp "$work/pristine.img" "$pristine_copy"; else qemu-img convert -O $format "$work/pristine.img" "$pristine_copy"; fi
    # The run's own writes: the journal's, its sync and removal, the image's (raw) and its sync.
    for call in write fsync unlinkat; do sweep "$format" "$image" run_killed $call; done
    if [ $format = img ]; then
        sweep "$format" "$image" run_killed pwrite64
        # The journal's seal is its 1st pwrite64, the image's first write its 2nd.
        playback_sweep "$format" "$image" run_killed pwrite64 3
    else
        sweep "$format" "$image" qemu_killed pwrite64
        sweep "$format" "$image" qemu_killed fdatasync
        playback_sweep "$format" "$image" qemu_killed pwrite64 2
    fi
done
echo "killed $kills times: the next start left $olds disks as they were and $news as a whole run leaves them"
[ $olds -gt 0 ] && [ $news -gt 0 ] || fail "the kills did not meet both outcomes"

finish "image kill"
