#!/usr/bin/env bash
# What can be known before the confirmation box is checked before it: an image or a registry file this user
# may not write (run as another user, over files root owns), a folder that cannot take the image's rollback
# journal, a --backup folder that is not empty or cannot be made. Each is refused in one line with exit 2,
# the question never shown, nothing changed and nothing left beside the target. A stray word's hint names
# --machine or --image, never the Windows argument text, and followed it asks.
# Usage: refused_before_question_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_image "$1" "$2" setpriv mcopy mkfs.fat sfdisk
program=$1
chmod 755 "$work"
question="Do you really want to uninstall your sound card ?"
# The program where the other user can run it, and a state folder of that user's own.
mkdir -m 755 "$work/bin"
cp "$program" "$work/bin/cmpci-uninstall"
mkdir -m 777 "$work/state" "$work/tmp"

# as_nobody NAME ARGS...: the program run as nobody (no groups), --answer yes with its box drawn; exit code
# in $work/NAME.rc, both outputs in NAME.out.
as_nobody() {
    local name=$1
    shift
    (cd "$work" && setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env XDG_STATE_HOME="$work/state" TMPDIR="$work/tmp" timeout 60 "$work/bin/cmpci-uninstall" "$@" --answer yes \
        </dev/null >"$work/$name.out" 2>&1)
    echo $? >"$work/$name.rc"
}
# as_root NAME ARGS...: the same as this user.
as_root() {
    local name=$1
    shift
    XDG_STATE_HOME="$work/state" timeout 60 "$tool" "$@" --answer yes </dev/null >"$work/$name.out" 2>&1
    echo $? >"$work/$name.rc"
}
# refused NAME WANT: exit 2, one line holding WANT, and no question.
refused() {
    [ "$(cat "$work/$1.rc")" = 2 ] || fail "$1: exit $(cat "$work/$1.rc"), not 2: $(cat "$work/$1.out")"
    grep -q -F "$question" "$work/$1.out" && fail "$1: the question was asked before the refusal"
    [ "$(wc -l <"$work/$1.out")" = 1 ] || fail "$1: not one line: $(cat "$work/$1.out")"
    grep -q -F -- "$2" "$work/$1.out" || fail "$1: the refusal does not say '$2': $(cat "$work/$1.out")"
}
tree() { (cd "$1" && find . -printf '%p %s %m %u\n' | sort && find . -type f -exec sha256sum {} + | sort); }

# --- An image root owns, 0644, in a folder everybody may write: nobody may not write it.
mkdir -m 777 "$work/lab"
bash "$source/examples/make_disk_image.sh" "$work/lab/disk.img" fat16 >/dev/null || fail "cannot make the image"
chmod 644 "$work/lab/disk.img"
before=$(tree "$work/lab")
as_nobody image --image "$work/lab/disk.img"
refused image "cannot write into $work/lab/disk.img: Permission denied; nothing was changed"
[ "$(tree "$work/lab")" = "$before" ] || fail "image: something changed or was left beside the image: $(ls -la "$work/lab")"
# A dry run and --check only read it.
as_nobody image-dry --image "$work/lab/disk.img" --dry-run
[ "$(cat "$work/image-dry.rc")" = 0 ] || fail "image: a dry run as another user: $(tail -n 2 "$work/image-dry.out")"
# nobody's own image in a folder root keeps to itself: no rollback journal can go beside it.
mkdir -m 755 "$work/closed"
cp --sparse=always "$work/lab/disk.img" "$work/closed/disk.img" && chown nobody "$work/closed/disk.img"
before=$(tree "$work/closed")
as_nobody closed --image "$work/closed/disk.img"
refused closed "cannot write into $work/closed: Permission denied; nothing was changed"
[ "$(tree "$work/closed")" = "$before" ] || fail "closed: something changed beside the image"
# The right to write, not the owner's: root's run on its image goes on.
as_root image-root --image "$work/lab/disk.img" --no-backup
[ "$(cat "$work/image-root.rc")" = 0 ] && grep -q -F "$question" "$work/image-root.out" ||
    fail "image: root's run: $(tail -n 2 "$work/image-root.out")"

