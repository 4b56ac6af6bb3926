#!/usr/bin/env bash
# The model download, with local file:// addresses in place of the network: a failed
# download and a file with the wrong SHA-1 each end with one clear line and a
# non-zero status, and leave nothing where Quenlo looks, not even a partial file.
# A server that accepts and never answers ends the download too, within the stall limit.
# The start command installs only what Quenlo needs, the test command what its tests do.
#   download_model_test.sh <path of scripts/download-model.sh> <silent_server executable>
set -uo pipefail

script=$1
silent_server=$2
work=$(mktemp -d /tmp/quenlo-download.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

check() {
    local what=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $what" >&2
        failures=$((failures + 1))
    fi
}

# Runs the script with `url`, into `dest`; keeps its status, stdout and stderr.
run() {
    local url=$1 dest=$2
    QUENLO_MODEL_URL=$url bash "$script" "$dest" >"$work/out" 2>"$work/err"
    status=$?
}

only_entries() { # the folder holds exactly the given names, hidden ones included
    local dir=$1
    shift
    [ "$(cd "$dir" && find . -mindepth 1 -printf '%P\n' | sort)" = "$(printf '%s\n' "$@" | sort | sed '/^$/d')" ]
}

# No network: the address cannot be reached.
run "file://$work/no-such-file" "$work/offline"
check "a failed download exits non-zero" test "$status" -ne 0
check "a failed download says so in one line" test "$(wc -l <"$work/err")" -eq 1
check "a failed download names the file and the network" grep -q "could not download ggml-base.en.bin.*network" "$work/err"
check "a failed download leaves nothing behind" only_entries "$work/offline"

# Served, but not the published file.
head -c 4096 /dev/urandom >"$work/wrong.bin"
run "file://$work/wrong.bin" "$work/corrupt"
check "a wrong SHA-1 exits non-zero" test "$status" -ne 0
check "a wrong SHA-1 says so in one line" test "$(wc -l <"$work/err")" -eq 1
check "a wrong SHA-1 is named" grep -q "does not match its published SHA-1 137c40403d78fd54d454da0f9bd998f78703390c" "$work/err"
check "a wrong SHA-1 leaves nothing behind" only_entries "$work/corrupt"

# A model file already there that is not the published one stays untouched when the
# replacement cannot be had.
mkdir -p "$work/existing"
echo "earlier file" >"$work/existing/ggml-base.en.bin"
run "file://$work/wrong.bin" "$work/existing"
check "an existing file survives a failed replacement" test "$(cat "$work/existing/ggml-base.en.bin")" = "earlier file"
check "a failed replacement leaves no partial file" only_entries "$work/existing" ggml-base.en.bin

# A stalled network: the connection is accepted, nothing ever comes.
"$silent_server" >"$work/port" &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
started=$SECONDS
QUENLO_DOWNLOAD_STALL_SECONDS=3 run "http://127.0.0.1:$(cat "$work/port")/ggml-base.en.bin" "$work/stalled"
took=$((SECONDS - started))
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
check "a stalled download exits non-zero" test "$status" -ne 0
check "a stalled download gives up near its limit, not retrying (${took}s)" test "$took" -le 10
check "a stalled download says so in one line" test "$(wc -l <"$work/err")" -eq 1
check "a stalled download names the file and the network" grep -q "could not download ggml-base.en.bin.*network" "$work/err"
check "a stalled download leaves nothing behind" only_entries "$work/stalled"

# The start and test commands where the package query says nothing is installed, with
# stand-ins for the package manager, the build, the download and the test session: the
# start command asks for no sound server and no test tool, the test command for all.
mkdir -p "$work/tree/scripts" "$work/bin" "$work/build"
cp "$(dirname "$script")"/{setup,run,run-tests}.sh "$work/tree/scripts/"
printf '#!/bin/sh\necho "${0##*/} $*" >>"%s"\n' "$work/calls" >"$work/bin/stand-in"
chmod +x "$work/bin/stand-in"
for name in dpkg-query apt-get sudo cmake; do ln -s stand-in "$work/bin/$name"; done
for name in tree/scripts/fetch-whisper.sh tree/scripts/download-model.sh tree/scripts/test-session.sh build/quenlo; do
    ln -s "$work/bin/stand-in" "$work/$name"
done
asked_by() {
    : >"$work/calls"
    PATH="$work/bin:$PATH" QUENLO_BUILD_DIR="$work/build" bash "$work/tree/scripts/$1" >/dev/null 2>&1
    sed -n 's/^\(sudo \)\?apt-get install //p' "$work/calls" | tr ' ' '\n'
}
start=$(asked_by run.sh)
tests=$(asked_by run-tests.sh)
for p in qt6-base-dev libpulse-dev curl; do check "the start command asks for $p" grep -qx "$p" <<<"$start"; done
for p in pulseaudio pipewire pipewire-pulse wireplumber dbus-daemon xvfb openbox trayer espeak-ng sox xclip xdotool \
    wmctrl imagemagick; do
    check "the start command asks for no $p" test -z "$(grep -x "$p" <<<"$start")"
    check "the test command asks for $p" grep -qx "$p" <<<"$tests"
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
