#!/usr/bin/env bash
# Stands for the offline program in the end-to-end scripts (common.sh puts it in $tool): runs CMPCI_TOOL
# with the arguments given, then checks the journal it wrote, if any (a file, or stdout when that is a
# file), against doc/journal.schema.json. A journal that does not match is noted in CMPCI_JOURNAL_FAULTS,
# which finish() reports. The exit status is the program's. Without a journal the program takes this
# process's place, so that a signal sent to it (a test that kills a run) reaches the program itself.
journal= previous=
for word in "$@"; do
    [ "$word" = -- ] && break
    [ "$previous" = --journal ] && journal=$word
    case $word in --journal=*) journal=${word#--journal=} ;; esac
    previous=$word
done
[ -z "$journal" ] && exec "$CMPCI_TOOL" "$@"
[ "$journal" = - ] && journal=$(readlink -f /proc/$$/fd/1)
# A journal the program refused to write (a registry file named as the journal, say) is left as it was:
# only a file the run made or replaced is checked.
identity() { stat -L -c '%d %i %s %z' -- "$journal" 2>/dev/null; }
before=$(identity)
"$CMPCI_TOOL" "$@"
status=$?
if [ -f "$journal" ] && [ "$(identity)" != "$before" ]; then
    here=$(dirname "${BASH_SOURCE[0]}")
    /usr/bin/python3 "$here/validate_journal.py" "$here/../../doc/journal.schema.json" "$journal" \
        2>>"$CMPCI_JOURNAL_FAULTS"
fi
exit $status
