#!/bin/sh
# Installs what is missing, builds, and starts Rasterwell.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
exec ./build/rasterwell "$@"
