#!/usr/bin/env bash
# Drives the real quenlo executable the way a person does: open the window from the
# tray menu, Start, speak, Stop, read the transcript back from the clipboard, get the
# window back from the window manager, drag it, Quit, paste the transcript once more
# after Quit, start again and find the window where it was dragged to.
# Needs an X display and a PulseAudio server whose default source hears the default
# sink (scripts/test-session.sh provides both); starts its own tray host and
# clipboard manager.
#   end_to_end.sh <quenlo executable> <make_test_model executable> <clipboard_manager executable>
# With QUENLO_E2E_SCREENSHOTS=<folder> it also saves screenshots there.
set -euo pipefail

quenlo_bin=$1
make_test_model=$2
clipboard_manager=$3

# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"

require_display
for tool in xdotool xclip trayer espeak-ng paplay pactl sox soxi wmctrl xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"
done
pactl info >/dev/null 2>&1 || fail "no PulseAudio server answers; run it inside scripts/test-session.sh"

work=$(mktemp -d /tmp/quenlo-e2e.XXXXXX)
tray_pid=""
quenlo_pid=""
clipboard_pid=""
cleanup() {
    local status=$?
    if [ -n "$quenlo_pid" ] && kill -0 "$quenlo_pid" 2>/dev/null; then kill "$quenlo_pid"; wait "$quenlo_pid" 2>/dev/null || true; fi
    if [ -n "$tray_pid" ]; then kill "$tray_pid" 2>/dev/null || true; wait "$tray_pid" 2>/dev/null || true; fi
    if [ -n "$clipboard_pid" ]; then kill "$clipboard_pid" 2>/dev/null || true; wait "$clipboard_pid" 2>/dev/null || true; fi
    if [ "$status" -ne 0 ] && [ -f "$work/quenlo.out" ]; then
        echo "--- quenlo standard output:" >&2; cat "$work/quenlo.out" >&2
        echo "--- quenlo standard error (last lines):" >&2; tail -n 20 "$work/quenlo.err" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The application as installed, with a generated model under the real model's name.
install_quenlo "$quenlo_bin"
install_test_model "$make_test_model"

# A clipboard manager, as desktops run one: it keeps the clipboard when its owner quits.
"$clipboard_manager" >"$work/clipboard.log" 2>&1 &
clipboard_pid=$!
wait_for "the clipboard manager" 10 grep -qx ready "$work/clipboard.log"

# A tray host, before Quenlo asks for one.
start_tray_host
wait_for "the tray host" 10 xdotool search --onlyvisible --class trayer

run_quenlo quenlo
watched_pid=$quenlo_pid

find_tray_icon
xdotool search --onlyvisible --name '^Quenlo$' >/dev/null 2>&1 && fail "a window is open before the menu was used"

open_window

# Top right of the work area (the screen less the tray's strip): the frame's left edge
# 480 + 20 in from the right edge, its bottom 300 below the top, unless that would lift
# the title bar out of the work area.
eval "$(xdotool getwindowgeometry --shell "$window")"
# shellcheck disable=SC2153 # X, Y, WIDTH, HEIGHT come from the line above
[ "$WIDTH" -eq 480 ] && [ "$HEIGHT" -eq 296 ] || fail "the window is ${WIDTH}x${HEIGHT}, not 480x296"
read -r area_x area_y area_width _ < <(xprop -root -notype _NET_WORKAREA | sed 's/.*= //; s/,//g')
frame_extents() { xprop -id "$window" -notype _NET_FRAME_EXTENTS | grep -q '= '; }
wait_for "the window manager's frame" 10 frame_extents
read -r border_left _ border_top border_bottom < <(xprop -id "$window" -notype _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
# The window's own position on the screen. Not xdotool's: for a window inside a window
# manager's frame it adds the window's offset in the frame a second time.
window_position() { xwininfo -id "$window" | awk '/Absolute upper-left X/ { x = $4 } /Absolute upper-left Y/ { y = $4 } END { print x, y }'; }
placed() {
    read -r X Y < <(window_position)
    local left=$((X - border_left)) top=$((Y - border_top)) bottom=$((Y + HEIGHT + border_bottom))
    [ "$left" -eq $((area_x + area_width - 20 - 480)) ] || return 1
    [ "$bottom" -eq $((area_y + 300)) ] || { [ "$top" -eq "$area_y" ] && [ "$bottom" -gt $((area_y + 300)) ]; }
}
wait_for "the window at the top right of the work area" 5 placed

dictate "Please write this sentence down for me."
outcome='✅ Transcription copied to clipboard: "hello world"'
wait_for "the transcription" 60 grep -qxF "$outcome" "$work/quenlo.out"
screenshot transcript

expected=$(printf '%s\n' \
    "✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets" \
    "📏 MenuBar: Icon size = QSize(22, 22)" \
    "Recording saved to: $recording" \
    "$outcome")
[ "$(cat "$work/quenlo.out")" = "$expected" ] || fail "standard output differs from: $expected"

clipboard=$(xclip -selection clipboard -o)
[ "$clipboard" = "hello world" ] || fail "the clipboard holds '$clipboard', not 'hello world'"

# The recording: 16 kHz mono 16-bit WAV holding the sentence, not silence.
[ "$(soxi -t "$recording")" = wav ] && [ "$(soxi -r "$recording")" = 16000 ] \
    && [ "$(soxi -c "$recording")" = 1 ] && [ "$(soxi -b "$recording")" = 16 ] \
    || fail "the recording is not 16 kHz mono 16-bit WAV: $(soxi "$recording" | tr -s '\n' ' ')"
speech_seconds=$(soxi -D "$work/speech.wav")
recorded_seconds=$(soxi -D "$recording")
awk -v r="$recorded_seconds" -v s="$speech_seconds" 'BEGIN { exit !(r >= s) }' \
    || fail "the recording lasts ${recorded_seconds}s, less than the ${speech_seconds}s sentence"
rms=$(sox "$recording" -n stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }')
awk -v rms="$rms" 'BEGIN { exit !(rms > 0.005) }' || fail "the recording is silent (RMS amplitude $rms)"

# --- The recorder window by keyboard alone: ten more Start/Stop cycles with Return, Stop pressed twice each time,
# the level bars under a loud tone and in silence, and a Stop after the microphone
# vanished mid-recording.
# Counts the pixels drawn over the panel's fill in the bar area (window coordinates),
# against a point of the fill beside it.
bar_pixels() {
    import -window "$window" "$work/bars-shot.png"
    local fill
    fill=$(convert "$work/bars-shot.png" -format '%[pixel:p{40,190}]' info:)
    convert "$work/bars-shot.png" -crop 256x124+112+76 +repage "$work/bars-area.png"
    convert -size 256x124 "xc:$fill" "$work/bars-fill.png"
    compare -metric AE -fuzz 4% "$work/bars-area.png" "$work/bars-fill.png" null: 2>&1 | awk '{ print int($1) }' || true
}
# True when the count that the named function prints is above or below a bound.
above() { [ "$("$1")" -gt "$2" ]; }
below() { [ "$("$1")" -lt "$2" ]; }
outcomes() { grep -cxF "$outcome" "$work/quenlo.out" || true; }
saves() { grep -cxF "Recording saved to: $recording" "$work/quenlo.out" || true; }
quenlo_listens() { pactl list source-outputs | grep -q "application.process.id = \"$quenlo_pid\""; }
keyboard_cycle() { # <what to do while recording>
    local before_outcomes before_saves bytes
    before_outcomes=$(outcomes) before_saves=$(saves)
    xdotool key Return # Start
    wait_for "the listening panel after Return" 10 above bar_pixels 1500
    "$@"
    # Stop twice 1 ms apart, Return with keypad Enter as a double press gives: the second
    # must not record over the recording being transcribed.
    xdotool key --delay 1 Return KP_Enter
    wait_for "Return to stop the recording" 10 above saves "$before_saves"
    bytes=$(stat -c %s "$recording")
    wait_for "the transcription after Return" 60 above outcomes "$before_outcomes"
    wait_for "the transcript panel" 10 below bar_pixels 200
    ! quenlo_listens && [ "$(saves)" = $((before_saves + 1)) ] && [ "$(stat -c %s "$recording")" = "$bytes" ] \
        || fail "the second press on Stop started a new recording"
}

# The bars: silence, then a loud tone, then silence again.
loud_bars() {
    local quiet loud player
    wait_for "the quiet bars" 10 below bar_pixels 6000
    quiet=$(bar_pixels)
    sox -n -r 48000 -c 2 "$work/tone.wav" synth 2 sine 440 vol 0.9
    paplay "$work/tone.wav" &
    player=$!
    wait_for "the bars to rise under a loud tone" 5 above bar_pixels $((quiet * 2))
    loud=$(bar_pixels)
    screenshot loud-bars
    wait "$player"
    wait_for "the bars to fall back in silence" 10 below bar_pixels $((quiet * 3 / 2))
    echo "end_to_end: bar pixels $quiet in silence, $loud under the tone"
}
keyboard_cycle loud_bars
for _ in $(seq 8); do keyboard_cycle sleep 0.3; done

# The microphone goes away during the recording (a headset unplugged): the module
# that provides quenlo_mic is unloaded, and put back afterwards as it was.
mic_module=$(pactl list short modules | awk -F'\t' '$2 == "module-remap-source" && $3 ~ /source_name=quenlo_mic( |$)/ { print $1; exit }')
[ -n "$mic_module" ] || fail "quenlo_mic is not the remapped source of scripts/test-session.sh"
mic_arguments=$(pactl list short modules | awk -F'\t' -v m="$mic_module" '$1 == m { print $3 }')
microphone_gone() { ! pactl list short sources | awk '{ print $2 }' | grep -qx quenlo_mic; }
restore_microphone() {
    microphone_gone || return 0
    # shellcheck disable=SC2086 # the module's arguments, one word each
    pactl load-module module-remap-source $mic_arguments >/dev/null
    pactl set-default-source quenlo_mic
    # The session's low-latency listener went with the source; without one the chain
    # falls back to 2 s blocks. This one ends with the sound server.
    { pacat --record --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20 -d quenlo_mic 2>/dev/null \
        | { head -c 1 >/dev/null; : >"$work/mic-live"; cat >/dev/null; }; } </dev/null >/dev/null 2>&1 &
    disown
}
# Put back whatever happens, for the tests that come after.
# shellcheck disable=SC2154 # mic_status is set by the trap itself
trap 'mic_status=$?; restore_microphone >/dev/null 2>&1 || true; (exit $mic_status); cleanup' EXIT
lost_lines() { grep -c '^Audio input lost: ' "$work/quenlo.out" || true; }
band_rms() { sox "$recording" -n sinc "$1" stat 2>&1 | awk '/^RMS +amplitude/ { print $3 }'; }
# The sound server moves the recording to the speakers' monitor, the only source left:
# Quenlo ends the recording there by itself, as if Stop had been pressed, and none of
# what the speakers play afterwards reaches the recording.
before_outcomes=$(outcomes) before_saves=$(saves)
xdotool key Return # Start
wait_for "the listening panel after Return" 10 above bar_pixels 1500
wait_for "quenlo to record from quenlo_mic" 10 quenlo_listens
sox -n -r 48000 -c 2 "$work/low.wav" synth 1 sine 440 vol 0.5
paplay "$work/low.wav"
pactl unload-module "$mic_module"
wait_for "the microphone to vanish" 10 microphone_gone
wait_for "the line about the lost input" 10 above lost_lines 0
wait_for "the recording to end by itself" 10 above saves "$before_saves"
wait_for "the transcription without a key press" 60 above outcomes "$before_outcomes"
wait_for "the transcript panel" 10 below bar_pixels 200
screenshot ended-by-itself
recorded_bytes=$(stat -c %s "$recording")
sox -n -r 48000 -c 2 "$work/high.wav" synth 1 sine 1000 vol 0.5
paplay "$work/high.wav"
[ "$(stat -c %s "$recording")" = "$recorded_bytes" ] || fail "the recording grew after the microphone vanished"
high=$(band_rms 900-1100)
low=$(band_rms 400-480)
awk -v h="$high" -v l="$low" 'BEGIN { exit !(l > 0.05 && h < l / 100) }' \
    || fail "the recording holds the speakers' 1 kHz (RMS $high) beside the microphone's 440 Hz (RMS $low)"
[ "$(lost_lines)" = 1 ] || fail "the lost input was reported $(lost_lines) times"
xdotool search --onlyvisible --name '^Microphone Access Denied$' >/dev/null 2>&1 \
    && fail "the end of the recording raised the microphone alert"
[ "$(soxi -r "$recording")" = 16000 ] || fail "the recording stopped after the microphone vanished is unreadable"
restore_microphone
wait_for "the microphone back" 10 test -e "$work/mic-live"
trap cleanup EXIT

# The microphone that came back records again; as long as the first recording, so that
# a new one is told from it by its length.
as_long_as_the_first() { awk -v r="$(soxi -D "$recording" 2>/dev/null || echo 0)" -v f="$recorded_seconds" 'BEGIN { exit !(r > f) }'; }
record_as_long_as_the_first() {
    wait_for "quenlo to record from the microphone put back" 10 quenlo_listens
    wait_for "a recording as long as the first" 20 as_long_as_the_first
}
keyboard_cycle record_as_long_as_the_first

# "Open Quenlo" brings the window back from wherever the window manager put it, though
# the window has no minimise button: minimised, shaded, or on another desktop. Back
# means on the user's desktop, mapped, unshaded, active and focused, where it was.
read -r placed_x placed_y < <(window_position)
wmctrl -n 2
wm_state() { xprop -id "$window" WM_STATE _NET_WM_STATE _NET_WM_DESKTOP; }
window_back() {
    local state
    state=$(wm_state)
    grep -q 'window state: Normal' <<<"$state" && ! grep -qE '_NET_WM_STATE_(HIDDEN|SHADED)' <<<"$state" \
        && [ "$(xprop -id "$window" -notype _NET_WM_DESKTOP | sed 's/.*= //')" = \
             "$(xprop -root -notype _NET_CURRENT_DESKTOP | sed 's/.*= //')" ] \
        && [ "$(xdotool getactivewindow)" = "$window" ] && [ "$(xdotool getwindowfocus)" = "$window" ] \
        && [ "$(window_position)" = "$placed_x $placed_y" ]
}
for away in minimised shaded elsewhere; do
    case $away in
        minimised) xdotool windowminimize "$window"; went() { wm_state | grep -q 'window state: Iconic'; } ;;
        shaded) wmctrl -i -r "$window" -b add,shaded; went() { wm_state | grep -q _NET_WM_STATE_SHADED; } ;;
        elsewhere) wmctrl -i -r "$window" -t 1; went() { wm_state | grep -q '_NET_WM_DESKTOP(CARDINAL) = 1'; } ;;
    esac
    wait_for "the window to be $away" 10 went
    menu_entry top # Open Quenlo
    wait_for "Open Quenlo to bring the $away window back" 10 window_back
