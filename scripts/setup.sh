#!/usr/bin/env bash
# Installs what Quenlo needs to build and run on Debian 12, and with --tests what its
# tests need as well, then fetches the pinned whisper.cpp source. Idempotent: when
# everything is present it only checks.
#   scripts/setup.sh [--tests]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    # build
    build-essential cmake ninja-build pkg-config npm git
    qt6-base-dev qt6-svg-dev libgl-dev
    libsndfile1-dev libsoxr-dev libpulse-dev libxcb1-dev
    # run: X11 platform plugin and icon
    qt6-qpa-plugins libqt6svg6
    # run: the speech model download
    curl ca-certificates
)
# Only with --tests: installed beside a desktop's own sound server, PulseAudio or
# PipeWire's may take its place at the next login.
test_packages=(
    # virtual display, window manager and sound server, speech, audio tools,
    # X automation, screenshots
    xvfb xauth openbox pulseaudio pulseaudio-utils espeak-ng sox xclip xdotool wmctrl x11-utils trayer procps imagemagick
    # the desktop entry check
    desktop-file-utils
    # PipeWire's PulseAudio server, with its session manager and the bus it needs
    pipewire pipewire-pulse wireplumber dbus-daemon
    # a tray that hosts StatusNotifierItems only, on a session bus of its own
    python3-gi
)
case "${1:-}" in
"") ;;
--tests) packages+=("${test_packages[@]}") ;;
*) echo "usage: scripts/setup.sh [--tests]" >&2; exit 2 ;;
esac

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
