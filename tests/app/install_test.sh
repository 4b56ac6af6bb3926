#!/usr/bin/env bash
# `cmake --install` into a prefix chosen only at install time gives a program that
# opens the model installed beside it, and a desktop entry that desktop-file-validate
# accepts without a word.
#   install_test.sh <build directory> <make_test_model executable>
set -euo pipefail

work=$(mktemp -d /tmp/quenlo-install.XXXXXX)
# shellcheck source=app_test_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/app_test_lib.sh"
trap cleanup_app_test EXIT
require_display
for tool in xdotool trayer desktop-file-validate; do command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh"; done

cmake --install "$1" --prefix "$work/prefix" >"$work/install.log" 2>&1 || fail "cmake --install failed"
[ -x "$work/prefix/bin/quenlo" ] || fail "no $work/prefix/bin/quenlo after cmake --install"
entry="$work/prefix/share/applications/quenlo.desktop"
[ -f "$entry" ] || fail "no desktop entry installed"
hints=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate refuses the entry: $hints"
[ -z "$hints" ] || fail "desktop-file-validate has something to say: $hints"

install_quenlo
quenlo_exe="$work/prefix/bin/quenlo"
install_test_model "$2"
start_tray_host
run_quenlo quenlo
watched_pid=$quenlo_pid
find_tray_icon
open_window
wait_for "the installed program to load $model" 20 grep -qF "loading model from '$model'" "$work/quenlo.err"
echo "install_test: passed"
