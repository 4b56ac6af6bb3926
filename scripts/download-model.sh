#!/usr/bin/env bash
# Downloads the speech model ggml-base.en.bin from whisper.cpp's published models and
# puts it where Quenlo looks for it: resources/ in the source tree (beside the build
# tree's executable; `cmake --install` copies it to <prefix>/share/quenlo), or the
# folder given as the first argument.
#   scripts/download-model.sh [destination-folder]
# The file is checked against its published SHA-1 before it is moved into place, so
# an interrupted or corrupted download never lands where Quenlo would open it.
# QUENLO_MODEL_URL replaces the download address (a mirror, or a local file:// copy);
# QUENLO_DOWNLOAD_STALL_SECONDS how long a transfer may make no progress (60).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
name="ggml-base.en.bin"
sha1="137c40403d78fd54d454da0f9bd998f78703390c"
url="${QUENLO_MODEL_URL:-https://huggingface.co/ggerganov/whisper.cpp/resolve/main/$name}"
dest_dir="${1:-$root/resources}"
dest="$dest_dir/$name"

fail() { echo "download-model: $*" >&2; exit 1; }

if [ -f "$dest" ] && echo "$sha1  $dest" | sha1sum --check --status; then
    echo "download-model: $name is already in $dest_dir"
    exit 0
fi

command -v curl >/dev/null || fail "curl is missing; run scripts/setup.sh, then run this again"
mkdir -p "$dest_dir" || fail "cannot create $dest_dir"

# A hidden name in the same folder: the final rename is atomic, and Quenlo never
# sees a partial file under the model's name.
partial=$(mktemp "$dest_dir/.$name.XXXXXX") || fail "cannot write in $dest_dir"
trap 'rm -f "$partial"' EXIT
trap 'exit 130' INT TERM

# A transfer that makes no progress for this long is given up, and not retried: a
# stalled network must not keep scripts/run.sh from starting Quenlo.
stall_seconds="${QUENLO_DOWNLOAD_STALL_SECONDS:-60}"
# The progress bar only where someone watches it.
progress=(--silent)
[ -t 2 ] && progress=(--progress-bar)

echo "download-model: downloading $name (148 MB) from $url"
reason=$(curl --fail --location "${progress[@]}" --connect-timeout 20 --retry 2 --retry-max-time "$stall_seconds" \
             --speed-limit 1 --speed-time "$stall_seconds" \
             --write-out '%{errormsg}' --output "$partial" "$url") \
    || fail "could not download $name (${reason:-no answer}); check the network and run scripts/download-model.sh again"

echo "$sha1  $partial" | sha1sum --check --status \
    || fail "the downloaded $name does not match its published SHA-1 $sha1; nothing was installed, run scripts/download-model.sh again"
chmod 644 "$partial"
mv -f "$partial" "$dest"
echo "download-model: $name is ready in $dest_dir"
