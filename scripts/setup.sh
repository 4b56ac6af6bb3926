#!/usr/bin/env bash
# Installs what Quenlo needs to build, run and test on Debian 12, then fetches the
# pinned whisper.cpp source. Idempotent: when everything is present it only checks.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    # build
    build-essential cmake ninja-build pkg-config npm git
    qt6-base-dev qt6-svg-dev libgl-dev
    libsndfile1-dev libsoxr-dev libpulse-dev libxcb1-dev
    # run: X11 platform plugin, icon and audio back ends
    qt6-qpa-plugins libqt6svg6 pulseaudio-utils
    # run: the speech model download
    curl ca-certificates
    # tests: virtual display, window manager and sound server, speech, audio tools,
    # X automation, screenshots
    xvfb xauth openbox pulseaudio espeak-ng sox xclip xdotool wmctrl x11-utils trayer procps imagemagick
    # tests: the desktop entry check
    desktop-file-utils
    # tests: PipeWire's PulseAudio server, with its session manager and the bus it needs
    pipewire pipewire-pulse wireplumber dbus-daemon
    # tests: a tray that hosts StatusNotifierItems only, on a session bus of its own
    python3-gi dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# A machine that already has Node.js from elsewhere needs no Debian npm.
if command -v npm >/dev/null; then
    missing=("${missing[@]/npm}")
fi
read -r -a missing <<< "${missing[*]}"

if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$root/scripts/fetch-whisper.sh"
