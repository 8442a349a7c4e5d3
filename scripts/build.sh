#!/bin/sh
# Installs what is missing, then configures and builds into ./build
# (the build folder is a complete application folder).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
