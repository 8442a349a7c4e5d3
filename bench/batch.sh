#!/bin/sh
# Batch benchmark: whole conversion runs (rasterwell --convert FOLDER) against
# what a user gets from one shell line: a plain pdftoppm loop, the same loop
# with xargs -P<cores>, and a Ghostscript loop (2 rendering threads), all at
# 150 dpi and JPEG quality 90; ours also with the render service turned off
# (RASTERWELL_RENDER_SERVICE=off: a fresh renderer and probe per document),
# and with the companions as processes (RASTERWELL_COMPANIONS=process: a
# launcher per probe, the script and a launcher per document, all handing
# their jobs to the service) beside ours, which hands them to the service
# itself.
# For the 117-page document also the converter script alone on a staged
# copy. Every way runs once per round, the rounds interleave the ways, and
# the tables show medians of RUNS rounds: wall time, CPU time, CPU and minor
# page faults per document (of the whole process tree), peak memory (summed
# over the tree), time per document, and our whole run as a ratio of each
# way; then the goals, computed from those medians.
#
# usage: bench/batch.sh [BUILD_DIR] [RUNS] [WORKLOADS]
#   BUILD_DIR  the build folder (default: build); run scripts/build.sh first
#   RUNS       rounds, odd (default: 5)
#   WORKLOADS  any of: 50 500 20x10 117 scans 500u (default: 50 500 117 scans
#              500u, every number the goals need)
#
# Workloads, cut from py-pdf-sample-files/009-pdflatex-geotopo/
# GeoTopo-komprimiert.pdf of the shared corpus with qpdf: 50 one-page
# documents (pages 11-60), 500 one-page documents (the pages in turn),
# 20 documents of 10 pages each, and the 117-page document alone. "scans":
# 4 documents of 20 full-page 300 dpi scans (bench/make-documents.sh), for
# peak memory with every slot on large pages. "500u": the 500 documents
# converted, then converted a second time with --update (every document up
# to date, so each costs its password probe); the share of the first run
# is printed below its table.
# Needs: qpdf, gs, pdftoppm, xargs, and the corpus beside the repository.
set -eu

root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-5}
workloads=${3:-50 500 117 scans 500u}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
source_pdf=$root/../shared/corpus/py-pdf-sample-files/009-pdflatex-geotopo/GeoTopo-komprimiert.pdf
peakmem=$build/bench/rw_peakmem
cores=$(nproc)

for tool in qpdf gs pdftoppm xargs; do
    command -v "$tool" >/dev/null || { echo "batch.sh: $tool is missing" >&2; exit 1; }
done
[ -f "$source_pdf" ] || { echo "batch.sh: the corpus is not beside the repository" >&2; exit 1; }
[ -x "$build/rasterwell" ] && [ -x "$peakmem" ] || { echo "batch.sh: build first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/rw-bench-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP

# --- workloads ----------------------------------------------------------------

make_workload() {
    dir=$work/w$1
    mkdir -p "$dir"
    case $1 in
    50)
        for p in $(seq 11 60); do
            qpdf --empty --pages "$source_pdf" "$p" -- "$dir/p$p.pdf"
        done ;;
    500 | 500u)
        for i in $(seq 1 500); do
            qpdf --empty --pages "$source_pdf" $(( (i - 1) % 117 + 1 )) -- "$dir/$(printf 'd%03d' "$i").pdf"
        done ;;
    20x10)
        for i in $(seq 0 19); do
            first=$(( i * 10 % 110 + 1 ))
            qpdf --empty --pages "$source_pdf" "$first-$(( first + 9 ))" -- "$dir/$(printf 'd%02d' "$i").pdf"
        done ;;
    117)
        cp "$source_pdf" "$dir/geotopo.pdf" ;;
    scans)
        sh "$root/bench/make-documents.sh" "$work/generated" 20 >/dev/null
        for i in 1 2 3 4; do cp "$work/generated/scans-300dpi.pdf" "$dir/scan$i.pdf"; done ;;
    esac
}

# --- the ways -------------------------------------------------------------------

