#!/bin/sh
# Installs what is missing, then configures and builds into ./build
# (the build folder is a complete application folder).
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
# In CI a compiler warning fails the build.
werror=OFF
if [ -n "${CI:-}" ] && [ "${CI:-}" != "false" ]; then
    werror=ON
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRW_WERROR="$werror"
cmake --build build -j "$(nproc)"
