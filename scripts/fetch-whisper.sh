#!/usr/bin/env bash
# Fetches whisper.cpp 1.9.1 from the npm registry package that carries its pristine
# source, checks the tarball against a pinned hash and extracts only the library
# build into third_party/whisper.cpp. Fast and silent when it is already there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
package="nodejs-whisper@0.3.1"
tarball="nodejs-whisper-0.3.1.tgz"
sha256="92041caf2b26c74b7f489fedf37bd093f216eebd61df512045ec2d19d0531d37"
dest="$root/third_party/whisper.cpp"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quenlo"

fail() { echo "fetch-whisper: $*" >&2; exit 1; }

if [ -f "$dest/.quenlo-source" ] && [ "$(cat "$dest/.quenlo-source")" = "$sha256" ]; then
    exit 0
fi

mkdir -p "$cache"
if [ ! -f "$cache/$tarball" ] || ! echo "$sha256  $cache/$tarball" | sha256sum --check --status; then
    command -v npm >/dev/null || fail "npm is missing; install it (apt-get install npm) and run scripts/setup.sh again"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    # npm pack only downloads the tarball: no install scripts run.
    # --silent would leave the log empty; keep errors and quote only the reason.
    (cd "$tmp" && npm pack --loglevel=error "$package" >/dev/null 2>"$tmp/npm.log") \
        || fail "could not download $package from the npm registry ($( { sed -n 's/.*failed, reason: //p' "$tmp/npm.log"; sed -n 's/^npm \(ERR!\|error\) \(..*\)/\2/p' "$tmp/npm.log"; } | head -n 1)); check the network and run again"
    echo "$sha256  $tmp/$tarball" | sha256sum --check --status \
        || fail "$tarball does not match the pinned sha256 $sha256; refusing to build it"
    mv "$tmp/$tarball" "$cache/$tarball"
fi

stage=$(mktemp -d "$root/third_party/.whisper.XXXXXX" 2>/dev/null || { mkdir -p "$root/third_party" && mktemp -d "$root/third_party/.whisper.XXXXXX"; })
src="package/cpp/whisper.cpp"
tar -xzf "$cache/$tarball" -C "$stage" \
    "$src/CMakeLists.txt" "$src/LICENSE" "$src/cmake" "$src/ggml" "$src/include" "$src/src" \
    "$src/bindings/javascript/package-tmpl.json" \
    || fail "could not extract whisper.cpp from $cache/$tarball; delete it and run again"
echo "$sha256" > "$stage/$src/.quenlo-source"
rm -rf "$dest"
mv "$stage/$src" "$dest"
rm -rf "$stage"
echo "fetch-whisper: whisper.cpp 1.9.1 ready in third_party/whisper.cpp"
