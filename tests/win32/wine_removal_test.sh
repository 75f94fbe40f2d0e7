#!/bin/bash
# The real program in a fresh 32-bit Wine prefix: a machine with the card installed (card_machine.reg and
# the card's files in Wine's Windows and system directories) is cleaned in silent mode; afterwards every key
# and file of the card is gone and everything else is as it was. A second run removes nothing. Then the
# command line variants select the modes: the boxes and the restart request are observed in Wine's relay
# trace of MessageBoxExA and ExitWindowsEx (Wine's restart only ends the prefix's own processes).
# usage: wine_removal_test.sh <cmpci-uninstall.exe> <source dir> <launch.exe>
set -u
exe=$1 source=$2 launch=$3
here=$(dirname "$0")
. "$here/wine_common.sh"
wine_start
. "$here/wine_machine.sh"

install_program "$exe" "$launch"

# Only the calls that tell the modes apart are traced.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'user32.MessageBoxExA;user32.ExitWindowsEx' /f >/dev/null 2>&1

# run_program <name> <command line>: runs the program with exactly that command line, leaves the relay
# trace of its boxes and restart request in $WORK/<name>.calls and checks the exit code.
run_program() {
    local name=$1 line=$2 status
    # launch.exe ends the program itself after 150 s and says so; the timeout is for a launcher that hangs.
    CMPCI_COMMAND_LINE=$line WINEDEBUG=-all,+relay timeout 180 \
        wine 'C:\cmpci\launch.exe' "$program" >"$WORK/$name.out" 2>"$WORK/$name.trace"
    status=$?
    grep -aE 'Call user32\.(MessageBoxExA|ExitWindowsEx)\(' "$WORK/$name.trace" |
        sed -E 's/^[0-9a-f]+:Call //; s/ ret=[0-9a-f]+$//' >"$WORK/$name.calls"
    wine_settle
    if [ "$status" -eq 124 ]; then
        fail "$name: launch.exe did not end within 180 s"
    elif [ "$status" -ne 0 ] || ! grep -q '^exit code 0' "$WORK/$name.out"; then
        fail "$name: the program did not end with exit code 0 (launcher $status: $(cat "$WORK/$name.out"))"
    fi
}

# --- 1. A silent run removes the card and nothing else. ---------------------------------------------------
install_card
snapshot before
for key in "${card_keys[@]}"; do
    grep -qiF -- "$key|" "$WORK/before.reg" || fail "the card's key was not installed: $key"
done

run_program silent "\"$program\" /s"
snapshot after
expect_cleaned "silent run: the card's ${#card_keys[@]} keys and ${#card_files[@]} files are gone, all else is there" \
    before after
[ -s "$WORK/silent.calls" ] && fail "silent run showed a box or asked for a restart: $(cat "$WORK/silent.calls")"

# --- 2. A second run finds no card and removes nothing. ---------------------------------------------------
run_program again "\"$program\" /s"
snapshot again
expect_same "second run: nothing removed" after again

# --- 3. The command line selects the mode. ----------------------------------------------------------------
# Without a display Wine cannot show a box: MessageBoxExA fails, which the run takes as consent.
confirm='user32.MessageBoxExA(00000000,"Do you really want to uninstall your sound card ?","Pelko Sound DRUNE",00001014,00000409)'
complete='user32.MessageBoxExA(00000000,"    Uninstall complete.    ","Pelko Studio KALTO",00001040,00000409)'
restart_box='user32.MessageBoxExA(00000000,"This application will now restart your system","Pelko Studio KALTO",00001040,00000409)'
restart_call='user32.ExitWindowsEx(00000002,00000000)'

# mode_case <name> <command line> <expected calls, one a line, in order>
mode_case() {
    local name=$1 line=$2 expected=$3
    run_program "$name" "$line"
    # The relay trace writes addresses before the texts: keep the texts.
    sed -E 's/[0-9a-f]{8} (")/\1/g' "$WORK/$name.calls" >"$WORK/$name.seen"
    if [ "$(cat "$WORK/$name.seen")" = "$expected" ]; then
        echo "ok   [$line]: ${expected:-no box, no restart}" | tr '\n' ' '
        echo
    else
        fail "[$line]: expected"
        printf '  %s\n' "${expected:-(nothing)}"
        echo "  found"
        sed 's/^/  /' "$WORK/$name.seen"
    fi
}

install_card
mode_case restart_quoted "\"$program\" reboot" "$restart_box
$restart_call"
mode_case restart_quoted_no_blank "\"$program\"reboot" "$restart_box
$restart_call"
mode_case restart_unquoted "$program reboot" "$restart_box
$restart_call"
mode_case restart_no_program "   reboot" "$restart_box
$restart_call"
mode_case interactive_quoted "\"$program\"" "$confirm
$complete"
mode_case interactive_blanks "\"$program\"   " "$confirm
$complete"
mode_case capitals "\"$program\" REBOOT" ""
mode_case trailing_blank "\"$program\" reboot " ""
mode_case slash "\"$program\" /reboot" ""
mode_case two_words "\"$program\" reboot now" ""

# The restart run above removed the card before asking for the restart.
snapshot restart
expect_same "restart run: the card was removed before the restart request" after restart

finish "wine removal"
