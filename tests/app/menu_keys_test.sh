#!/usr/bin/env bash
# The tray menu's keys, pressed while the menu is open under a real tray host: Ctrl+O
# and O open the recorder window, Ctrl+Q and Q end Quenlo with status 0.
#   menu_keys_test.sh <quenlo executable>
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-menukeys.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
trap cleanup_app_test EXIT
require_display
for tool in xdotool trayer xprop wmctrl; do command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"; done
install_quenlo "$1"

start_tray_host
wait_for "the tray host" 10 xdotool search --onlyvisible --class trayer

window_shown() { xdotool search --onlyvisible --name '^Quenlo$'; }
menu_open() { [ "$(xdotool search --onlyvisible --class quenlo | wc -l)" -ge 2 ]; }
menu_closed() { ! xdotool search --onlyvisible --class quenlo | grep -qx "$menu"; }

# start: a fresh Quenlo whose icon has docked.
start() {
    run_quenlo "quenlo-$1"
    watched_pid=$quenlo_pid
    wait_for "the tray icon" 20 xdotool search --onlyvisible --class quenlo
    tray_icon=$(xdotool search --onlyvisible --class quenlo | head -n 1)
}

# press_in_menu <key>: opens the menu from the icon and presses the key while it is open.
press_in_menu() {
    # The window was closed a moment after a key opened it, faster than a user can:
    # then every other first click is lost (5 of 10 with 0.1 s between opening and
    # closing, none with 0.3 s or more, none when the mouse chose the entry), so the
    # test clicks again as a user would.
    click_open() { menu_open || { xdotool mousemove --window "$tray_icon" 11 11 click 3; sleep 0.5; menu_open; }; }
    wait_for "the tray menu" 10 click_open
    menu=$(xdotool search --onlyvisible --class quenlo | grep -vx "$tray_icon" | head -n 1)
    xdotool key "$1"
}

start open-keys
for key in ctrl+o o; do
    press_in_menu "$key"
    wait_for "the recorder window after $key" 10 window_shown
    wait_for "the menu to close after $key" 10 menu_closed
    # The title bar's close only hides the window, ready for the next key.
    wmctrl -i -c "$(window_shown | head -n 1)"
    wait_for "the window to hide" 10 eval '! window_shown'
done

# Each Quit key ends a Quenlo of its own: a start while another runs would only say so
# and end by itself.
stop_process "$quenlo_pid"
for key in ctrl+q q; do
    wait_for "the last Quenlo's windows to go" 10 eval '! xdotool search --class quenlo'
    start "quit-$key"
    press_in_menu "$key"
    expect_exit_zero "$key"
done
echo "menu_keys_test: passed"
