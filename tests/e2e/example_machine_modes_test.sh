#!/usr/bin/env bash
# The modes on the bundled example machine: restart and silent runs remove exactly what an interactive run
# answered Yes removes, with their own boxes; the user's Locale in the machine's registry picks the language.
# Usage: example_machine_modes_test.sh <path-to-cmpci-uninstall> <source-dir>
set -u
. "$(dirname "$0")/common.sh"
open_example "$@"
summary="cmpci-uninstall: removed $(list_keys "$source" | wc -l) registry keys and $(list_files "$source" | wc -l) files"

# The journal without its deletions: the boxes and the restart request, in order.
boxes() { grep -v -e '"op":"delete-' -e '"op":"verified"' "$work/$1.journal"; }
deletions() { grep '"op":"delete-' "$work/$1.journal"; }

# --- The reference: an interactive run answered Yes.
fresh_copy yes
run yes --answer yes
grep -q -x "$summary" "$work/yes.err" || fail "yes: summary line missing or wrong"

# --- Restart mode: no confirmation and no completion box; the English restart box, then the restart request.
fresh_copy reboot
run reboot -- reboot
deletions yes >"$work/yes.deletions"
deletions reboot | diff "$work/yes.deletions" - >/dev/null || fail "reboot: deletions differ from the interactive run's"
cmp -s "$work/yes/registry.reg" "$work/reboot/registry.reg" || fail "reboot: registry differs from the interactive run's"
diff -r "$work/yes/WINDOWS" "$work/reboot/WINDOWS" >/dev/null || fail "reboot: files differ from the interactive run's"
printf '%s\n' \
    '{"op":"message-box","caption":"Pelko Studio KALTO","text":"This application will now restart your system","style":4160,"language":1033,"result":1}' \
    '{"op":"restart","flags":2,"result":1}' >"$work/reboot.want"
boxes reboot | diff "$work/reboot.want" - >/dev/null || fail "reboot: boxes and restart: $(boxes reboot | tr '\n' ' ')"
[ "$(tail -n 1 "$work/reboot.journal")" = '{"op":"restart","flags":2,"result":1}' ] ||
    fail "reboot: the restart request is not the last thing the run does"
grep -q -x "$summary" "$work/reboot.err" || fail "reboot: summary line missing or wrong"

# --- Silent mode: the same removals without any box or restart.
fresh_copy silent
run silent -- /S
deletions silent | diff "$work/yes.deletions" - >/dev/null || fail "silent: deletions differ from the interactive run's"
[ -z "$(boxes silent)" ] || fail "silent: boxes or restart: $(boxes silent | tr '\n' ' ')"
cmp -s "$work/yes/registry.reg" "$work/silent/registry.reg" || fail "silent: registry differs from the interactive run's"
diff -r "$work/yes/WINDOWS" "$work/silent/WINDOWS" >/dev/null || fail "silent: files differ from the interactive run's"

# --- A German user (Locale 00000C07, German as spoken in Luxembourg): German boxes with the German set's
# language 1031; restart text English.
sharp_s=$'\xc3\x9f'  # the journal writes texts in UTF-8
german() { sed -i 's/^"Locale"="00000409"\r$/"Locale"="00000C07"\r/' "$1/registry.reg"; }
fresh_copy german
german "$work/german"
run german --answer yes
grep -q '"Locale"="00000C07"' "$work/german/registry.reg" || fail "german: the Locale was not set up"
printf '%s\n' \
    '{"op":"message-box","caption":"Pelko Sound DRUNE","text":"Sind Sie sicher, da'"$sharp_s"' Sie Ihre Soundkarte deinstallieren wollen ?","style":4116,"language":1031,"result":6}' \
    '{"op":"message-box","caption":"Pelko Studio KALTO","text":"     Deinstallation beendet.    ","style":4160,"language":1031,"result":1}' \
    >"$work/german.want"
boxes german | diff "$work/german.want" - >/dev/null || fail "german: boxes: $(boxes german | tr '\n' ' ')"
fresh_copy german_reboot
german "$work/german_reboot"
run german_reboot -- reboot
[ "$(boxes german_reboot | head -n 1)" = '{"op":"message-box","caption":"Pelko Studio KALTO","text":"Your computer will be restarted","style":4160,"language":1031,"result":1}' ] ||
    fail "german reboot: restart box: $(boxes german_reboot | tr '\n' ' ')"

finish "example machine modes"
