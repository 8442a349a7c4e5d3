#!/bin/sh
# Generates the benchmark documents into OUT_DIR (made if missing):
#   text-300.pdf     300 A4 pages of running text (vector fonts)
#   images-24.pdf    24 A4 pages, each a full-page 1654 x 2339 photo-like
#                    image (200 dpi) stored as JPEG by Ghostscript's pdfwrite
#   scans-300dpi.pdf PAGES (default 40) A4 pages, each one 2480 x 3508 JPEG
#                    (300 dpi, 4:2:0, quality 85) put into the PDF as it is,
#                    the way scanner software and img2pdf do
#
# usage: bench/make-documents.sh OUT_DIR [PAGES]
# Needs: gs. Nothing is downloaded; the same input gives the same files.
set -eu

root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)

out=${1:?usage: make-documents.sh OUT_DIR [PAGES]}
scan_pages=${2:-40}
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/rw-bench-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP

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

# PAGES is set on the command line (-dPAGES=n).
cat >"$work/images.ps" <<'EOF'
%!PS
% Full-page RGB images of 1654 x 2339 pixels: colour gradients with a
% little noise, like a photograph or a scanned page.
/W 1654 def /H 2339 def
/pool W 3 mul H 3 mul add string def
<< /PageSize [595.276 841.89] >> setpagedevice
1 srand
1 1 PAGES {
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

gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o "$out/text-300.pdf" "$work/text.ps"
gs -q -dNOPAUSE -dBATCH -dSAFER -dPAGES=24 -sDEVICE=pdfwrite -dAutoFilterColorImages=false \
    -dColorImageFilter=/DCTEncode -dDownsampleColorImages=false \
    -o "$out/images-24.pdf" "$work/images.ps"

# The scans: one JPEG per page from Ghostscript's JPEG device, then a PDF
# that holds each JPEG unchanged (DCTDecode) on a page of its size.
gs -q -dNOPAUSE -dBATCH -dSAFER -dPAGES="$scan_pages" -sDEVICE=jpeg -r300 -dJPEGQ=85 \
    -o "$work/scan-%04d.jpg" "$work/images.ps"

. "$root/bench/jpeg-size.sh"

pdf=$work/scans.pdf
offsets=$work/offsets
: >"$offsets"
# Appends object $1 (its text after "N 0 obj") and records where it starts.
object() {
    wc -c <"$pdf" | tr -d ' ' >>"$offsets"
    printf '%s 0 obj\n%s\nendobj\n' "$1" "$2" >>"$pdf"
}
printf '%%PDF-1.4\n%%\342\343\317\323\n' >"$pdf"
count=$scan_pages
kids=""
object 1 "<< /Type /Catalog /Pages 2 0 R >>"
for i in $(seq 1 "$count"); do kids="$kids $((3 + (i - 1) * 3)) 0 R"; done
object 2 "<< /Type /Pages /Kids [$kids ] /Count $count >>"
for i in $(seq 1 "$count"); do
    jpg=$(printf '%s/scan-%04d.jpg' "$work" "$i")
    page=$((3 + (i - 1) * 3))
    size=$(jpeg_size "$jpg")
    [ "$size" != "?" ] || { echo "make-documents.sh: $jpg is no JPEG" >&2; exit 1; }
    w=${size% *} h=${size#* }
    pw=$(awk -v p="$w" 'BEGIN { printf "%.3f", p * 72 / 300 }')
    ph=$(awk -v p="$h" 'BEGIN { printf "%.3f", p * 72 / 300 }')
    content="q $pw 0 0 $ph 0 0 cm /Im Do Q"
    object "$page" "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 $pw $ph] /Resources << /XObject << /Im $((page + 1)) 0 R >> >> /Contents $((page + 2)) 0 R >>"
    wc -c <"$pdf" | tr -d ' ' >>"$offsets"
    {
        printf '%s 0 obj\n<< /Type /XObject /Subtype /Image /Width %s /Height %s /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode /Length %s >>\nstream\n' \
            "$((page + 1))" "$w" "$h" "$(wc -c <"$jpg" | tr -d ' ')"
        cat "$jpg"
        printf '\nendstream\nendobj\n'
    } >>"$pdf"
    object "$((page + 2))" "<< /Length ${#content} >>
stream
$content
endstream"
done
xref=$(wc -c <"$pdf" | tr -d ' ')
objects=$((2 + count * 3))
{
    printf 'xref\n0 %s\n0000000000 65535 f \n' "$((objects + 1))"
    while read -r offset; do printf '%010d 00000 n \n' "$offset"; done <"$offsets"
    printf 'trailer\n<< /Size %s /Root 1 0 R >>\nstartxref\n%s\n%%%%EOF\n' "$((objects + 1))" "$xref"
} >>"$pdf"
mv "$pdf" "$out/scans-300dpi.pdf"
