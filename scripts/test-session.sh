#!/usr/bin/env bash
# Runs a command inside a private desktop session for the tests: an Xvfb display with
# the openbox window manager, and a PulseAudio server whose default input is a virtual microphone fed by whatever is
# played into its default output. Both are stopped when the command ends.
#   scripts/test-session.sh <command> [args...]
set -euo pipefail

fail() { echo "test-session: $*" >&2; exit 1; }
command -v Xvfb >/dev/null || fail "Xvfb is missing; run scripts/setup.sh"
command -v pulseaudio >/dev/null || fail "pulseaudio is missing; run scripts/setup.sh"
command -v openbox >/dev/null || fail "openbox is missing; run scripts/setup.sh"

session=$(mktemp -d /tmp/quenlo-session.XXXXXX)
xvfb_pid=""
wm_pid=""
cleanup() {
    if [ -n "${PULSE_SERVER:-}" ]; then pactl exit >/dev/null 2>&1 || true; fi
    if [ -n "$wm_pid" ]; then kill "$wm_pid" 2>/dev/null || true; wait "$wm_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$session"
}
trap cleanup EXIT

# Display: Xvfb picks a free number and reports it on a pipe.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1440x900x24 -nolisten tcp >"$session/xvfb.log" 2>&1 &
xvfb_pid=$!
display=""
read -r -t 20 display <&"$displayfd" || true
exec {displayfd}>&-
[ -n "$display" ] || fail "Xvfb did not start: $(tail -n 1 "$session/xvfb.log")"
export DISPLAY=":$display"

# A window manager, as on a desktop: focus, activation, minimising and stacking are
# its work, and the window's behaviour under them is part of what is tested.
# openbox announces itself on the root window once it manages the screen.
openbox --sm-disable >"$session/openbox.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' \
    || fail "openbox did not start: $(tail -n 1 "$session/openbox.log")"

# Sound: a null sink, and a remapped source on its monitor as the default input,
# since Qt lists no monitor sources as input devices.
export XDG_RUNTIME_DIR="$session/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
cat >"$session/default.pa" <<PA
load-module module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse-native auth-anonymous=1
load-module module-null-sink sink_name=quenlo_speaker rate=48000 sink_properties=device.description=QuenloSpeaker
load-module module-remap-source master=quenlo_speaker.monitor source_name=quenlo_mic source_properties=device.description=QuenloMicrophone
set-default-sink quenlo_speaker
set-default-source quenlo_mic
PA
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse-native"
# No session bus: PulseAudio gives up when another server holds its name there, as the
# user's own does on the user's bus, or the tests' own on one started for the display.
DBUS_SESSION_BUS_ADDRESS=disabled: pulseaudio --daemonize=yes -n -F "$session/default.pa" --exit-idle-time=-1 \
    --disallow-exit=no --use-pid-file=no --log-target=file:"$session/pulse.log" >/dev/null 2>&1 \
    || fail "PulseAudio did not start: $(tail -n 1 "$session/pulse.log" 2>/dev/null)"
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || fail "PulseAudio does not answer on $PULSE_SERVER"
# While nobody asks for less, the null sink renders in 2 s blocks, so a fresh recording
# would hear nothing for up to 2 s. One low-latency listener on the microphone for the
# whole session keeps the chain in step with the clock; wait for its first bytes.
pacat --record --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20 -d quenlo_mic 2>/dev/null \
    | { head -c 1 >/dev/null; : >"$session/mic-live"; cat >/dev/null; } &
for _ in $(seq 50); do [ -e "$session/mic-live" ] && break; sleep 0.1; done
[ -e "$session/mic-live" ] || fail "the virtual microphone quenlo_mic delivers no sound"

set +e
"$@"
status=$?
set -e
exit $status
