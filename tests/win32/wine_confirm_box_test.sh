#!/bin/bash
# The real confirmation box under Xvfb: answered with No, the run ends with exit code 0 and nothing has
# changed; answered with Yes, the card is removed and the completion box follows.
# usage: wine_confirm_box_test.sh <cmpci-uninstall.exe> <source dir>
set -u
exe=$1 source=$2
here=$(dirname "$0")
. "$here/wine_common.sh"

command -v Xvfb >/dev/null 2>&1 || wine_skip "Xvfb is not installed"
command -v xdotool >/dev/null 2>&1 || wine_skip "xdotool is not installed"

# A display of our own; its number comes back through a pipe once the server is ready.
exec 3< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 2>/dev/null & echo "pid $!"; wait)
read -r _ xvfb_pid <&3
read -t 30 -r display_number <&3 || { kill "$xvfb_pid" 2>/dev/null; wine_skip "Xvfb did not start"; }
export DISPLAY=:$display_number CMPCI_WINE_DISPLAY=1
end_display() { wine_end; kill "$xvfb_pid" 2>/dev/null; }

wine_start
trap end_display EXIT
. "$here/wine_machine.sh"
install_program "$exe"

# answer_box <caption> <key>: waits for the box with that caption and presses the key in it.
answer_box() {
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    if [ -z "$window" ]; then
        fail "no box \"$1\" appeared"
        return 1
    fi
    xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
    sleep 0.5
    xdotool key --clearmodifiers "$2"
}

# run_interactive <name> <answer to the confirmation box> [<caption of the box that follows>]
run_interactive() {
    local name=$1 answer=$2 next=${3:-} pid status
    wine "$program" >"$WORK/$name.out" 2>&1 &
    pid=$!
    answer_box "Pelko Sound DRUNE" "$answer"
    [ -z "$next" ] || answer_box "$next" Return
    for _ in $(seq 1 60); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 1
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "$name: the program is still running"
        kill "$pid"
        return
    fi
    wait "$pid"
    status=$?
    [ "$status" -eq 0 ] || fail "$name: exit code $status"
    wineserver -w
}

install_card
snapshot before

run_interactive answer_no n
snapshot no
expect_same "No: nothing changed" before no

run_interactive answer_yes y "Pelko Studio KALTO"
snapshot yes
expect_cleaned "Yes: the card is removed and the completion box was answered" before yes

finish "wine confirmation box"
