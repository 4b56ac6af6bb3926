#!/usr/bin/env bash
# Quenlo started while no system tray runs says so in one line, and its icon and menu
# work once a tray host starts: an X11 tray, then one that hosts StatusNotifierItems
# only, started after Quenlo and before it.
#   trayless_start_test.sh <quenlo executable> <make_test_model executable>
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-trayless.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
trap cleanup_app_test EXIT
require_display
for tool in xdotool trayer xprop dbus-daemon; do command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"; done
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || fail "python3-gi is missing; run scripts/setup.sh"
install_quenlo "$1"
install_test_model "$2"

tray_selection_owner() { xprop -root _NET_SYSTEM_TRAY_S0 >/dev/null 2>&1 && xdotool search --onlyvisible --class trayer; }
tray_selection_owner && fail "a tray host already runs on $DISPLAY"

run_quenlo quenlo
watched_pid=$quenlo_pid
expected=$(printf '%s\n' \
    "✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets" \
    "📏 MenuBar: Icon size = QSize(22, 22)" \
    "⚠️ MenuBar: No system tray is running; the icon appears once one starts")
printed_all() { [ "$(cat "$work/quenlo.out")" = "$expected" ]; }
wait_for "the line saying there is no tray" 20 printed_all

xdotool search --onlyvisible --class quenlo >/dev/null 2>&1 && fail "something of Quenlo shows before a tray runs"

# The tray comes later; the icon docks into it and its menu opens the window.
start_tray_host
find_tray_icon
open_window

# The window's view loads the test's own model; nothing more is said about the tray.
wait_for "the view to load $model" 20 grep -qF "loading model from '$model'" "$work/quenlo.err"
printed_all || fail "standard output differs from: $expected"
stop_process "$quenlo_pid"
stop_process "$tray_pid"
watched_pid=""

# The tray of most Wayland bars, on a session bus of the test's own. It lists the item by
# its title, and its menu is clicked through the bus.
dbus-daemon --session --nofork --address="unix:path=$work/bus" >"$work/bus.log" 2>&1 &
bus_pid=$!
quenlo_bus="unix:path=$work/bus"
sni_tray=(env DBUS_SESSION_BUS_ADDRESS="$quenlo_bus" /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/sni_tray.py")
start_sni_tray() {
    "${sni_tray[@]}" >"$work/sni-tray.log" 2>&1 &
    tray_pid=$!
    wait_for "the tray's watcher" 10 grep -qx ready "$work/sni-tray.log"
}
wait_for "the session bus" 10 test -S "$work/bus"
for tray_starts in after before; do
    [ "$tray_starts" = after ] || start_sni_tray
    run_quenlo "sni-$tray_starts"
    watched_pid=$quenlo_pid
    if [ "$tray_starts" = after ]; then
        wait_for "the line saying there is no tray" 20 grep -qF "No system tray is running" "$work/sni-after.out"
        sleep 2 # the bar comes up a little later, as at login
        start_sni_tray
    fi
    wait_for "the item in the tray started $tray_starts Quenlo" 20 grep -q '^registered ' "$work/sni-tray.log"
    item=$(awk '/^registered / { print $2; exit }' "$work/sni-tray.log")
    title=$("${sni_tray[@]}" title "$item")
    [ "$title" = Quenlo ] || fail "the tray lists the item as '$title', not 'Quenlo'"
    "${sni_tray[@]}" click "$item" "Open Quenlo"
    wait_for "Open Quenlo from the tray's menu" 10 xdotool search --onlyvisible --name '^Quenlo$'
    "${sni_tray[@]}" click "$item" Quit
    expect_exit_zero "Quit from the tray's menu"
    stop_process "$tray_pid"
done
grep -qF "No system tray" "$work/sni-before.out" && fail "Quenlo said no tray runs while one did"
echo "trayless_start_test: passed"
