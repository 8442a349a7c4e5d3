#!/bin/sh
# Builds the Debian package from an existing build, checks its control data,
# contents, desktop entry and AppStream data, unpacks it into a temporary
# root (nothing is installed on this machine) and converts documents there
# as an unprivileged user, the way any user of a system-wide install would.
#
# usage: check_package.sh SOURCE_DIR BUILD_DIR
set -eu

src=$1
build=$2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

tmp=$(mktemp -d)
trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP
chmod 0755 "$tmp"

# --- the package ----------------------------------------------------------
# gzip instead of xz: the same package, built in seconds instead of a minute;
# lintian runs once below, with every tag shown.
sh "$src/scripts/package.sh" --build-dir "$build" --no-build --no-lintian --compression gzip "$tmp/out"
version=$(dpkg-parsechangelog -l "$src/packaging/debian/changelog" -SVersion)
arch=$(dpkg --print-architecture)
deb=$tmp/out/rasterwell_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; exit 1; }

field() { dpkg-deb --field "$deb" "$1"; }
expect_field() { # NAME VALUE
    [ "$(field "$1")" = "$2" ] || fail "$1 is '$(field "$1")', expected '$2'"
}
expect_field Package rasterwell
expect_field Version "$("$build/rasterwell" --version | sed -n '1s/^Rasterwell //p')"
expect_field Architecture "$arch"
expect_field Section graphics
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# MuPDF is in the package once: it installs in under 50 MB.
size=$(field Installed-Size)
[ "$size" -lt 51200 ] || fail "Installed-Size is $size KiB, not under 50 MB"
depends=$(field Depends)
for dep in libqt6widgets6 libturbojpeg0 poppler-utils qpdf xdg-utils; do
    printf '%s\n' "$depends" | grep -Eq "(^|, )$dep( |,|\$)" || fail "Depends lacks $dep: $depends"
done
# A font for Chinese, Japanese and Korean names in the list and the boxes.
field Recommends | grep -Eq '(^|, )fonts-wqy-microhei( |,|$)' || fail "Recommends lacks a CJK font: $(field Recommends)"
field Built-Using | grep -q '^mupdf (= ' || fail "Built-Using does not name MuPDF: $(field Built-Using)"

contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
for path in \
    ./usr/bin/rasterwell \
    ./usr/lib/rasterwell/rasterwell \
    ./usr/lib/rasterwell/pdftk.exe \
    ./usr/lib/rasterwell/HAND-M.CUR \
    ./usr/lib/rasterwell/drag.ico \
    ./usr/lib/rasterwell/ps/pdf2tiff.bat \
    ./usr/lib/rasterwell/ps/rwrender \
    ./usr/lib/rasterwell/ps/rwengine \
    ./usr/share/applications/org.rasterwell.Rasterwell.desktop \
    ./usr/share/icons/hicolor/scalable/apps/rasterwell.svg \
    ./usr/share/metainfo/org.rasterwell.Rasterwell.metainfo.xml \
    ./usr/share/man/man1/rasterwell.1.gz \
    ./usr/share/doc/rasterwell/copyright \
    ./usr/share/doc/rasterwell/changelog.gz
do
    printf '%s\n' "$contents" | grep -qxF "$path" || fail "the package lacks $path"
done
icon_sizes="16 22 24 32 48 64 128 256"
for size in $icon_sizes; do
    path=./usr/share/icons/hicolor/${size}x${size}/apps/rasterwell.png
    printf '%s\n' "$contents" | grep -qxF "$path" || fail "the package lacks $path"
done

# --- the unpacked tree ----------------------------------------------------
root=$tmp/root
dpkg-deb -x "$deb" "$root"
app=$root/usr/lib/rasterwell

[ "$(readlink -f "$root/usr/bin/rasterwell")" = "$(readlink -f "$app/rasterwell")" ] \
    || fail "usr/bin/rasterwell does not lead to the application folder's program"
