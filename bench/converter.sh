#!/bin/sh
# Converter benchmark: the converter script (ps/pdf2tiff.bat, i.e. rwrender)
# against pdftoppm, pdftocairo and Ghostscript on the same files in one run,
# all at 150 dpi and JPEG quality 90. Prints Markdown tables:
# - per file and tool: median wall time of RUNS runs, median CPU time, peak
#   memory (largest resident set of any run), total size of the page images,
#   our time as a ratio of each peer's, and whether our page sizes equal
#   pdftoppm's;
# - start-up: rwrender --help, and the script against the renderer alone on
#   a one-page document (the difference is the script's own start);
# - two converters side by side on the 300 dpi scans, with and without
#   shared rendering tokens: wall time and their peak memory together;
# - with REFERENCE_BUILD: our page images against that build's, pixel by
#   pixel (largest and mean difference, PSNR).
#
# usage: bench/converter.sh [BUILD_DIR] [RUNS] [REFERENCE_BUILD_DIR]
#   BUILD_DIR            holds ps/pdf2tiff.bat and ps/rwrender (default: build)
#   RUNS                 runs per tool and file, odd (default: 3)
#   REFERENCE_BUILD_DIR  an earlier build to compare the page images with
#
# Files: the 117-page GeoTopo-komprimiert.pdf from the shared corpus (skipped
# when the corpus is absent) and the documents of bench/make-documents.sh.
# Needs: gs, pdftoppm, pdftocairo, /usr/bin/time (package time).
set -eu

root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
reference=${3:-}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
case $reference in /* | '') ;; *) reference=$(pwd)/$reference ;; esac
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
for helper in rw_peakmem bench_imagediff; do
    if [ ! -x "$build/bench/$helper" ]; then
        echo "converter.sh: $build/bench/$helper is missing; build first" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/rw-bench-converter.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP

"$root/bench/make-documents.sh" "$work/docs"
files=""
geotopo=$corpus/py-pdf-sample-files/009-pdflatex-geotopo/GeoTopo-komprimiert.pdf
[ -f "$geotopo" ] && files="$geotopo"
files="$files $work/docs/text-300.pdf $work/docs/images-24.pdf $work/docs/scans-300dpi.pdf"

# --- measuring ----------------------------------------------------------------

. "$root/bench/jpeg-size.sh"

# Runs the converter script of build $2 on $1 in the staging folder $3.
convert() {
    rm -rf "$3"
    mkdir -p "$3"
    cp "$1" "$3/current.pdf"
    (cd "$3" && "$2/ps/pdf2tiff.bat" >/dev/null 2>&1) || true
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

# Milliseconds per run of the command "$@", the mean of $reps runs.
reps=20
per_run() {
    start=$(date +%s%N)
    n=0
    while [ "$n" -lt "$reps" ]; do
        "$@" >/dev/null 2>&1 || true
        n=$((n + 1))
    done
    end=$(date +%s%N)
    awk -v a="$start" -v b="$end" -v n="$reps" 'BEGIN { printf "%.2f\n", (b - a) / n / 1e6 }'
}

# The median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] }'; }

echo "Converter benchmark: $(nproc) cores, $runs runs each, median wall time; $(date -u +%Y-%m-%d)"
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
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

# --- start-up -----------------------------------------------------------------

one=$work/one
mkdir -p "$one"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o "$one/one.pdf" -c showpage
# The converter of build $1 on the one-page document; then its renderer
# alone, as the script starts it (and the rm the script does).
script_once() { cp "$one/one.pdf" "$one/current.pdf" && (cd "$one" && "$1/ps/pdf2tiff.bat"); }
renderer_once() {
    cp "$one/one.pdf" "$one/current.pdf" \
        && (cd "$one" && "$1/ps/rwrender" -r 150 -q 90 -t 60 -- ./current.pdf ./current) \
        && rm -f "$one/current.pdf"
}
# Batches of $reps runs, interleaved so that a slow spell of the machine
# touches all of them alike; each column is the median of 7 batches.
startup_row() {
    : >"$work/help" && : >"$work/script" && : >"$work/alone"
    "$1/ps/rwrender" --help >/dev/null 2>&1 || true
    batch=0
    while [ "$batch" -lt 7 ]; do
        per_run "$1/ps/rwrender" --help >>"$work/help"
        per_run script_once "$1" >>"$work/script"
        per_run renderer_once "$1" >>"$work/alone"
        batch=$((batch + 1))
    done
    paste "$work/script" "$work/alone" | awk '{ print $1 - $2 }' >"$work/own"
    echo "| $2 | $(median <"$work/help") | $(median <"$work/script") | $(median <"$work/alone") | $(median <"$work/own") |"
}
echo
echo "Start-up (ms per run; median of 7 batches of $reps runs):"
echo
echo "| build | rwrender --help | one-page document: script | renderer alone (and rm) | the script's own start |"
echo "|---|---:|---:|---:|---:|"
startup_row "$build" "this one"
if [ -n "$reference" ]; then
    startup_row "$reference" "reference"
fi

# --- side by side -------------------------------------------------------------

scans=$work/docs/scans-300dpi.pdf
# Two converters on the scans at once, each in its own staging folder,
# sharing the token folder $1 ("" for none); each one's own peak goes to
# $work/t1 and $work/t2.
cat >"$work/pair.sh" <<EOF
#!/bin/sh
for slot in 1 2; do
    (cd "$work/slot\$slot" && RASTERWELL_RENDER_TOKENS=\$1 /usr/bin/time -f "%M" -o "$work/t\$slot" \\
        "$script" >/dev/null 2>&1) &
done
wait
EOF
# Sets pair_seconds, together_mb (the largest sum of the renderers'
# resident sets, sampled every 2 ms) and sum_mb (the sum of each one's
# own peak: an upper bound, their peaks need not meet).
side_by_side() {
    for slot in 1 2; do
        rm -rf "$work/slot$slot"
        mkdir -p "$work/slot$slot"
        cp "$scans" "$work/slot$slot/current.pdf"
    done
    start=$(date +%s%N)
    rm -f "$work/pair-memory"
    "$build/bench/rw_peakmem" "$work/pair-memory" sh "$work/pair.sh" "$1"
    together_mb=$(awk '{ printf "%.0f", $3 / 1024 }' "$work/pair-memory")
    end=$(date +%s%N)
    pair_seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
    sum_mb=$(( ($(tail -n 1 "$work/t1") + $(tail -n 1 "$work/t2")) / 1024 ))
}
echo
echo "Two converters side by side on scans-300dpi.pdf:"
echo
echo "| tokens | both done (s) | peak memory together (MB) | sum of each one's peak (MB) |"
echo "|---|---:|---:|---:|"
mkdir -p "$work/tokens"
side_by_side "$work/tokens"
echo "| shared (RASTERWELL_RENDER_TOKENS) | $pair_seconds | $together_mb | $sum_mb |"
side_by_side ""
echo "| none | $pair_seconds | $together_mb | $sum_mb |"

# --- against a reference build --------------------------------------------------

if [ -n "$reference" ]; then
    echo
    echo "Page images against $reference (same files, same settings):"
    echo
    for input in $files; do
        convert "$input" "$build" "$work/new"
        convert "$input" "$reference" "$work/old"
        echo "- $(basename "$input"): $(QT_QPA_PLATFORM=offscreen "$build/bench/bench_imagediff" "$work/old" "$work/new" | sed "s|$work/||")"
    done
fi
