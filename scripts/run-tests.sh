#!/usr/bin/env bash
# Installs what is missing, builds Quenlo and its tests, and runs every test inside
# a private display and sound server.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${QUENLO_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$build" -G Ninja -DQUENLO_BUILD_TESTS=ON >/dev/null
cmake --build "$build"
"$root/scripts/test-session.sh" ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
