#!/usr/bin/env bash
# The Debian package: cpack -G DEB in the build folder, unpacked into a scratch root with dpkg -x (no root
# needed); the package's fields name what the program runs, the installed program runs, and the installed
# manual page formats.
# Usage: deb_test.sh <build-dir> <version>
set -u
export LC_ALL=C
build=$1 version=$2
. "$(dirname "$0")/../e2e/common.sh"
start_work

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { fail "cpack failed: $(tail -n 5 "$work/cpack.log")"; finish "Debian package"; }
deb=$(ls "$work"/out/cmpci-uninstall_"$version"_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { fail "no cmpci-uninstall_${version}_ARCH.deb: $(ls "$work/out")"; finish "Debian package"; }

dpkg-deb --field "$deb" Package Depends Recommends Suggests >"$work/fields"
grep -q -x 'Package: cmpci-uninstall' "$work/fields" || fail "package name: $(cat "$work/fields")"
grep -q -E '^Depends: .*mtools' "$work/fields" && fail "depends on mtools, which the program no longer runs: $(cat "$work/fields")"
grep -q -x 'Recommends: qemu-utils' "$work/fields" || fail "does not recommend qemu-utils: $(cat "$work/fields")"
grep -q -x 'Suggests: bash-completion' "$work/fields" || fail "does not suggest bash-completion: $(cat "$work/fields")"

dpkg -x "$deb" "$work/root"
for file in usr/bin/cmpci-uninstall usr/share/man/man1/cmpci-uninstall.1.gz \
    usr/share/bash-completion/completions/cmpci-uninstall usr/share/doc/cmpci-uninstall/copyright \
    usr/share/doc/cmpci-uninstall/LICENSE usr/share/doc/cmpci-uninstall/doc/journal.schema.json \
    usr/share/doc/cmpci-uninstall/README.md usr/share/doc/cmpci-uninstall/changelog.gz; do
    [ -f "$work/root/$file" ] || fail "the package lacks /$file"
done
# Every link of the installed README to a file beside it leads to one.
links=$(grep -o -E '\]\([^):#]+' "$work/root/usr/share/doc/cmpci-uninstall/README.md" | cut -c3- | sort -u)
[ -n "$links" ] || fail "the installed README links to no file beside it"
for link in $links; do
    [ -e "$work/root/usr/share/doc/cmpci-uninstall/$link" ] || fail "the installed README's link $link leads nowhere"
done
"$work/root/usr/bin/cmpci-uninstall" --version >"$work/version" 2>&1 || fail "the installed program: $(cat "$work/version")"
grep -q "^cmpci-uninstall $version " "$work/version" || fail "installed --version: $(cat "$work/version")"
grep -q "MIT License" "$work/version" || fail "installed --version names no licence"
MANWIDTH=80 man -l "$work/root/usr/share/man/man1/cmpci-uninstall.1.gz" >"$work/page" 2>"$work/man.err" ||
    fail "man -l failed: $(cat "$work/man.err")"
grep -q -E "^ +cmpci-uninstall +- +remove +the" "$work/page" || fail "the installed page: $(head -n 5 "$work/page")"

# Debian's own checker finds nothing to say of the package (its note on running as root aside).
if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>&1
    grep -E '^[EWI]: ' "$work/lintian" >"$work/lintian.tags"
    [ -s "$work/lintian.tags" ] && fail "lintian: $(head -n 5 "$work/lintian.tags" | tr '\n' ' ')"
else
    fail "lintian is missing: install lintian (.ci/run does)"
fi

finish "Debian package"
