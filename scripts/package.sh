#!/bin/sh
# Builds the Debian package rasterwell_<version>_<arch>.deb into OUTPUT_FOLDER
# (default: the current folder), then checks it with lintian.
#
# usage: scripts/package.sh [--build-dir DIR] [--no-build] [--compression TYPE]
#                            [--no-lintian] [OUTPUT_FOLDER]
#
#   --build-dir DIR     the CMake build folder to package (default: build)
#   --no-build          package DIR as it is (it must be built already)
#   --compression TYPE  xz (default: smallest, about a minute) or gzip (fast)
#   --no-lintian        skip the lintian check
#
# The version comes from packaging/debian/changelog; Depends is computed by
# dpkg-shlibdeps from the binaries, plus the tools the companions run. A
# build folder this script configures gets dpkg-buildflags' flags.
set -eu

usage() {
    echo "usage: scripts/package.sh [--build-dir DIR] [--no-build] [--compression xz|gzip] [--no-lintian] [OUTPUT_FOLDER]" >&2
    exit 2
}

caller=$(pwd)
build=
do_build=yes
do_lintian=yes
compression=xz
out=
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
        --no-build) do_build=no; shift ;;
        --no-lintian) do_lintian=no; shift ;;
        --compression)
            [ $# -ge 2 ] || usage
            case $2 in xz|gzip) compression=$2 ;; *) usage ;; esac
            shift 2 ;;
        -h|--help) usage ;;
        -*) echo "package.sh: unknown option $1" >&2; usage ;;
        *) [ -z "$out" ] || usage; out=$1; shift ;;
    esac
done
out=${out:-.}
case $out in /*) ;; *) out=$caller/$out ;; esac
case $build in /*|"") ;; *) build=$caller/$build ;; esac
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${build:-$repo/build}

if [ "$do_build" = yes ]; then
    sh scripts/setup.sh
    if [ ! -f "$build/CMakeCache.txt" ]; then
        # Debian's flags, hardening included (bound at start-up too), for a
        # build folder made here; an existing one keeps its flags, which
        # CMake's release build sets to the same hardening.
        eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
        CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS" LDFLAGS="$LDFLAGS" \
            cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
    fi
    cmake --build "$build" -j 2
fi
[ -x "$build/rasterwell" ] || { echo "package.sh: no built program in $build" >&2; exit 1; }
mkdir -p "$out"

debian=$repo/packaging/debian
version=$(dpkg-parsechangelog -l "$debian/changelog" -SVersion)
arch=$(dpkg --print-architecture)
deb=$out/rasterwell_${version}_${arch}.deb
# Timestamps in the package are clamped to the release's date.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$debian/changelog" -STimestamp)
export SOURCE_DATE_EPOCH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP
root=$work/root
umask 022

# The installed tree, binaries stripped as Debian strips them (the program
# knows the launcher stripped so: cmake/CompanionDigests.cmake strips it alike).
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
find "$root" -type f -perm -u+x | while IFS= read -r f; do
    if [ "$(head -c 4 "$f" | od -An -c | tr -d " ")" = "177ELF" ]; then
        strip --remove-section=.comment --remove-section=.note "$f" || exit 1
    fi
done
# The companions are one program under two names (strip wrote each anew):
# one file again, so that the package and the page cache hold MuPDF once.
ln -f "$root/usr/lib/rasterwell/ps/rwrender" "$root/usr/lib/rasterwell/pdftk.exe"

# What Debian adds: compressed manual page and changelog, the copyright
# files (MuPDF's own notices: the companions link it statically).
gzip -9n "$root/usr/share/man/man1/rasterwell.1"
doc=$root/usr/share/doc/rasterwell
mkdir -p "$doc"
cp "$debian/copyright" "$doc/copyright"
cp /usr/share/doc/libmupdf-dev/copyright "$doc/mupdf-copyright"
gzip -9n -c "$debian/changelog" > "$doc/changelog.gz"
mkdir -p "$root/usr/share/lintian/overrides"
cp "$debian/lintian-overrides" "$root/usr/share/lintian/overrides/rasterwell"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod go-w {} +

# Control file: shared-library dependencies from the binaries, the MuPDF
# source version the companions embed, size and version from the tree.
mkdir -p "$work/debian" "$root/DEBIAN"
cp "$debian/control" "$debian/changelog" "$work/debian/"
app=$root/usr/lib/rasterwell
(
    cd "$work"
    dpkg-shlibdeps -Tdebian/substvars -e"$app/rasterwell" -e"$app/ps/rwengine" -e"$app/ps/rwrender"
    printf 'rw:Built-Using=%s\n' \
        "$(dpkg-query -W -f='${source:Package} (= ${source:Version})' libmupdf-dev)" >> debian/substvars
    dpkg-gencontrol -prasterwell -Tdebian/substvars -fdebian/files -P"$root"
)
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z \
    | xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Z"$compression" --build "$root" "$deb" >/dev/null
echo "package.sh: wrote $deb"

if [ "$do_lintian" = yes ]; then
    # Errors and warnings fail; a warning that is justified gets a lintian
    # override with its reason, shipped in the package.
    # (Its temporary files go into our work folder: it leaves some behind.)
    TMPDIR=$work lintian --fail-on error,warning "$deb"
fi