for binary in "$app/rasterwell" "$app/pdftk.exe" "$app/ps/rwrender" "$app/ps/rwengine"; do
    if readelf -S "$binary" | grep -q '\.symtab'; then fail "${binary#"$root"} is not stripped"; fi
done
[ "$(stat -c %i "$app/pdftk.exe")" = "$(stat -c %i "$app/ps/rwrender")" ] \
    || fail "pdftk.exe and ps/rwrender are not one file (a hard link)"
gzip -t "$root/usr/share/man/man1/rasterwell.1.gz" || fail "the manual page is not valid gzip"

# Each icon is a PNG of its size (width and height from its IHDR chunk).
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }'; }
for size in $icon_sizes; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/rasterwell.png
    [ -f "$png" ] && [ "$(png_size "$png")" = "${size}x${size}" ] \
        || fail "the ${size}x${size} icon is $(png_size "$png" 2>/dev/null)"
done
grep -q '<svg .*viewBox="0 0 32 32"' "$root/usr/share/icons/hicolor/scalable/apps/rasterwell.svg" \
    || fail "the scalable icon is no SVG"

desktop=$root/usr/share/applications/org.rasterwell.Rasterwell.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
[ -z "$(desktop-file-validate "$desktop" 2>&1)" ] || fail "desktop-file-validate has hints for the desktop entry"
grep -qx 'Exec=rasterwell %F' "$desktop" || fail "the desktop entry's Exec is not 'rasterwell %F'"
grep -q '^MimeType=.*application/pdf;' "$desktop" || fail "the desktop entry has no application/pdf"
grep -qx 'Icon=rasterwell' "$desktop" || fail "the desktop entry does not name the icon"
# The window's class, as the program sets it (its application name).
grep -qx 'StartupWMClass=Rasterwell' "$desktop" || fail "the desktop entry does not match the window's class"
metainfo=$root/usr/share/metainfo/org.rasterwell.Rasterwell.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
for line in '<launchable type="desktop-id">org.rasterwell.Rasterwell.desktop</launchable>' \
    '<icon type="stock">rasterwell</icon>' '<category>Graphics</category>' '<screenshot type="default">' \
    '<caption>The Rasterwell window</caption>'; do
    grep -qF "$line" "$metainfo" || fail "the metainfo lacks $line"
done
grep -q '<image type="source"[^>]*>https://' "$metainfo" || fail "the metainfo's screenshot is not an https URL"

