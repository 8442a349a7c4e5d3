#!/bin/sh
# Converter benchmark: the converter script (ps/pdf2tiff.bat, i.e. rwrender)
# against pdftoppm, pdftocairo and Ghostscript on the same files in one run,
# all at 150 dpi and JPEG quality 90. Prints a Markdown table: median wall
# time of RUNS runs, CPU time, peak memory (largest resident set of any run), total
# size of the page images, our time as a ratio of each peer's, and whether
# our page sizes equal pdftoppm's.
#
# usage: bench/converter.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  the build folder holding ps/pdf2tiff.bat and ps/rwrender (default: build)
#   RUNS       runs per tool and file, odd (default: 3)
#
# Files: the 117-page GeoTopo-komprimiert.pdf from the shared corpus (skipped
# when the corpus is absent), a generated 300-page text document and a
# generated 24-page document of full-page photo-like images (200 dpi JPEG).
# Needs: gs, pdftoppm, pdftocairo, /usr/bin/time (package time).
set -eu

root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
script=$build/ps/pdf2tiff.bat
corpus=$root/../shared/corpus

for tool in gs pdftoppm pdftocairo; do
    command -v "$tool" >/dev/null || { echo "converter.sh: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "converter.sh: /usr/bin/time is missing (package time)" >&2; exit 1; }
if [ ! -x "$script" ] || [ ! -x "$build/ps/rwrender" ]; then
    echo "converter.sh: no converter in $build/ps; build first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/rw-bench-converter.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP

# --- test documents ---------------------------------------------------------

cat >"$work/text.ps" <<'EOF'
%!PS
% 300 A4 pages of running text, 50 lines each.
/words [(lorem) (ipsum) (dolor) (sit) (amet) (consectetur) (adipiscing) (elit) (sed) (do)
        (eiusmod) (tempor) (incididunt) (ut) (labore) (et) (dolore) (magna) (aliqua) (enim)
        (minim) (veniam) (quis) (nostrud) (exercitation) (ullamco) (laboris) (nisi) (aliquip)
        (commodo) (consequat) (duis) (aute) (irure) (reprehenderit) (voluptate) (velit)] def
/n words length def
<< /PageSize [595.276 841.89] >> setpagedevice
1 srand
1 1 300 {
  /pg exch def
  72 760 moveto /Helvetica-Bold findfont 14 scalefont setfont (Chapter ) show pg 10 string cvs show
  /Times-Roman findfont 10.5 scalefont setfont
  0 1 49 {
    /ln exch def
    72 740 ln 13.5 mul sub moveto
    { currentpoint pop 500 gt { exit } if words rand n mod get show ( ) show } loop
  } for
  300 40 moveto pg 10 string cvs show
  showpage
} for
EOF

cat >"$work/images.ps" <<'EOF'
%!PS
% 24 A4 pages, each one full-page RGB image of 1654 x 2339 pixels (200 dpi):
% colour gradients with a little noise, stored as JPEG like a scan.
/W 1654 def /H 2339 def
/pool W 3 mul H 3 mul add string def
<< /PageSize [595.276 841.89] >> setpagedevice
1 srand
1 1 24 {
  /pg exch def
  0 1 pool length 1 sub {
    /i exch def
    pool i
      i 3 mod 0 eq { i pg 37 mul add 9 idiv 256 mod }
      { i 3 mod 1 eq { i 13 idiv pg 91 mul add 200 mod 40 add } { 255 i 17 idiv 256 mod sub } ifelse } ifelse
      rand 15 and add 255 min put
  } for
  /y 0 def
  gsave 595.276 841.89 scale
  W H 8 [W 0 0 H neg 0 H] { pool y 3 mul W 3 mul getinterval /y y 1 add def } false 3 colorimage
  grestore
  showpage
} for
EOF

gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o "$work/text-300.pdf" "$work/text.ps"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -dAutoFilterColorImages=false \
    -dColorImageFilter=/DCTEncode -dDownsampleColorImages=false \
    -o "$work/images-24.pdf" "$work/images.ps"

files=""
geotopo=$corpus/py-pdf-sample-files/009-pdflatex-geotopo/GeoTopo-komprimiert.pdf
[ -f "$geotopo" ] && files="$geotopo"
files="$files $work/text-300.pdf $work/images-24.pdf"

# --- measuring ----------------------------------------------------------------

# Width and height of a JPEG file, from its frame header.
jpeg_size() {
    head -c 4096 "$1" | od -An -v -tu1 | tr -s ' ' '\n' | awk '
        NF { b[n++] = $1 }
        END {
            i = 2
            while (i + 8 < n && b[i] == 255) {
                m = b[i + 1]
                if (m >= 192 && m <= 195) { print b[i + 7] * 256 + b[i + 8], b[i + 5] * 256 + b[i + 6]; exit }
                i += 2 + b[i + 2] * 256 + b[i + 3]
            }
            print "?"
        }'
}

# Runs one tool RUNS times on $1 into a fresh folder; sets seconds, kb,
# cpu (user + system seconds, median), bytes, pages and keeps the last run's images in $work/out-$2.
measure() {
    input=$1 tool=$2
    out=$work/out-$tool
    : >"$work/times"
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -rf "$out"
        mkdir -p "$out"
        case $tool in
        ours)
            cp "$input" "$out/current.pdf"
            (cd "$out" && /usr/bin/time -f "%e %M %U %S" -o "$work/t" "$script" >/dev/null 2>&1) || true
            ;;
        pdftoppm)
            /usr/bin/time -f "%e %M %U %S" -o "$work/t" \
                pdftoppm -jpeg -r 150 -jpegopt quality=90 "$input" "$out/p" >/dev/null 2>&1 || true
            ;;
        pdftocairo)
            /usr/bin/time -f "%e %M %U %S" -o "$work/t" \
                pdftocairo -jpeg -r 150 -jpegopt quality=90 "$input" "$out/p" >/dev/null 2>&1 || true
            ;;
        gs)
            /usr/bin/time -f "%e %M %U %S" -o "$work/t" \
                gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=jpeg -r150 -dJPEGQ=90 \
                -dNumRenderingThreads=2 -sOutputFile="$out/p-%04d.jpg" "$input" >/dev/null 2>&1 || true
            ;;
        esac
        tail -n 1 "$work/t" >>"$work/times"
        i=$((i + 1))
    done
    seconds=$(cut -d' ' -f1 "$work/times" | sort -n | sed -n "$(((runs + 1) / 2))p")
    cpu=$(awk '{ printf "%.2f\n", $3 + $4 }' "$work/times" | sort -n | sed -n "$(((runs + 1) / 2))p")
    kb=$(cut -d' ' -f2 "$work/times" | sort -n | tail -n 1)
    pages=$(find "$out" -name '*.jpg' | wc -l)
    bytes=$(find "$out" -name '*.jpg' -exec cat {} + | wc -c)
}

