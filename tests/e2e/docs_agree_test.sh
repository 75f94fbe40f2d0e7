#!/usr/bin/env bash
# The command line is told in four places that must agree: --help, the manual page, the README and the
# bash completion. The synopsis of --help, the man page's SYNOPSIS and the README's are the same lines;
# the options --help lists are the man page's, the completion's, and each is named in the README; the image
# formats --help names are the README's.
# Usage: docs_agree_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"

# One synopsis line a line: "usage: " dropped, roff's \- and \e undone, blanks collapsed.
normal() { sed -e 's/^usage: //' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/^ *//' -e 's/  */ /g' -e '/^$/d'; }

"$tool" --help >"$work/help" || fail "--help failed"
sed -n '1,/^$/p' "$work/help" | normal >"$work/help.synopsis"
sed -n '/^\.SH SYNOPSIS/,/^\.fi/p' "$source/man/cmpci-uninstall.1" | grep -v '^\.' | normal >"$work/man.synopsis"
# The README's synopsis: the indented block that opens "## The offline program".
sed -n '/^## The offline program/,/^- /p' "$source/README.md" | grep '^    ' | normal >"$work/readme.synopsis"
[ "$(wc -l <"$work/help.synopsis")" -ge 5 ] || fail "--help has no synopsis"
diff "$work/help.synopsis" "$work/man.synopsis" >"$work/diff" || fail "man page SYNOPSIS differs from --help: $(cat "$work/diff")"
diff "$work/help.synopsis" "$work/readme.synopsis" >"$work/diff" || fail "README synopsis differs from --help: $(cat "$work/diff")"

# The options, one name a line, sorted.
sed -n '/^options:/,/^$/p' "$work/help" | grep -o -E '^  (-[a-z], )?--[a-z-]+' | grep -o -E -- '-{1,2}[a-z-]+' |
    sort >"$work/help.options"
grep -A1 '^\.TP' "$source/man/cmpci-uninstall.1" | grep -v -e '^\.TP' -e '^--' | sed 's/\\-/-/g' |
    grep -o -E -- '(^|[ "])-{1,2}[a-z][a-z-]*' | tr -d ' "' | sort >"$work/man.options"
sed -n "/compgen -W '--/,/'/p" "$source/completion/cmpci-uninstall" | grep -o -E -- '--[a-z-]+' | sort >"$work/completion.options"
[ "$(wc -l <"$work/help.options")" -ge 20 ] || fail "--help lists few options: $(cat "$work/help.options")"
diff "$work/help.options" "$work/man.options" >"$work/diff" || fail "man page options differ from --help: $(cat "$work/diff")"
grep -- '^--' "$work/help.options" | diff - "$work/completion.options" >"$work/diff" ||
    fail "completion options differ from --help: $(cat "$work/diff")"
while read -r name; do
    grep -q -- "\`$name[ \`=]" "$source/README.md" || fail "README does not describe $name"
done <"$work/help.options"

# The image formats --help names are the README's list, word for word but for case.
formats() { sed -e 's/ (fixed or dynamic)//' -e 's/, / /g' -e 's/ or / /' -e 's/ and / /' | tr ' ' '\n' | sed '/^$/d' | tr 'A-Z' 'a-z' | sort; }
sed -n '/^  --image FILE/,/^  --[a-z]/p' "$work/help" | tr -s ' \n' ' ' | sed -e 's/.*FAT volume; //' -e 's/, an overlay .*//' |
    formats >"$work/help.formats"
grep -o -E '^Raw, .* images are taken' "$source/README.md" | sed 's/ images are taken$//' | formats >"$work/readme.formats"
[ "$(wc -l <"$work/help.formats")" -ge 8 ] || fail "--help names few image formats: $(cat "$work/help.formats")"
diff "$work/help.formats" "$work/readme.formats" >"$work/diff" ||
    fail "the image formats of --help and the README differ: $(cat "$work/diff")"

# The completion is valid bash, and the manual page formats without a warning.
bash -n "$source/completion/cmpci-uninstall" || fail "the completion is not valid bash"
warnings=$(MANWIDTH=80 man --warnings -l "$source/man/cmpci-uninstall.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"

finish "help, man page, README and completion"