# Each way converts every PDF of folder $1; outputs land beside the documents.
way_ours() { "$build/rasterwell" --convert "$1" >/dev/null 2>&1; }
way_off() { RASTERWELL_RENDER_SERVICE=off "$build/rasterwell" --convert "$1" >/dev/null 2>&1; }
way_process() { RASTERWELL_COMPANIONS=process "$build/rasterwell" --convert "$1" >/dev/null 2>&1; }
# A second run over what way_ours has just converted (measure keeps its images).
way_update() { "$build/rasterwell" --convert --update "$1" >/dev/null 2>&1; }
way_loop() {
    for f in "$1"/*.pdf; do pdftoppm -jpeg -r 150 -jpegopt quality=90 "$f" "${f%.pdf}"; done
}
way_xargs() {
    find "$1" -name '*.pdf' -print0 |
        xargs -0 -P "$cores" -I{} sh -c 'pdftoppm -jpeg -r 150 -jpegopt quality=90 "$1" "${1%.pdf}"' sh {}
}
way_gs() {
    for f in "$1"/*.pdf; do
        gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeg -r150 -dJPEGQ=90 -dNumRenderingThreads=2 \
            -sOutputFile="${f%.pdf}-gs-%03d.jpg" "$f"
    done
}
# The converter script alone on a staged copy (one document).
way_converter() {
    stage=$work/stage
    rm -rf "$stage"; mkdir -p "$stage"
    cp "$1"/*.pdf "$stage/current.pdf"
    (cd "$stage" && "$build/ps/pdf2tiff.bat")
}

measure() { # workload way
    [ "$2" = update ] || find "$work/w$1" -name '*.jpg' -delete
    sync
    "$peakmem" "$work/r-$1-$2" sh -c ". \"$work/ways.sh\"; way_$2 \"$work/w$1\"" >/dev/null 2>&1 || true
}

# The ways again, in a file every measured shell sources.
{
    echo "build='$build'; cores=$cores; work='$work'"
    sed -n '/^way_ours()/,/^measure()/p' "$0" | sed '$d'
} >"$work/ways.sh"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column_median() { awk -v c="$2" '{ print $c }' "$1" | median; }

echo "# Batch benchmark"
echo
echo "$(date -u '+%Y-%m-%d'), $cores cores, $(uname -r); medians of $runs interleaved rounds; 150 dpi, quality 90."
echo

for w in $workloads; do
    make_workload "$w"
    docs=$(find "$work/w$w" -name '*.pdf' | wc -l)
    ways="ours process off loop xargs gs"
    [ "$w" = 117 ] && ways="ours process off converter loop xargs gs"
    [ "$w" = 500u ] && ways="ours update"
    for round in $(seq 1 "$runs"); do
        for way in $ways; do
            measure "$w" "$way"
        done
    done
    ours=$(column_median "$work/r-$w-ours" 1)
    echo "## $w ($docs documents)"
    echo
    echo "| way | wall | CPU | CPU per document | minor faults per document | peak memory | per document | ours / way | failed runs |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for way in $ways; do
        f=$work/r-$w-$way
        wall=$(column_median "$f" 1)
        cpu=$(column_median "$f" 2)
        peak=$(column_median "$f" 3)
        faults=$(column_median "$f" 5)
        failed=$(awk '$4 != 0' "$f" | wc -l)
        echo "$w $way $wall $cpu $peak $faults $docs" >>"$work/medians"
        awk -v way="$way" -v wall="$wall" -v cpu="$cpu" -v peak="$peak" -v docs="$docs" \
            -v ours="$ours" -v failed="$failed" -v faults="$faults" 'BEGIN {
            printf "| %s | %.2f s | %.2f s | %.1f ms | %.0f | %.0f MB | %.1f ms | %.2f | %d |\n",
                way, wall, cpu, cpu * 1000 / docs, faults / docs, peak / 1024,
                wall * 1000 / docs, ours / wall, failed }'
    done
    if [ "$w" = 500u ]; then
        again=$(column_median "$work/r-$w-update" 1)
        echo
        awk -v a="$again" -v o="$ours" 'BEGIN { printf "The second run with --update takes %.1f %% of the first.\n", a * 100 / o }'
    fi
    echo
done

# --- the goals, from the medians above ------------------------------------------

goal() { # description, measured, met
    echo "| $1 | $2 | $3 |"
}
value() { # workload way field (3 wall, 4 cpu, 5 peak, 6 faults, 7 documents)
    awk -v w="$1" -v way="$2" -v f="$3" '$1 == w && $2 == way { print $f }' "$work/medians"
}
ratio() { awk -v a="$1" -v b="$2" -v limit="$3" 'BEGIN { printf "%.2f× (goal ≤ %s×)%s", a / b, limit, a / b <= limit ? "" : " **not met**" }'; }
echo "## Goals"
echo
echo "| workload | measure | measured |"
echo "|---|---|---|"
for w in 50 500; do
    [ -n "$(value "$w" ours 3)" ] || continue
    goal "$w one-page documents" "whole run / xargs -P$cores" "$(ratio "$(value "$w" ours 3)" "$(value "$w" xargs 3)" 0.5)"
    goal "$w one-page documents" "whole run / plain loop" "$(ratio "$(value "$w" ours 3)" "$(value "$w" loop 3)" 0.33)"
    goal "$w one-page documents" "CPU per document / pdftoppm's" "$(ratio "$(value "$w" ours 4)" "$(value "$w" loop 4)" 0.5)"
    goal "$w one-page documents" "whole run, service on / off" "$(ratio "$(value "$w" ours 3)" "$(value "$w" off 3)" 1)"
    goal "$w one-page documents" "CPU, jobs handed to the service by the program / by the companions" "$(ratio "$(value "$w" ours 4)" "$(value "$w" process 4)" 1)"
done
if [ -n "$(value 50 ours 3)" ] && [ -n "$(value 500 ours 3)" ]; then
    goal "50 → 500 one-page documents" "time per document" "$(awk -v a="$(value 50 ours 3)" -v b="$(value 500 ours 3)" 'BEGIN { printf "%.1f → %.1f ms", a * 20, b * 2 }')"
fi
if [ -n "$(value 117 converter 3)" ]; then
    goal "117 pages, converter alone" "/ pdftoppm" "$(ratio "$(value 117 converter 3)" "$(value 117 loop 3)" 0.25)"
    goal "117 pages, converter alone" "/ Ghostscript (2 threads)" "$(ratio "$(value 117 converter 3)" "$(value 117 gs 3)" 0.45)"
fi
if [ -n "$(value scans ours 5)" ]; then
    goal "4 × 20 pages of 300 dpi scans" "peak memory of the whole run (goal < 300 MB)" "$(awk -v p="$(value scans ours 5)" 'BEGIN { printf "%.0f MB", p / 1024 }')"
fi
echo
inst=$work/installed
DESTDIR=$inst cmake --install "$build" --prefix /usr >/dev/null 2>&1 \
    && echo "Installed size of the build (\`cmake --install\`, unstripped; hard links counted once): $(du -sm "$inst" | cut -f1) MB; the package's Installed-Size (stripped) is a little less."
