#!/usr/bin/env bash
# Quenlo started while no system tray runs says so in one line, and its icon and menu
# work once a tray host starts.
#   trayless_start_test.sh <quenlo executable> <make_test_model executable>
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-trayless.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
trap cleanup_app_test EXIT
require_display
for tool in xdotool trayer xprop; do command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"; done
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
echo "trayless_start_test: passed"
