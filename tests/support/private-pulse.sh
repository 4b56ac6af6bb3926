#!/usr/bin/env bash
# A PulseAudio server of a test's own, which the test may kill and restart without
# disturbing the session's server that other tests share.
#   private-pulse.sh start DIR [KIND]   starts it; its socket is DIR/pulse-native
#   private-pulse.sh kill DIR           kills it at once, as a crash would
# "microphone" (the default) gives a default input that plays a steady tone; "silent"
# gives a server with no input at all; "two-inputs" gives two microphones, each a
# remapped source on a null sink's monitor, hearing 440 Hz (private_mic, the default)
# and 660 Hz (second_mic); "speakers" gives the 440 Hz microphone (private_mic) beside
# speakers (a null sink) that play 1 kHz, whose monitor is then the only other source;
# "monitor-default" gives the two microphones and the speakers, whose monitor is the
# default input.
# The test points PULSE_SERVER at unix:DIR/pulse-native.
#
# QUENLO_TEST_SOUND_SERVER=pipewire gives PipeWire's PulseAudio server instead, as many
# desktops run it, with WirePlumber deciding where streams go. It has no sine modules,
# so sox plays each tone into its null sink; a "silent" PipeWire still has its
# stand-in output, whose monitor is then the only source.
set -euo pipefail

command=${1:?start or kill}
dir=${2:?directory}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

server=${QUENLO_TEST_SOUND_SERVER:-pulseaudio}
address="unix:$dir/pulse-native"

# The setup of a kind, as commands for the server: "play SINK HZ" lines are tones that
# PulseAudio's module-sine plays and PipeWire gets from sox.
setup() {
    # The speakers first: a new default output takes the tones that played into the old.
    if [ "$1" = speakers ] || [ "$1" = monitor-default ]; then
        echo "load-module module-null-sink sink_name=speakers rate=16000"
        echo "play speakers 1000"
        echo "set-default-sink speakers"
    fi
    case "$1" in
    microphone | speakers)
        if [ "$server" = pipewire ]; then
            echo "load-module module-null-sink sink_name=private_mic_room rate=16000"
            echo "play private_mic_room 440"
            echo "load-module module-remap-source master=private_mic_room.monitor source_name=private_mic"
        else
            echo "load-module module-sine-source source_name=private_mic rate=16000 frequency=440"
        fi
        ;;
    two-inputs | monitor-default)
        for mic in private_mic:440 second_mic:660; do
            echo "load-module module-null-sink sink_name=${mic%:*}_room rate=16000"
            echo "play ${mic%:*}_room ${mic#*:}"
            echo "load-module module-remap-source master=${mic%:*}_room.monitor source_name=${mic%:*}"
        done
        ;;
    silent) ;;
    *) echo "private-pulse: unknown kind $1" >&2; return 2 ;;
    esac
    case "$1" in
    silent) ;;
    monitor-default) echo "set-default-source speakers.monitor" ;;
    *) echo "set-default-source private_mic" ;;
    esac
}

# Says which daemon of the server ended first, if one did.
died() { [ -s "$dir/died" ] && echo "private-pulse: $(head -n 1 "$dir/died")" >&2; }

# until_up <what> <command...>: polls the command for 10 s; on giving up says why: the
# daemon that ended meanwhile, or what never came.
until_up() {
    local what=$1
    shift
    for _ in $(seq 200); do
        "$@" >/dev/null 2>&1 && return 0
        died && return 1
        sleep 0.05
    done
    echo "private-pulse: $what" >&2
    return 1
}
default_of() { PULSE_SERVER=$address pactl "get-default-$1" 2>/dev/null; }

wait_for_server() {
    for _ in $(seq 200); do
        PULSE_SERVER=$address pactl info >/dev/null 2>&1 && return 0
        died && return 1
        sleep 0.05
    done
    echo "private-pulse: $server did not start: $(tail -n 1 "$dir/server.log" 2>/dev/null)" >&2
    return 1
}

# Its own runtime, state and configuration folders, so it shares nothing with another
# server, and no session bus, where it would give up if another server held its name;
# its own process group, so that kill takes every process of it.
start_pulseaudio() {
    { echo "load-module module-native-protocol-unix socket=$dir/pulse-native auth-anonymous=1"
      setup "$1" | sed 's/^play \([^ ]*\) \(.*\)/load-module module-sine sink=\1 frequency=\2/'
    } >"$dir/default.pa"
    XDG_RUNTIME_DIR="$dir/runtime" PULSE_STATE_PATH="$dir/state" PULSE_RUNTIME_PATH="$dir/runtime" \
        DBUS_SESSION_BUS_ADDRESS=disabled: setsid pulseaudio --daemonize=no -n -F "$dir/default.pa" --exit-idle-time=-1 \
        --use-pid-file=no --log-target=file:"$dir/server.log" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    wait_for_server
}