done
wmctrl -n 1

# The user drags the window somewhere else by its title bar; the next start puts it
# there again (checked after Quit).
xdotool mousemove --sync --window "$window" 200 -10 mousedown 1
# The window manager starts the move once the pointer has gone a little way.
steps=0
until [ "$(window_position)" != "$placed_x $placed_y" ]; do
    steps=$((steps + 1))
    [ "$steps" -le 40 ] || fail "the window manager does not move the window by its title bar"
    xdotool mousemove_relative --sync -- -5 5
done
xdotool mousemove --sync $((placed_x + 200 - 300)) $((placed_y - 10 + 200))
moved() { [ "$(window_position)" = "$((placed_x - 300)) $((placed_y + 200))" ]; }
wait_for "the window dragged away" 10 moved
xdotool mouseup 1
read -r moved_x moved_y < <(window_position)
wait_for "keyboard focus in the dragged window" 10 test "$(xdotool getwindowfocus)" = "$window"

# Quit in the middle of a second recording: Quenlo ends at once and keeps what was said.
xdotool key Return # Start
# The new recording replaces the first: shorter than it until the sentence is in.
second_started() { awk -v r="$(soxi -D "$recording" 2>/dev/null || echo 0)" -v f="$recorded_seconds" 'BEGIN { exit !(r < f) }'; }
wait_for "the second recording" 10 second_started
espeak-ng -v en-us -s 150 -w "$work/speech2.wav" "Quit now, but keep every word."
paplay "$work/speech2.wav"
quit_quenlo
[ "$(soxi -r "$recording")" = 16000 ] && [ "$(soxi -c "$recording")" = 1 ] \
    || fail "the recording cut short by Quit is not a readable 16 kHz mono WAV"
kept_seconds=$(soxi -D "$recording")
awk -v r="$kept_seconds" -v s="$(soxi -D "$work/speech2.wav")" 'BEGIN { exit !(r >= s) }' \
    || fail "Quit kept ${kept_seconds}s of the recording, less than the sentence spoken into it"

# The transcript outlives Quenlo: the clipboard manager took it over at Quit.
grep -qx 'saved 11' "$work/clipboard.log" || fail "Quenlo did not hand the clipboard to the clipboard manager at Quit"
clipboard=$(xclip -selection clipboard -o)
[ "$clipboard" = "hello world" ] || fail "after Quit the clipboard holds '$clipboard', not 'hello world'"

# Started again, Quenlo opens its window where it was dragged to before Quit.
run_quenlo quenlo
watched_pid=$quenlo_pid
find_tray_icon
open_window
at_saved_place() { [ "$(window_position)" = "$moved_x $moved_y" ]; }
wait_for "the window where it was before Quit ($moved_x, $moved_y)" 10 at_saved_place

echo "end_to_end: passed (recorded ${recorded_seconds}s, RMS amplitude $rms)"