# --- A machine folder nobody owns whose registry file root owns, 0644.
cp -R "$source/examples/machine" "$work/m"
chown -R nobody "$work/m" && chown root "$work/m/registry.reg" && chmod 644 "$work/m/registry.reg"
before=$(tree "$work/m")
as_nobody registry --machine "$work/m"
refused registry "cannot write into $work/m/registry.reg: Permission denied: nothing was changed"
[ "$(tree "$work/m")" = "$before" ] || fail "registry: the machine changed"
rm -rf "$work/m" && cp -R "$source/examples/machine" "$work/m" && chown -R nobody "$work/m"

# --- --backup: a folder that is there and not empty; one under a folder nobody may not write; one under a file.
mkdir -m 777 "$work/full" && echo kept >"$work/full/note"
mkdir -m 755 "$work/rootonly"
echo x >"$work/afile"
before=$(tree "$work/m")
backups=$(tree "$work/full"; tree "$work/rootonly")
as_nobody full --machine "$work/m" --backup "$work/full"
refused full "the backup folder $work/full exists and is not empty"
as_root full-root --machine "$work/m" --backup "$work/full"
refused full-root "the backup folder $work/full exists and is not empty"
as_nobody unmakeable --machine "$work/m" --backup "$work/rootonly/new/backup"
refused unmakeable "cannot make the backup folder $work/rootonly/new/backup: cannot write into $work/rootonly: Permission denied"
as_root under-file --machine "$work/m" --backup "$work/afile/backup"
refused under-file "cannot make the backup folder $work/afile/backup: $work/afile is not a folder"
# The default place, the machine folder, that nobody may not write.
chown root "$work/m" && chmod 755 "$work/m"
as_nobody default-place --machine "$work/m"
refused default-place "cannot write into $work/m: Permission denied"
chown nobody "$work/m"
[ "$(tree "$work/m")" = "$before" ] || fail "backup: the machine changed"
[ "$(tree "$work/full"; tree "$work/rootonly")" = "$backups" ] || fail "backup: a backup folder changed"
[ -z "$(ls "$work/rootonly")" ] && [ ! -e "$work/afile/backup" ] || fail "backup: a folder was made"
# With all of it writable, the same run asks and removes.
as_nobody writable --machine "$work/m" --backup "$work/tmp/new/backup"
[ "$(cat "$work/writable.rc")" = 0 ] && grep -q -F "$question" "$work/writable.out" ||
    fail "writable: $(tail -n 2 "$work/writable.out")"

# --- A stray word: the hint, followed, is a run that asks.
cp -R "$source/examples/machine" "$work/m2"
(cd "$work" && "$tool" m2 --answer no </dev/null >"$work/stray.out" 2>&1)
echo $? >"$work/stray.rc"
[ "$(cat "$work/stray.rc")" = 2 ] || fail "stray: exit $(cat "$work/stray.rc")"
grep -q -F "unexpected word 'm2': the machine folder is named by --machine, as in --machine m2" "$work/stray.out" ||
    fail "stray: the hint: $(cat "$work/stray.out")"
grep -q -e ' -- ' -e 'after --' "$work/stray.out" && fail "stray: the hint names the Windows argument text"
(cd "$work" && "$tool" --machine m2 --answer no </dev/null >"$work/followed.out" 2>&1) || fail "stray: the hint's command fails"
grep -q -F "$question" "$work/followed.out" || fail "stray: the hint's command does not ask: $(cat "$work/followed.out")"
diff -r "$source/examples/machine" "$work/m2" >/dev/null || fail "stray: the machine changed"
"$tool" --image "$work/lab/disk.img" "$work/closed/disk.img" </dev/null >"$work/two.out" 2>&1
grep -q -F "unexpected word '$work/closed/disk.img': one image at a time" "$work/two.out" ||
    fail "two images: $(cat "$work/two.out")"

finish "refused before the question"
