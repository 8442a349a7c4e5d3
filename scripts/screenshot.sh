#!/bin/sh
# Remakes docs/window.png: starts the built program under a virtual X server
# and captures its window. Needs a build in ./build (scripts/build.sh).
#
#   scripts/screenshot.sh [OUT]                  the window (docs/window.png)
#   scripts/screenshot.sh --failure-box [OUT]    a failure message with its
#                                                details open (docs/failure-box.png)
set -eu
cd "$(dirname "$0")/.."
for p in xvfb xauth imagemagick xdotool ghostscript qpdf; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi

if [ "${1:-}" != --failure-box ]; then
    out="${1:-docs/window.png}"
    xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
        ./build/rasterwell & pid=$!
        win=$(xdotool search --sync --name "^Rasterwell$" | head -n 1)
        sleep 1
        import -window "$win" "$0"
        kill $pid
    ' "$out"
    echo "wrote $out"
    exit 0
fi

# A three-page report whose second page has lost its content stream: pages
# 1 and 3 are written, and the message's details say why page 2 is not.
out="${2:-docs/failure-box.png}"
tmp=$(mktemp -d)
scans=$(mktemp -d /tmp/scans.XXXXXX)
trap 'rm -rf "$tmp" "$scans"' EXIT
gs -q -sDEVICE=pdfwrite -o "$tmp/whole.pdf" -c \
    '/Helvetica findfont 40 scalefont setfont
     1 1 3 { 100 600 moveto (Page ) show 3 string cvs show showpage } for'
qpdf --qdf --object-streams=disable "$tmp/whole.pdf" "$tmp/qdf.pdf"
# Page 2's /Contents points at an object that is not in the file (the same
# length, so the cross-reference table still fits).
second=$(sed -n '/^%% Page 2$/,/endobj/s|^ */Contents \([0-9]*\) 0 R|\1|p' "$tmp/qdf.pdf")
missing=$(printf '%s' "$second" | tr '0-9' '9')
sed "s|/Contents $second 0 R|/Contents $missing 0 R|" "$tmp/qdf.pdf" > "$scans/report.pdf"
# The program keeps its working files in its application folder: a copy of
# the build's, so the screenshot leaves nothing behind in build/.
cp -R build/rasterwell build/pdftk.exe build/HAND-M.CUR build/drag.ico build/ps "$tmp/"
xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
    "$1/rasterwell" "$2/report.pdf" & pid=$!
    win=$(xdotool search --sync --name "^Rasterwell$" | head -n 1)
    sleep 1
    # "Convert!", in the middle of its button.
    xdotool mousemove --window "$win" 384 156 click 1
    box=$(xdotool search --sync --name "^Could not create JPG$" | head -n 1)
    sleep 1
    # From OK on to "Show Details...", and press it.
    xdotool windowfocus --sync "$box" key Tab key space
    sleep 1
    import -window "$box" "$0"
    kill $pid
' "$out" "$tmp" "$scans"
echo "wrote $out"
