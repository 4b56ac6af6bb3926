#!/usr/bin/env bash
# A second start of Quenlo while one runs ends by itself with one line and leaves the
# running one alone; a Quenlo that was killed does not keep the next start from running;
# a start without a display ends with one line too.
#   second_start_test.sh <quenlo executable>
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-second-start.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
first_pid=""
cleanup() {
    local status=$?
    stop_process "$first_pid"
    stop_process "${quenlo_pid:-}"
    if [ "$status" -ne 0 ]; then
        for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f:" >&2; cat "$f" >&2; }; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
require_display
install_quenlo "$1"
loaded='✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets'
already='Quenlo is already running: its icon is in the system tray.'

# starts_and_runs <name>: a start that gets as far as its tray item and keeps running.
starts_and_runs() {
    run_quenlo "$1"
    watched_pid=$quenlo_pid
    wait_for "$1 to set up its tray item" 20 grep -qxF "$loaded" "$work/$1.out"
    watched_pid=""
}

# refused <name> <status> <out|err> <line>: a start that ends by itself with the status,
# saying only why, in one line on standard output or error.
refused() {
    run_quenlo "$1"
    local pid=$quenlo_pid
    wait_for "$1 to end by itself" 10 eval "! running $pid"
    local status=0
    wait "$pid" || status=$?
    quenlo_pid=""
    [ "$status" -eq "$2" ] || fail "$1 ended with status $status"
    [ "$(cat "$work/$1.$3")" = "$4" ] || fail "$1 printed '$(cat "$work/$1.$3")', not '$4'"
}

# No graphical session (over ssh, on a text console): status 1 and one line, not an
# abort; with a platform that needs no display Quenlo still starts.
quenlo_env=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
refused no_session 1 err "quenlo: needs a graphical desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set);\
 start it from a terminal or the menu of your desktop"
quenlo_env=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen)
starts_and_runs offscreen
stop_process "$quenlo_pid"
quenlo_pid=""
quenlo_env=()

starts_and_runs first
first_pid=$quenlo_pid
before=$(cat "$work/first.out")

refused second 0 out "$already"
running "$first_pid" || fail "the running Quenlo ended when a second one started"
[ "$(cat "$work/first.out")" = "$before" ] || fail "the running Quenlo printed something when a second one started"

# A crash or a kill leaves the lock file behind, but not the lock.
kill -9 "$first_pid"
wait "$first_pid" 2>/dev/null || true
first_pid=""
starts_and_runs after_kill
first_pid=$quenlo_pid
# It holds the lock now: the next start is refused again.
refused after_kill_second 0 out "$already"
running "$first_pid" || fail "the Quenlo started after the kill ended"

echo "second_start_test: passed"
