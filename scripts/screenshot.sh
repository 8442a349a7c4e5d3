#!/bin/sh
# Remakes docs/window.png: starts the built program under a virtual X server
# and captures its window. Needs a build in ./build (scripts/build.sh).
set -eu
cd "$(dirname "$0")/.."
for p in xvfb xauth imagemagick xdotool; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi
out="${1:-docs/window.png}"
xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
    ./build/rasterwell & pid=$!
    win=$(xdotool search --sync --name "^Rasterwell$" | head -n 1)
    sleep 1
    import -window "$win" "$0"
    kill $pid
' "$out"
echo "wrote $out"
