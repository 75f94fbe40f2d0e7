# Shared by the end-to-end scripts, here and under Wine (sourced): counted failures, the closing tally, and
# the list of what a run on the bundled example machine removes (tests/data/example_machine_removed.txt).

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# check_journals: every journal the offline program writes here is checked against the journal's schema:
# $tool becomes journal_checked.sh, which runs the program and notes a journal that does not match. Done on
# sourcing when $tool is set.
check_journals() {
    if [ -n "${tool:-}" ] && [ "${tool%.exe}" = "$tool" ]; then
        export CMPCI_TOOL=$tool
        CMPCI_JOURNAL_FAULTS=$(mktemp)
        export CMPCI_JOURNAL_FAULTS
        tool="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/journal_checked.sh"
    fi
}
check_journals

# finish <name>: the tally, then the exit code: 0 when no check failed.
finish() {
    if [ -n "${CMPCI_JOURNAL_FAULTS:-}" ]; then
        [ -s "$CMPCI_JOURNAL_FAULTS" ] && fail "journals that do not match the schema: $(head -n 5 "$CMPCI_JOURNAL_FAULTS")"
        rm -f "$CMPCI_JOURNAL_FAULTS"
    fi
    if [ "$failures" -ne 0 ]; then
        echo "$1: $failures check(s) failed" >&2
        exit 1
    fi
    echo "$1: all checks passed"
    exit 0
}

# need COMMAND...: each command must be there; the script stops naming the package that has it otherwise.
need() {
    local command package
    for command in "$@"; do
        command -v "$command" >/dev/null && continue
        case $command in
        mcopy | mdir | minfo | mmd | mshowfat) package=mtools ;;
        mkfs.fat | fsck.fat) package=dosfstools ;;
        sfdisk) package=fdisk ;;
        qemu-img | qemu-io) package=qemu-utils ;;
        cregexport) package=libcreg-utils ;;
        losetup | setpriv | flock) package=util-linux ;;
        script) package=bsdutils ;;
        ssh | ssh-keygen) package=openssh-client ;;
        timeout | sha256sum) package=coreutils ;;
        xargs) package=findutils ;;
        *) package=$command ;;
        esac
        fail "$command is missing: install $package (.ci/run does)"
        exit 1
    done
}

# need_tracing: strace is there and may trace a process here; the script stops otherwise.
need_tracing() {
    need strace
    strace -qq -o /dev/null true 2>/dev/null || { fail "strace cannot trace a process here (is ptrace allowed?)"; exit 1; }
}

# start_work: $work, a temporary folder removed when the script exits; the program's state folder (where it
# records the rollback journals of images) is inside it, never in the user's home.
start_work() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    export XDG_STATE_HOME=$work/state
}

# open_example TOOL SOURCE: the opening of a script from its arguments: $tool (its journals checked),
# $source, $machine (the bundled example machine), the C locale, and $work.
open_example() {
    export LC_ALL=C
    tool=$1
    source=$2
    machine=$source/examples/machine
    check_journals
    start_work
}

# open_image TOOL SOURCE COMMAND...: the opening of a script on disk images: $tool (its journals checked),
# $source, the image scripts' helpers (image_common.sh), each COMMAND there, and $work.
open_image() {
    tool=$1
    source=$2
    shift 2
    check_journals
    . "$(dirname "${BASH_SOURCE[0]}")/image_common.sh"
    need "$@"
    start_work
}

# fresh_copy NAME: $work/NAME, a new copy of the machine folder $machine.
fresh_copy() {
    rm -rf "${work:?}/$1"
    cp -R "$machine" "$work/$1"
}

# attempt NAME ARGS...: the program on the machine folder $work/NAME, standard input empty, for a minute at
# most; its standard output in $work/NAME.out, its standard error in NAME.err, its exit code in NAME.rc.
attempt() {
    local name=$1
    shift
    timeout 60 "$tool" --machine "$work/$name" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"
    echo $? >"$work/$name.rc"
}

# run NAME ARGS...: an attempt with its journal in $work/NAME.journal that must end with exit code 0; the
# journal's start and summary records go to NAME.journal.start and NAME.journal.summary (split_summary).
run() {
    local name=$1
    shift
    attempt "$name" --journal "$work/$name.journal" "$@"
    [ "$(cat "$work/$name.rc")" = 0 ] ||
        fail "$name: exit code $(cat "$work/$name.rc"), expected 0 ($(tail -n 1 "$work/$name.err"))"
    split_summary "$work/$name.journal"
}

# list_keys <source dir> / list_files <source dir>: the keys (ROOT\path) and the files (relative to the
# machine folder) that a run on the example machine removes, one a line, in run order.
list_keys() { tr -d '\r' <"$1/tests/data/example_machine_removed.txt" | grep '^HKEY_'; }
list_files() { tr -d '\r' <"$1/tests/data/example_machine_removed.txt" | grep -v -e '^#' -e '^HKEY_' -e '^$'; }

# split_summary <journal>: a run's journal starts with its start record and ends with its summary record;
# they move to <journal>.start and <journal>.summary, so that the journal holds the run's deletions, boxes
# and restart request alone.
split_summary() {
    head -n 1 "$1" >"$1.start"
    grep -q '^{"op":"start",' "$1.start" || fail "$1: the journal does not start with a start record"
    tail -n 1 "$1" >"$1.summary"
    grep -q '^{"op":"summary",' "$1.summary" || fail "$1: the journal does not end with a summary record"
    sed -i '1d;$d' "$1"
}
