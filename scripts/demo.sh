#!/usr/bin/env bash
# Installs what is missing, builds skiffer and runs its main job on the
# bundled example: a loopback HTTP server serves examples/feed.xml and its
# episodes, and skiffer downloads them into a sandboxed HOME. Nothing is
# written outside that HOME and the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target skiffer >/dev/null

home=$(mktemp -d /tmp/skiffer-demo.XXXXXX)
mkdir -p "$home/www/episodes" "$home/podcasts"
cp examples/episodes/*.mp3 "$home/www/episodes/"

python=/usr/bin/python3
"$python" tests/e2e/server.py --root "$home/www" >"$home/server.port" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -s $home/server.port ]] && break; sleep 0.1; done
base="http://127.0.0.1:$(head -n1 "$home/server.port")"

sed "s|@BASE@|$base|g" examples/feed.xml >"$home/www/feed.xml"
sed -e "s|@BASE@|$base|g" -e "s|@HOME@|$home|g" examples/skifferrc >"$home/.skifferrc"

skiffer() { (cd "$home" && HOME=$home "$top/build/skiffer" "$@"); }
show() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }

echo "Sandboxed HOME: $home"
show skiffer --version
skiffer --version
show skiffer -v -p
skiffer -v -p

show ls -l podcasts
ls -l "$home/podcasts"
show cat podcasts/playlist.m3u
cat "$home/podcasts/playlist.m3u"
show "tags of the downloaded files"
"$python" - "$home/podcasts" <<'PY'
import glob, os, sys
from mutagen.easyid3 import EasyID3
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.mp3"))):
    tags = EasyID3(path)
    print(os.path.basename(path) + ":",
          ", ".join("%s=%s" % (k, "/".join(v)) for k, v in sorted(tags.items())))
PY
show cat .skiffer/harbour-notes.xml
cat "$home/.skiffer/harbour-notes.xml"
show "skiffer -v   (a second run finds nothing new)"
skiffer -v
show "skiffer -l -v   (list mode: nothing left to download)"
skiffer -l -v
echo
echo "The demo's files stay in $home; remove it with: rm -rf $home"
