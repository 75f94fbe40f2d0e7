#!/usr/bin/env bash
# Machines that try to lead the offline program astray or make its save fail: nothing outside the card's
# keys and files is removed, nothing is lost, and the error is one clear line with exit code 2.
# Usage: hostile_machine_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
export LC_ALL=C
tool=$1
example=$2/examples/machine
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
passed=0 failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else echo "FAIL: $1" >&2; failed=$((failed + 1)); fi; }

fresh() { rm -rf "$work/m"; cp -R "$example" "$work/m"; cp "$work/m/registry.reg" "$work/original.reg"; }
run() { "$tool" --machine "$work/m" --answer yes "$@" >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc"; }
untouched() { cmp -s "$work/original.reg" "$work/m/registry.reg" && [ -f "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ]; }
one_error() { [ "$(cat "$work/rc")" = 2 ] && [ "$(grep -c '^cmpci-uninstall: ' "$work/err")" = 1 ] && grep -q "$1" "$work/err"; }

# A WINDOWS that is a link to a folder outside the machine.
fresh; mv "$work/m/WINDOWS" "$work/elsewhere"; ln -s "$work/elsewhere" "$work/m/WINDOWS"
run
check "a linked WINDOWS is refused" 'one_error "symbolic link" && [ -f "$work/elsewhere/SYSTEM/CMAUDIO.VXD" ] && cmp -s "$work/original.reg" "$work/m/registry.reg"'
rm -rf "$work/elsewhere"

# Links inside WINDOWS to files and folders outside: never followed, the run goes on.
fresh; echo keep >"$work/outside.dll"; mkdir -p "$work/outdir"; echo keep >"$work/outdir/cmpci95.drv"
rm "$work/m/WINDOWS/SYSTEM/A3D.DLL"; ln -s "$work/outside.dll" "$work/m/WINDOWS/SYSTEM/A3D.DLL"
mv "$work/m/WINDOWS/INF/OTHER" "$work/m/WINDOWS/INF/OTHER.real"; ln -s "$work/outdir" "$work/m/WINDOWS/INF/OTHER"
run
check "links inside WINDOWS are not followed" '[ "$(cat "$work/rc")" = 0 ] && [ -f "$work/outside.dll" ] && [ -L "$work/m/WINDOWS/SYSTEM/A3D.DLL" ] && [ -f "$work/outdir/cmpci95.drv" ] && [ ! -e "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ]'

# A save that cannot happen removes nothing: a read-only machine folder, a full disk.
fresh; chmod a-w "$work/m"
if [ "$(id -u)" != 0 ]; then
    run
    check "a read-only machine folder removes nothing" 'one_error "nothing was removed" && untouched'
fi
chmod u+w "$work/m"
fresh
( ulimit -f 4; "$tool" --machine "$work/m" --answer yes --no-backup >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc" )
check "a file-size limit during the save removes nothing" 'one_error "cannot save.*nothing was removed" && untouched'
( ulimit -f 4; "$tool" --machine "$work/m" --answer yes >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc" )
check "a file-size limit during the backup removes nothing" 'one_error "cannot write the backup.*nothing was removed" && untouched'
check "no temporary file is left behind" '[ -z "$(ls "$work/m" | grep -v -x -e registry.reg -e WINDOWS -e README.md -e .gitattributes)" ]'

# A stale temporary file of a killed run is left alone, and the run saves all the same.
fresh; echo stale >"$work/m/registry.reg.tmp-AbC123"
run --no-backup
check "a stale temporary file does not stop the save" '[ "$(cat "$work/rc")" = 0 ] && [ "$(cat "$work/m/registry.reg.tmp-AbC123")" = stale ] && ! cmp -s "$work/original.reg" "$work/m/registry.reg"'

# A read-only registry file is refused, not replaced.
fresh; chmod a-w "$work/m/registry.reg"
run
check "a read-only registry file is refused" 'one_error "read-only" && untouched'

# A journal that cannot be written: nothing is removed; a reader that goes away does not kill the run.
fresh
run --journal /dev/full
check "a journal on a full disk removes nothing" 'one_error "cannot write the journal" && untouched'
fresh
# The reader is gone before the first line: every write of the journal fails.
{ sleep 0.5; "$tool" --machine "$work/m" --answer yes --journal - 2>"$work/err" </dev/null; echo $? >"$work/rc"; } | true
rc=$(cat "$work/rc")
check "a journal reader that goes away: exit 2, nothing removed" '[ "$rc" = 2 ] && grep -q "cannot write the journal" "$work/err" && untouched'

# A registry file that is a folder or a FIFO: refused at once.
fresh; rm "$work/m/registry.reg"; mkfifo "$work/m/registry.reg"
timeout 10 "$tool" --machine "$work/m" --answer yes >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc"
check "a FIFO registry file is refused without hanging" 'one_error "not a regular file"'

# A script that forgot --answer: exit 2 naming --answer, before anything happens; unshown is consent.
fresh
"$tool" --machine "$work/m" >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc"
check "no --answer without a terminal is refused" 'one_error "give --answer" && untouched'
fresh
"$tool" --machine "$work/m" --answer unshown >"$work/out" 2>"$work/err" </dev/null; echo $? >"$work/rc"
check "--answer unshown removes the card" '[ "$(cat "$work/rc")" = 0 ] && [ ! -e "$work/m/WINDOWS/SYSTEM/CMAUDIO.VXD" ] && grep -q "removed 17 registry keys" "$work/err"'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
