#!/bin/sh
# Installs what is missing, builds, and runs every test with CTest.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
ctest --test-dir build --output-on-failure -j 2
