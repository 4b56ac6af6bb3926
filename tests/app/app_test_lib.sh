# Shared by the scripts that start the real quenlo executable on the test session's
# display: failing, polling instead of sleeping, and starting Quenlo as an installed
# application in a private home. Its functions use `work`, a temporary folder the
# sourcing script sets.

fail() { echo "${0##*/}: FAIL: $*" >&2; exit 1; }

require_display() {
    [ -n "${DISPLAY:-}" ] || fail "no X display (DISPLAY is unset); run it inside scripts/test-session.sh"
    xdotool getdisplaygeometry >/dev/null 2>&1 || fail "X display $DISPLAY does not answer; run it inside scripts/test-session.sh"
}

# True while the process runs (an ended child stays a zombie until it is waited for).
running() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }

# Polls a condition every 0.1 s; gives up at once if the process in `watched_pid`
# ends meanwhile.
watched_pid=""
wait_for() {
    local what=$1 seconds=$2
    shift 2
    local tries=$((seconds * 10))
    until "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "timed out after ${seconds}s waiting for $what"
        [ -z "$watched_pid" ] || running "$watched_pid" || fail "quenlo ended while waiting for $what"
        sleep 0.1
    done
}

# Copies the executable into $work/app and prepares one home and runtime directory
# for every Quenlo of the test (the runtime directory is where Quenlo's lock lives).
install_quenlo() {
    mkdir -p "$work/app" "$work/home"
    mkdir -p -m 700 "$work/runtime"
    cp "$1" "$work/app/quenlo"
}

# run_quenlo <name>: runs Quenlo in the background, output in $work/<name>.out and
# .err; sets quenlo_pid.
run_quenlo() {
    HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_DATA_HOME="$work/home/.local/share" XDG_CACHE_HOME="$work/home/.cache" XDG_CONFIG_DIRS="" \
    QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS="" \
        "$work/app/quenlo" >"$work/$1.out" 2>"$work/$1.err" </dev/null &
    quenlo_pid=$!
}

# Ends a process we started and reaps it, whatever state it is in.
stop_process() {
    [ -n "$1" ] || return 0
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
