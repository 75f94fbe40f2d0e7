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
read -t 60 -r display_number <&3 || { kill "$xvfb_pid" 2>/dev/null; wine_skip "Xvfb did not start"; }
export DISPLAY=:$display_number CMPCI_WINE_DISPLAY=1
end_display() { wine_end; kill "$xvfb_pid" 2>/dev/null; }

wine_start
trap end_display EXIT
. "$here/wine_machine.sh"
install_program "$exe"

# Every wait below is on an event (the box shown, the box gone, the program ended), checked every 0.2 s and
# bounded by the run's deadline: on a busy machine the box may come late or not yet take a key press, so the
# press is repeated until the box is gone. A repeated press that comes after the box has gone is harmless:
# neither Y, N nor Return answers a box that follows.
run_seconds=240
pid= deadline=

running() { kill -0 "$pid" 2>/dev/null; }
time_left() { [ "$SECONDS" -lt "$deadline" ]; }

# shown_box <caption>: the window id of the visible box with that caption, if there is one.
shown_box() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1; }

# answer_box <caption> <key>: waits for the box with that caption, gives it the input focus, presses the key
# and presses it again every 2 s until the box is gone.
answer_box() {
    local caption=$1 key=$2 window presses=0 wait_until
    until window=$(shown_box "$caption"); [ -n "$window" ]; do
        running || { fail "the program ended without showing the box \"$caption\""; return 1; }
        time_left || { fail "no box \"$caption\" appeared within $run_seconds s"; return 1; }
        sleep 0.2
    done
    while [ "$(shown_box "$caption")" = "$window" ]; do
        if ! time_left; then
            if [ "$presses" -eq 0 ]; then
                fail "the box \"$caption\" never took the input focus within $run_seconds s"
            else
                fail "the box \"$caption\" took none of $presses presses of $key within $run_seconds s"
            fi
            return 1
        fi
        # The key goes to the window with the input focus: the box, once it has it.
        timeout 5 xdotool windowfocus --sync "$window" >/dev/null 2>&1
        if [ "$(xdotool getwindowfocus 2>/dev/null)" = "$window" ]; then
            xdotool key --clearmodifiers "$key"
            presses=$((presses + 1))
            wait_until=$((SECONDS + 2))
        else
            wait_until=$SECONDS
        fi
        while [ "$(shown_box "$caption")" = "$window" ] && [ "$SECONDS" -le "$wait_until" ]; do
            sleep 0.2
        done
    done
    [ "$presses" -le 1 ] || echo "note: the box \"$caption\" took $key at press $presses"
}

# run_interactive <name> <answer to the confirmation box> [<caption of the box that follows>]: the program
# is given $run_seconds s to show its boxes, take the answers and end with exit code 0.
run_interactive() {
    local name=$1 answer=$2 next=${3:-} status
    deadline=$((SECONDS + run_seconds))
    timeout "$run_seconds" wine "$program" >"$WORK/$name.out" 2>&1 &
    pid=$!
    if answer_box "Pelko Sound DRUNE" "$answer" && { [ -z "$next" ] || answer_box "$next" Return; }; then
        wait "$pid"
        status=$?
        case $status in
            0) ;;
            124) fail "$name: the program did not end within $run_seconds s of its start" ;;
            *) fail "$name: exit code $status" ;;
        esac
    else
        kill "$pid" 2>/dev/null
        wait "$pid"
    fi
    wine_settle
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