# Debian's hardening on every executable: no hardening tag from lintian, and
# position independent, with read-only relocations bound at start-up.
lintian_out=$(TMPDIR=$tmp lintian -I --pedantic "$deb" 2>&1) || fail "lintian failed: $lintian_out"
printf '%s\n' "$lintian_out" | grep -E '^[EW]: |hardening-' && fail "lintian -I --pedantic reports the above"
find "$root" -type f -perm -u+x | while IFS= read -r f; do
    [ "$(head -c 4 "$f" | od -An -c | tr -d " ")" = "177ELF" ] || continue
    name=${f#"$root"}
    readelf -h "$f" | grep -q 'Type: *DYN' || echo "FAIL: $name is not position independent"
    readelf -lW "$f" | grep -q GNU_RELRO || echo "FAIL: $name has no read-only relocations"
    readelf -dW "$f" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || echo "FAIL: $name does not bind at start-up"
done > "$tmp/elf-checks"
while IFS= read -r line; do fail "${line#FAIL: }"; done < "$tmp/elf-checks"

# --- converting as an ordinary user -----------------------------------------
# A PDF of PAGES letter-sized pages, each a filled rectangle.
make_pdf() { # PATH PAGES
    f=$1
    n=$2
    offsets=
    add() {
        offsets="$offsets $(wc -c < "$f")"
        # shellcheck disable=SC2059 # the first argument is the format
        printf "$@" >> "$f"
    }
    printf '%%PDF-1.4\n' > "$f"
    kids=
    i=0
    while [ "$i" -lt "$n" ]; do kids="$kids $((3 + 2 * i)) 0 R"; i=$((i + 1)); done
    add '1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n'
    add '2 0 obj\n<< /Type /Pages /Kids [%s ] /Count %d >>\nendobj\n' "$kids" "$n"
    content='0 0.4 0.8 rg 72 72 468 648 re f'
    i=0
    while [ "$i" -lt "$n" ]; do
        add '%d 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents %d 0 R >>\nendobj\n' \
            $((3 + 2 * i)) $((4 + 2 * i))
        add '%d 0 obj\n<< /Length %d >>\nstream\n%s\nendstream\nendobj\n' $((4 + 2 * i)) ${#content} "$content"
        i=$((i + 1))
    done
    xref=$(wc -c < "$f")
    # shellcheck disable=SC2086 # one number per word
    set -- $offsets
    printf 'xref\n0 %d\n0000000000 65535 f \n' $(($# + 1)) >> "$f"
    for o; do printf '%010d 00000 n \n' "$o" >> "$f"; done
    printf 'trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n' $(($# + 1)) "$xref" >> "$f"
}

# The dpi a page image records in its JFIF header.
jpeg_dpi() {
    od -An -tu1 -j14 -N2 "$1" | awk '{ print $1 * 256 + $2 }'
}

# What the application folder holds, to show that a run leaves it alone.
snapshot() {
    (cd "$app" && find . -printf '%p %y %s %m %T@\n' | LC_ALL=C sort)
}

# Runs the unpacked program as an unprivileged user (nobody when this runs
# as root; otherwise the current user, with the application folder made
# read-only) in a clean environment; extra NAME=VALUE arguments come first.
run_as_user() {
    if [ "$(id -u)" -eq 0 ]; then
        env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@" \
            setpriv --reuid=nobody --regid=nogroup --clear-groups "$root/usr/bin/rasterwell" --convert "$docs"
    else
        env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@" "$root/usr/bin/rasterwell" --convert "$docs"
    fi
}

user=$tmp/user
mkdir -p "$user/home" "$user/state"
# A system-wide install: nobody may write to the application folder.
chmod -R a-w "$app"
before=$(snapshot)

# Each case: a document, the environment, the dpi its images must record,
# the working folder the run must have used. A copy of the converter script
# in the per-user working folder changes the settings of a read-only install.
for case in default custom; do
    docs=$user/docs-$case
    mkdir -p "$docs"
    make_pdf "$docs/report.pdf" 2
    if [ "$case" = default ]; then
        set -- HOME="$user/home"
        dpi=150
        state=$user/home/.local/state/rasterwell
    else
        set -- HOME="$user/home" XDG_STATE_HOME="$user/state"
        dpi=72
        state=$user/state/rasterwell
        mkdir -p "$state/ps"
        sed 's/^RESOLUTION=.*/RESOLUTION=72/' "$app/ps/pdf2tiff.bat" > "$state/ps/pdf2tiff.bat"
        chmod 0755 "$state/ps/pdf2tiff.bat"
    fi
    [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$user"

    status=0
    run_as_user "$@" > "$tmp/stdout" 2> "$tmp/stderr" || status=$?
    if [ "$status" -ne 0 ]; then
        fail "$case: rasterwell --convert exited with $status: $(cat "$tmp/stdout" "$tmp/stderr")"
        continue
    fi
    grep -qx 'Done.' "$tmp/stdout" || fail "$case: no 'Done.' in: $(cat "$tmp/stdout")"
    for page in 001 002; do
        image=$docs/report-$page.jpg
        if [ ! -s "$image" ]; then
            fail "$case: no $image"
        elif [ "$(jpeg_dpi "$image")" != "$dpi" ]; then
            fail "$case: $image records $(jpeg_dpi "$image") dpi, expected $dpi"
        fi
    done
    [ ! -e "$docs/report-003.jpg" ] || fail "$case: an image for a page that does not exist"
    [ -d "$state" ] || fail "$case: the working folder $state was not used"
done

[ "$(snapshot)" = "$before" ] || fail "a conversion changed the application folder"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
