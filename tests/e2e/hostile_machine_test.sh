#!/usr/bin/env bash
# Machines that try to lead the offline program astray or make its save fail: nothing outside the card's
# keys and files is removed, nothing is lost, and the error is one clear line with exit code 2.
# Usage: hostile_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
# check LABEL CONDITION: fails LABEL unless the shell text CONDITION holds.
check() { eval "$2" || fail "$1"; }

# The machine is $work/m; what a run printed is in m.out and m.err, its exit code in m.rc.
fresh() { fresh_copy m; cp "$work/m/registry.reg" "$work/original.reg"; }
yes_run() { attempt m --answer yes "$@"; }
bare() { attempt m "$@"; }
untouched() { cmp -s "$work/original.reg" "$work/m/registry.reg" && [ -f "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ]; }
one_error() { [ "$(cat "$work/m.rc")" = 2 ] && [ "$(grep -c '^cmpci-uninstall: ' "$work/m.err")" = 1 ] && grep -q "$1" "$work/m.err"; }

# A WINDOWS that is a link to a folder outside the machine.
fresh; mv "$work/m/WINDOWS" "$work/elsewhere"; ln -s "$work/elsewhere" "$work/m/WINDOWS"
yes_run
check "a linked WINDOWS is refused" 'one_error "symbolic link" && [ -f "$work/elsewhere/SYSTEM/CMAUDIO.VXD" ] && cmp -s "$work/original.reg" "$work/m/registry.reg"'
rm -rf "$work/elsewhere"

# --import into a machine whose WINDOWS is a link is refused as a run is: nothing is written through it.
mkdir -p "$work/imported" "$work/elsewhere"; ln -s "$work/elsewhere" "$work/imported/WINDOWS"
"$tool" --machine "$work/imported" --import "$machine/registry.reg" >"$work/import.out" 2>"$work/import.err"
rc=$?
check "--import refuses a linked WINDOWS" '[ $rc = 2 ] && grep -q "symbolic link" "$work/import.err" && [ -z "$(ls "$work/elsewhere")" ]'
rm -rf "$work/elsewhere" "$work/imported"

# Links inside WINDOWS to files and folders outside: never followed, the run goes on.
fresh; echo keep >"$work/outside.dll"; mkdir -p "$work/outdir"; echo keep >"$work/outdir/cmpci95.drv"
rm "$work/m/WINDOWS/SYSTEM/A3D.DLL"; ln -s "$work/outside.dll" "$work/m/WINDOWS/SYSTEM/A3D.DLL"
mv "$work/m/WINDOWS/INF/OTHER" "$work/m/WINDOWS/INF/OTHER.real"; ln -s "$work/outdir" "$work/m/WINDOWS/INF/OTHER"
yes_run
check "links inside WINDOWS are not followed" '[ "$(cat "$work/m.rc")" = 0 ] && [ -f "$work/outside.dll" ] && [ -L "$work/m/WINDOWS/SYSTEM/A3D.DLL" ] && [ -f "$work/outdir/cmpci95.drv" ] && [ ! -e "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ]'

# A save that cannot happen removes nothing: a read-only machine folder, a full disk.
fresh; chmod a-w "$work/m"
if [ "$(id -u)" != 0 ]; then
    yes_run
    check "a read-only machine folder removes nothing" 'one_error "nothing was removed" && untouched'
fi
chmod u+w "$work/m"
fresh
( ulimit -f 4; yes_run --no-backup )
check "a file-size limit during the save removes nothing" 'one_error "cannot save.*nothing was removed" && untouched'
# Its journal (smaller than the limit, the registry file larger) says so: nothing counted as removed, the
# whole card left, exit status 2.
fresh
( ulimit -f 12; yes_run --no-backup --journal "$work/failed.journal" )
check "a failed save's summary counts nothing removed and the card left" 'one_error "cannot save" && untouched && tail -n 1 "$work/failed.journal" | grep -q "\"keysRemoved\":0,\"filesRemoved\":0,\"left\":[1-9][0-9]*,.*\"stage\":\"not-changed\",\"exitStatus\":2"'
check "a failed save shows no completion box" '! grep -q "Uninstall complete" "$work/failed.journal" && ! grep -q "Uninstall complete" "$work/m.err"'
( ulimit -f 4; yes_run )
check "a file-size limit during the backup removes nothing" 'one_error "cannot write the backup.*nothing was removed" && untouched'
( ulimit -f 8; yes_run --journal "$work/backup.journal" )
check "a failed backup's journal ends with a summary of nothing removed" 'tail -n 1 "$work/backup.journal" | grep -q "\"op\":\"summary\",.*\"keysRemoved\":0,\"filesRemoved\":0,.*\"exitStatus\":2" && untouched'
check "no temporary file is left behind" '[ -z "$(ls "$work/m" | grep -v -x -e registry.reg -e WINDOWS -e README.md -e .gitattributes)" ]'

# A stale temporary file of a killed run's save goes at the next run that writes, which saves all the same;
# a file of the user's whose name only starts the same stays.
fresh; echo stale >"$work/m/registry.reg.tmp-AbC123"; echo mine >"$work/m/registry.reg.tmp-mine"
yes_run --no-backup
check "a stale temporary file goes and does not stop the save" '[ "$(cat "$work/m.rc")" = 0 ] && [ ! -e "$work/m/registry.reg.tmp-AbC123" ] && [ "$(cat "$work/m/registry.reg.tmp-mine")" = mine ] && ! cmp -s "$work/original.reg" "$work/m/registry.reg"'

# A read-only registry file is refused, not replaced.
fresh; chmod a-w "$work/m/registry.reg"
yes_run
check "a read-only registry file is refused" 'one_error "read-only" && untouched'

# A journal that cannot be written: nothing is removed; a reader that goes away does not kill the run.
fresh
yes_run --journal /dev/full
check "a journal on a full disk removes nothing" 'one_error "cannot write the journal" && untouched'
fresh
# The reader is gone before the first line (a pipe whose read end is closed): every write of the journal fails.
python3 -c '
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
sys.exit(subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=w).returncode)' \
    "$tool" --machine "$work/m" --answer yes --journal - 2>"$work/m.err"
echo $? >"$work/m.rc"
check "a journal reader that goes away: exit 2, nothing removed" '[ "$(cat "$work/m.rc")" = 2 ] && grep -q "cannot write the journal" "$work/m.err" && untouched'

# The journal or an export on a file the run reads or writes: refused before anything is written, in every
# mode, by device and inode (a second name counts) or by lying inside the machine folder.
for mode in "--dry-run --answer yes" --check "--answer no" "--answer yes"; do
    fresh; bare --journal "$work/m/registry.reg" $mode
    check "a journal on registry.reg ($mode) is refused" 'one_error "reads or writes" && untouched'
done
fresh; cp "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" "$work/driver.before"; bare --journal "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" --answer yes
check "a journal on a driver file is refused" 'one_error "inside" && untouched && cmp -s "$work/driver.before" "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD"'
fresh; ln "$work/m/registry.reg" "$work/second-name.reg"; bare --journal "$work/second-name.reg" --dry-run --answer yes
check "a journal on a second name of registry.reg is refused" 'one_error "reads or writes" && untouched'
rm -f "$work/second-name.reg"
fresh; bare --export "$work/m/registry.reg"
check "an export onto registry.reg is refused" 'one_error "reads or writes\|inside" && untouched'
fresh; echo old >"$work/export.reg"; ln -s "$work/export.reg" "$work/export-link.reg"; bare --export "$work/export-link.reg"
check "an export onto a link is refused" 'one_error "not a regular file" && [ "$(cat "$work/export.reg")" = old ]'
bare --export "$work/export.reg"
check "an export replaces a regular file whole" '[ "$(cat "$work/m.rc")" = 0 ] && head -n 1 "$work/export.reg" | grep -q "^REGEDIT4" && [ -z "$(ls "$work" | grep "tmp-")" ]'
fresh; echo old >"$work/journal.json"; bare --journal "$work/journal.json" --answer yes --no-backup
check "a journal replaces a regular file whole at the end" '[ "$(cat "$work/m.rc")" = 0 ] && grep -q "delete-key" "$work/journal.json" && ! grep -q "^old" "$work/journal.json" && [ -z "$(ls "$work" | grep "tmp-")" ]'

# --restore on a hostile machine or backup: refused before anything is written, without hanging; the
# machine stays as the run left it.
cleaned() {
    fresh; yes_run --backup "$work/b"
    cp "$work/m/registry.reg" "$work/cleaned.reg"; rm -rf "$work/outside"
}
restore() { bare --restore "$work/b"; }
as_cleaned() { cmp -s "$work/cleaned.reg" "$work/m/registry.reg" && [ ! -e "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ]; }
rm -rf "$work/b"; cleaned; mv "$work/m/WINDOWS" "$work/outside"; ln -s "$work/outside" "$work/m/WINDOWS"; restore
check "restore: a linked WINDOWS is refused" 'one_error "not a folder" && [ ! -e "$work/outside/SYSTEM/CMAUDIO.VXD" ] && cmp -s "$work/cleaned.reg" "$work/m/registry.reg"'
rm -rf "$work/b"; cleaned; mv "$work/m/WINDOWS/SYSTEM" "$work/outside"; ln -s "$work/outside" "$work/m/WINDOWS/SYSTEM"; restore
check "restore: a linked WINDOWS/SYSTEM is refused" 'one_error "not a folder" && [ ! -e "$work/outside/CMAUDIO.VXD" ] && cmp -s "$work/cleaned.reg" "$work/m/registry.reg"'
rm -rf "$work/b"; cleaned; echo tampered >"$work/b/files/WINDOWS/SYSTEM/CMAUDIO.VXD"; restore
check "restore: a tampered copy is refused" 'one_error "SHA-256" && as_cleaned'
rm -rf "$work/b"; cleaned; mv "$work/b/files/WINDOWS/SYSTEM/CMAUDIO.VXD" "$work/copy.vxd"; ln -s "$work/copy.vxd" "$work/b/files/WINDOWS/SYSTEM/CMAUDIO.VXD"; restore
check "restore: a link among the copies is refused" 'one_error "not a regular file" && as_cleaned'
rm -rf "$work/b"; cleaned; mkdir "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD"; restore
check "restore: a folder where a file was is refused" 'one_error "not a regular file" && cmp -s "$work/cleaned.reg" "$work/m/registry.reg"'
rm -rf "$work/b"; cleaned; mkfifo "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD"; restore
check "restore: a FIFO where a file was is refused without hanging" 'one_error "not a regular file" && cmp -s "$work/cleaned.reg" "$work/m/registry.reg"'
rm -rf "$work/b"; cleaned; rm "$work/b/files/WINDOWS/SYSTEM/CMAUDIO.VXD"; restore
check "restore: a copy missing from the backup restores nothing" 'one_error "lacks" && as_cleaned && [ ! -e "$work/m/WINDOWS/SYSTEM/A3D.DLL" ]'
rm -rf "$work/b"; cleaned; restore
check "restore: a sound backup puts everything back" '[ "$(cat "$work/m.rc")" = 0 ] && untouched'
rm -rf "$work/b"

# A registry file that is a folder or a FIFO: refused at once.
fresh; rm "$work/m/registry.reg"; mkfifo "$work/m/registry.reg"
yes_run
check "a FIFO registry file is refused without hanging" 'one_error "not a regular file"'

# A script that forgot --answer: exit 2 naming --answer, before anything happens; unshown is consent.
fresh
bare
check "no --answer without a terminal is refused" 'one_error "give --answer" && untouched'
fresh
bare --answer unshown
check "--answer unshown removes the card" '[ "$(cat "$work/m.rc")" = 0 ] && [ ! -e "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ] && grep -q "removed 17 registry keys" "$work/m.err"'

# Out of memory anywhere: a sweep of address-space limits from where the program cannot start to where it
# runs whole. Every run ends with 0, or with 2 and the machine as it was; none aborts, none leaves an empty
# backup folder. (A build whose sanitizers need more address space than any limit here is not swept.)
# The program itself, not the journal checker in its place: no journal, and no shell under the limit.
program=${CMPCI_TOOL:-$tool}
if ( ulimit -v 100000; "$program" --version >/dev/null 2>&1 ); then
    aborted=0 bad=0 runs=0
    for limit in $(seq 8000 100 20000); do
        fresh
        ( ulimit -v "$limit"; "$program" --machine "$work/m" --answer yes >"$work/m.out" 2>"$work/m.err" </dev/null; echo $? >"$work/m.rc" ) 2>/dev/null
        rc=$(cat "$work/m.rc")
        [ "$rc" = 127 ] && continue  # the loader could not map the program's libraries
        runs=$((runs + 1))
        backup=$(ls "$work/m" | grep '^cmpci-backup' | head -n 1)
        if [ "$rc" != 0 ] && [ "$rc" != 2 ]; then aborted=$((aborted + 1)); echo "limit $limit: exit $rc: $(tail -n 1 "$work/m.err")" >&2
        elif grep -q terminate "$work/m.err"; then aborted=$((aborted + 1))
        elif [ "$rc" = 2 ] && ! untouched; then bad=$((bad + 1)); echo "limit $limit: exit 2 with the machine changed" >&2
        elif [ -n "$backup" ] && [ -z "$(ls -A "$work/m/$backup")" ]; then bad=$((bad + 1)); echo "limit $limit: empty backup" >&2
        fi
    done
    check "out of memory at any limit: no abort ($aborted of $runs runs)" '[ "$aborted" = 0 ] && [ "$runs" -gt 20 ]'
    check "out of memory at any limit: exit 2 leaves the machine as it was, no empty backup" '[ "$bad" = 0 ]'
fi

finish "hostile machines"