start_pipewire() {
    local tool
    for tool in pipewire wireplumber pipewire-pulse dbus-run-session sox pacat; do
        command -v "$tool" >/dev/null || { echo "private-pulse: $tool is missing; run scripts/setup.sh" >&2; return 1; }
    done
    local setup_lines
    setup_lines=$(setup "$1") || return 2
    # WirePlumber's Bluetooth monitor needs logind: where no login manager runs (most
    # containers) WirePlumber ends at once. Off, it also leaves the machine's Bluetooth
    # devices alone, as the other monitors, off, leave its sound cards and cameras. Each
    # name sorts after the file that sets the monitor up and before the 90-enable-all.lua
    # that starts it.
    mkdir -p "$dir/config/wireplumber/bluetooth.lua.d" "$dir/config/wireplumber/main.lua.d"
    echo 'bluez_monitor.enabled = false' >"$dir/config/wireplumber/bluetooth.lua.d/80-private.lua"
    echo 'alsa_monitor.enabled = false; v4l2_monitor.enabled = false; libcamera_monitor.enabled = false' >"$dir/config/wireplumber/main.lua.d/80-private.lua"
    rm -f "$dir/died"
    # WirePlumber needs a session bus, its own; the daemons start in order, each once the
    # one it talks to is listening. Each one that ends says so in DIR/died, with the
    # last line it logged that is not a mere message.
    env -u DBUS_SESSION_BUS_ADDRESS -u PIPEWIRE_REMOTE -u PULSE_SERVER \
        XDG_RUNTIME_DIR="$dir/runtime" XDG_STATE_HOME="$dir/state" XDG_CONFIG_HOME="$dir/config" \
        setsid dbus-run-session -- sh -c '
            cd "$0"
            run() { "$1" >"$1.log" 2>&1; echo "$1 ended with status $?: $(grep -v "^[MI] " "$1.log" | tail -n 1)" >>died; }
            run pipewire & until [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] || [ -s died ]; do sleep 0.02; done
            run wireplumber & run pipewire-pulse & wait' "$dir" </dev/null >"$dir/server.log" 2>&1 &
    echo $! >"$dir/pid"
    ln -sf "$dir/runtime/pulse/native" "$dir/pulse-native"
    wait_for_server || return 1
    # Without its session manager the server answers, but refuses to set a default
    # device ("Not supported"): wait for WirePlumber to choose one.
    until_up "WirePlumber chose no default output" eval '[ "$(default_of sink)" != @DEFAULT_SINK@ ]' || return 1
    # The tones start last: WirePlumber moves every playing stream, named device or not,
    # to a new default output.
    local line
    while read -r line; do
        [ -n "$line" ] || continue
        case "$line" in
        play\ *)
            set -- $line
            PULSE_SERVER=$address setsid sh -c 'sox -q -n -r 16000 -c 1 -b 16 -e signed-integer -t raw - \
                synth 36000 sine "$2" vol 0.5 | pacat --client-name="tone for $1" --raw --rate=16000 --channels=1 --format=s16le --device="$1"' \
                sh "$2" "$3" </dev/null >>"$dir/server.log" 2>&1 &
            echo $! >>"$dir/pid"
            ;;
        *) PULSE_SERVER=$address pactl $line >/dev/null ;;
        esac
    done < <(grep -v '^play ' <<<"$setup_lines"; grep '^play ' <<<"$setup_lines")
    # The session manager applies the default a moment later.
    local wanted
    wanted=$(sed -n 's/^set-default-source //p' <<<"$setup_lines")
    [ -z "$wanted" ] || until_up "the default source never became $wanted" eval '[ "$(default_of source)" = "$wanted" ]' || return 1
    ! died
}

case "$command" in
start)
    kind=${3:-microphone}
    rm -rf "$dir/runtime" "$dir/pulse-native"
    mkdir -p -m 700 "$dir/runtime"
    case "$server" in
    pulseaudio) start_pulseaudio "$kind" ;;
    pipewire) start_pipewire "$kind" ;;
    *) echo "private-pulse: unknown sound server $server" >&2; exit 2 ;;
    esac
    ;;
kill)
    [ -f "$dir/pid" ] || exit 0
    groups=$(cat "$dir/pid")
    rm -f "$dir/pid"
    # Whole process groups: PipeWire is several daemons, and each tone player two tools.
    for pid in $groups; do
        kill -KILL -- "-$pid" 2>/dev/null || true
    done
    for pid in $groups; do
        while kill -0 -- "-$pid" 2>/dev/null; do sleep 0.05; done
    done
    ;;
*)
    echo "private-pulse: unknown command $command" >&2
    exit 2
    ;;
esac
