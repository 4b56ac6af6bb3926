#!/usr/bin/env bash
# A PulseAudio server of a test's own, which the test may kill and restart without
# disturbing the session's server that other tests share.
#   private-pulse.sh start DIR [microphone|silent]   starts it; its socket is DIR/pulse-native
#   private-pulse.sh kill DIR                         kills it at once, as a crash would
# "microphone" (the default) gives a default input that plays a steady tone; "silent"
# gives a server with no input at all; "two-inputs" gives two microphones, each a
# remapped source on a null sink's monitor, hearing 440 Hz (private_mic, the default)
# and 1 kHz (second_mic); "speakers" gives the 440 Hz microphone (private_mic) beside
# speakers (a null sink) that play 1 kHz, whose monitor is then the only other source.
# The test points PULSE_SERVER at unix:DIR/pulse-native.
set -euo pipefail

command=${1:?start or kill}
dir=${2:?directory}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

case "$command" in
start)
    kind=${3:-microphone}
    mkdir -p -m 700 "$dir/runtime"
    {
        echo "load-module module-native-protocol-unix socket=$dir/pulse-native auth-anonymous=1"
        case "$kind" in
        microphone | speakers)
            echo "load-module module-sine-source source_name=private_mic rate=16000 frequency=440"
            ;;
        two-inputs)
            for mic in private_mic:440 second_mic:1000; do
                echo "load-module module-null-sink sink_name=${mic%:*}_room rate=16000"
                echo "load-module module-sine sink=${mic%:*}_room frequency=${mic#*:}"
                echo "load-module module-remap-source master=${mic%:*}_room.monitor source_name=${mic%:*}"
            done
            ;;
        silent) ;;
        *) echo "private-pulse: unknown kind $kind" >&2; exit 2 ;;
        esac
        if [ "$kind" = speakers ]; then
            echo "load-module module-null-sink sink_name=speakers rate=16000"
            echo "load-module module-sine sink=speakers frequency=1000"
            echo "set-default-sink speakers"
        fi
        [ "$kind" = silent ] || echo "set-default-source private_mic"
    } >"$dir/default.pa"
    rm -f "$dir/pulse-native"
    # Its own runtime and state folders, so it shares nothing with another server.
    XDG_RUNTIME_DIR="$dir/runtime" PULSE_STATE_PATH="$dir/state" PULSE_RUNTIME_PATH="$dir/runtime" \
        setsid pulseaudio --daemonize=no -n -F "$dir/default.pa" --exit-idle-time=-1 \
        --use-pid-file=no --log-target=file:"$dir/pulse.log" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
        PULSE_SERVER="unix:$dir/pulse-native" pactl info >/dev/null 2>&1 && exit 0
        sleep 0.05
    done
    echo "private-pulse: PulseAudio did not start: $(tail -n 1 "$dir/pulse.log" 2>/dev/null)" >&2
    exit 1
    ;;
kill)
    [ -f "$dir/pid" ] || exit 0
    pid=$(cat "$dir/pid")
    rm -f "$dir/pid"
    kill -KILL "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    ;;
*)
    echo "private-pulse: unknown command $command" >&2
    exit 2
    ;;
esac
