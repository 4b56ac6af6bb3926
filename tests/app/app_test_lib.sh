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

# Prepares one home and runtime directory for every Quenlo of the test (the runtime
# directory is where Quenlo's lock lives), and, as in an installation, the executable
# at $work/prefix/bin/quenlo. Without an argument the test has installed it itself
# (`cmake --install`) and sets quenlo_exe.
quenlo_exe=""
install_quenlo() {
    mkdir -p "$work/home"
    mkdir -p -m 700 "$work/runtime"
    if [ $# -gt 0 ]; then
        mkdir -p "$work/prefix/bin"
        cp "$1" "$work/prefix/bin/quenlo"
        quenlo_exe="$work/prefix/bin/quenlo"
    fi
    recording="$work/home/Documents/recording.wav"
}

# install_test_model <make_test_model executable>: a generated model under the real
# model's name in the installation's data folder, which Quenlo searches first: no model
# installed elsewhere on the machine takes its place.
install_test_model() {
    model="$(dirname "$quenlo_exe")/../share/quenlo/ggml-base.en.bin"
    mkdir -p "$(dirname "$model")"
    "$1" tiny "$model" >/dev/null
    model=$(realpath "$model")
}

# run_quenlo <name> [<output file> | closed]: runs Quenlo in the background in the
# private home, standard output in $work/<name>.out (or the given file, or closed) and
# standard error in $work/<name>.err, on the session bus in `quenlo_bus` if set, after
# the command in quenlo_env if any (env -u DISPLAY...); sets quenlo_pid.
quenlo_env=()
run_quenlo() {
    local output=${2:-$work/$1.out}
    # env runs Quenlo in its own place, so that quenlo_pid is Quenlo's.
    local private_home=(env HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config"
        XDG_DATA_HOME="$work/home/.local/share" XDG_CACHE_HOME="$work/home/.cache" XDG_CONFIG_DIRS=""
        QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS="${quenlo_bus:-}" "${quenlo_env[@]}")
    if [ "$output" = closed ]; then
        "${private_home[@]}" "$quenlo_exe" >&- 2>"$work/$1.err" </dev/null &
    else
        "${private_home[@]}" "$quenlo_exe" >"$output" 2>"$work/$1.err" </dev/null &
    fi
    quenlo_pid=$!
}

# With QUENLO_E2E_SCREENSHOTS=<folder>, saves a screenshot of the screen there.
screenshot() {
    [ -n "${QUENLO_E2E_SCREENSHOTS:-}" ] || return 0
    mkdir -p "$QUENLO_E2E_SCREENSHOTS"
    import -window root "$QUENLO_E2E_SCREENSHOTS/$1.png"
}

# A tray host at the top right of the screen; sets tray_pid.
start_tray_host() {
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
        --transparent false --tint 0x333333 >"$work/trayer.log" 2>&1 &
    tray_pid=$!
}

# Waits for Quenlo's icon in the tray host; sets tray_icon.
find_tray_icon() {
    wait_for "the tray icon" 20 xdotool search --onlyvisible --class quenlo
    tray_icon=$(xdotool search --onlyvisible --class quenlo | head -n 1)
}

# menu_entry top|bottom: right click on the tray icon opens the menu; a click picks the
# entry at its top (Open Quenlo) or its bottom (Quit).
menu_entry() {
    local which=$1 before menu
    before=$(xdotool search --onlyvisible --class quenlo | sort)
    xdotool mousemove --window "$tray_icon" 11 11 click 3
    new_window() { comm -13 <(echo "$before") <(xdotool search --onlyvisible --class quenlo | sort) | grep -q .; }
    wait_for "the tray menu" 10 new_window
    menu=$(comm -13 <(echo "$before") <(xdotool search --onlyvisible --class quenlo | sort) | head -n 1)
    screenshot "menu-$which"
    eval "$(xdotool getwindowgeometry --shell "$menu")"
    if [ "$which" = top ]; then
        xdotool mousemove --window "$menu" $((WIDTH / 2)) 12 click 1
    else
        xdotool mousemove --window "$menu" $((WIDTH / 2)) $((HEIGHT - 12)) click 1
    fi
}

# Open Quenlo from the tray menu; sets window.
open_window() {
    menu_entry top
    wait_for "the recorder window" 10 xdotool search --onlyvisible --name '^Quenlo$'
    window=$(xdotool search --onlyvisible --name '^Quenlo$' | head -n 1)
}

# dictate <sentence>: in the focused recorder window, Return starts a new recording, the
# sentence is spoken into the microphone ($work/speech.wav), Return stops.
dictate() {
    wait_for "keyboard focus in the recorder window" 10 test "$(xdotool getwindowfocus)" = "$window"
    rm -f "$recording"
    xdotool key Return # Start
    wait_for "the recording file" 10 test -s "$recording"
    espeak-ng -v en-us -s 150 -w "$work/speech.wav" "$1"
    paplay "$work/speech.wav"
    screenshot recording
    xdotool key Return # Stop
}

# expect_exit_zero <what>: Quenlo ends by itself after <what>, with success.
expect_exit_zero() {
    watched_pid=""
    wait_for "quenlo to end after $1" 10 eval "! running $quenlo_pid"
    local status=0
    wait "$quenlo_pid" || status=$?
    quenlo_pid=""
    [ "$status" -eq 0 ] || fail "quenlo exited with status $status after $1"
}

# Quit from the tray menu.
quit_quenlo() {
    menu_entry bottom
    expect_exit_zero Quit
}

# The exit trap of a test that runs Quenlo and a tray host: ends both, shows what they
# printed when the test failed, and removes the work folder.
tray_pid=""
cleanup_app_test() {
    local status=$?
    stop_process "${quenlo_pid:-}"
    stop_process "$tray_pid"
    stop_process "${bus_pid:-}"
    if [ "$status" -ne 0 ]; then
        for f in "$work"/*.out "$work"/*.err "$work"/*.log; do [ -f "$f" ] && { echo "--- $f:" >&2; cat "$f" >&2; }; done
    fi
    rm -rf "$work"
}

# Ends a process we started and reaps it, whatever state it is in.
stop_process() {
    [ -n "$1" ] || return 0
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
