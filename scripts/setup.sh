#!/bin/sh
# Installs the Debian 12 packages Rasterwell needs to build, run, test,
# benchmark and package. Skips the install when everything is present.
# Run as root.
set -eu

PACKAGES="
build-essential cmake pkg-config
qt6-base-dev
libmupdf-dev libmujs-dev libgumbo-dev libopenjp2-7-dev libjbig2dec0-dev
libharfbuzz-dev libfreetype-dev libjpeg-dev zlib1g-dev
libturbojpeg0-dev
libseccomp-dev
poppler-utils qpdf ghostscript
util-linux valgrind
parallel
time
fonts-liberation fonts-wqy-microhei fontconfig
xdg-utils
dpkg-dev lintian appstream desktop-file-utils
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages:$missing; run this script as root" >&2
        exit 1
    fi
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi
