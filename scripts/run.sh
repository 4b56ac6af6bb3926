#!/usr/bin/env bash
# Installs what is missing, builds Quenlo, downloads the speech model when it is not
# there yet, and starts Quenlo in the system tray.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${QUENLO_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target quenlo
if [ ! -f "$root/resources/ggml-base.en.bin" ]; then
    # Without the model Quenlo still starts and says so when it is asked to transcribe.
    "$root/scripts/download-model.sh" || true
fi
exec "$build/quenlo"
