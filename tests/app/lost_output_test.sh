#!/usr/bin/env bash
# Quenlo whose standard output is closed from the start (`quenlo >&-`), whose reader
# goes away after the first line (`quenlo | head -n 1`), or whose reader never reads,
# records, transcribes and puts the transcript on the clipboard as always, and ends
# only when told to.
#   lost_output_test.sh <quenlo executable> <make_test_model executable>
# Needs the test session's display and microphone (scripts/test-session.sh); starts its
# own tray host.
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-lost-output.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
tray_pid=""
reader_pid=""
cleanup() {
    local status=$?
    stop_process "${quenlo_pid:-}"
    stop_process "$reader_pid"
    stop_process "$tray_pid"
    if [ "$status" -ne 0 ]; then
        for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f:" >&2; tail -n 20 "$f" >&2; }; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
require_display
for tool in xdotool xclip trayer espeak-ng paplay soxi; do
    command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"
done
install_quenlo "$1"
install_test_model "$2"
start_tray_host
wait_for "the tray host" 10 xdotool search --onlyvisible --class trayer

clipboard_holds() { [ "$(xclip -selection clipboard -o 2>/dev/null)" = "$1" ]; }

# transcribes <how>: a whole dictation by the Quenlo that runs; its transcript reaches
# the clipboard, Quenlo goes on running and records once more, and Quit ends it with
# success, not with SIGPIPE.
transcribes() {
    watched_pid=$quenlo_pid
    find_tray_icon
    open_window
    local cycle
    for cycle in first second; do
        echo "nothing yet" | xclip -selection clipboard -i
        wait_for "the clipboard cleared before the $cycle dictation" 10 clipboard_holds "nothing yet"
        dictate "Please write this sentence down for me."
        wait_for "the $cycle transcript on the clipboard with standard output $1" 60 clipboard_holds "hello world"
        [ "$(soxi -r "$recording")" = 16000 ] || fail "the $cycle recording with standard output $1 is not a readable WAV"
    done
    quit_quenlo
}

# Closed from the start: the lock file and the recording, the first files Quenlo opens,
# would get descriptor 1 and every diagnostic line.
run_quenlo closed closed
transcribes closed
lock="$work/runtime/quenlo.lock"
[ -f "$lock" ] || fail "Quenlo left no lock file in its runtime directory"
[ ! -s "$lock" ] || fail "diagnostics went into the lock file: $(head -c 200 "$lock")"
grep -q "Recording saved to" "$recording" && fail "diagnostics went into the recording"

# A reader that takes the first line and goes away, before the first recording.
mkfifo "$work/output"
head -n 1 <"$work/output" >"$work/head.out" &
reader_pid=$!
run_quenlo piped "$work/output"
wait_for "head to take its line and end" 20 eval "! running $reader_pid"
wait "$reader_pid" || fail "head -n 1 failed"
reader_pid=""
[ "$(cat "$work/head.out")" = "✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets" ] \
    || fail "head -n 1 read '$(cat "$work/head.out")'"
transcribes "read by head -n 1"

# A reader that is there but reads nothing (a paused terminal, a stuck log daemon):
# its pipe is full before Quenlo writes its first line, and stays full.
mkfifo "$work/stalled"
sleep 600 <"$work/stalled" &
reader_pid=$!
exec 9>"$work/stalled"
head -c 65536 /dev/zero >&9 # a Linux pipe's whole buffer
timeout 1 sh -c 'printf x' >&9 && fail "the pipe to Quenlo is not full"
run_quenlo stalled "$work/stalled"
exec 9>&-
transcribes "never read"

echo "lost_output_test: passed"