sizes_of() {
    for f in $(find "$1" -name '*.jpg' | sort); do jpeg_size "$f"; done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f (%.1fx faster)", a / b, b / a; else print "-" }'; }

echo "Converter benchmark: $(nproc) cores, $runs runs each, median wall time; $(date -u +%Y-%m-%d)"
echo
echo "| file | tool | pages | time (s) | CPU (s) | peak memory (MB) | output (MB) | our time / this tool's |"
echo "|---|---|---:|---:|---:|---:|---:|---|"
for input in $files; do
    name=$(basename "$input")
    measure "$input" ours
    our_seconds=$seconds
    echo "| $name | **ours** (pdf2tiff.bat) | $pages | $seconds | $cpu | $((kb / 1024)) | $(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }') | |"
    sizes_of "$work/out-ours" >"$work/sizes-ours"
    for tool in pdftoppm pdftocairo gs; do
        measure "$input" "$tool"
        echo "| $name | $tool | $pages | $seconds | $cpu | $((kb / 1024)) | $(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }') | $(ratio "$our_seconds" "$seconds") |"
        [ "$tool" = pdftoppm ] && sizes_of "$work/out-pdftoppm" >"$work/sizes-pdftoppm"
    done
    if cmp -s "$work/sizes-ours" "$work/sizes-pdftoppm"; then
        echo "| $name | page sizes | | identical to pdftoppm's ($(head -n 1 "$work/sizes-ours" | tr ' ' 'x') on page 1) | | | | |"
    else
        echo "| $name | page sizes | | DIFFER from pdftoppm's | | | | |"
    fi
done
