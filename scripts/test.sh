#!/bin/sh
# Installs what is missing, builds, and runs every test with CTest; then
# builds the process layer, the companions and the render service with
# AddressSanitizer and UndefinedBehaviourSanitizer and runs their tests again.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
ctest --test-dir build --output-on-failure -j 2

SANITIZED_TESTS="tst_process tst_companion_core tst_companion_probe tst_companion_converter tst_companion_service
tst_companion_servicewire tst_companion_sandbox tst_convert_servicestall"
werror=OFF
if [ -n "${CI:-}" ] && [ "${CI:-}" != "false" ]; then
    werror=ON
fi
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DRW_SANITIZE=ON -DRW_HARDENING=OFF \
    -DRW_WERROR="$werror" >/dev/null
# shellcheck disable=SC2086
cmake --build build-sanitize -j "$(nproc)" --target $SANITIZED_TESTS
# Leak checking uses ptrace, which the companions' sandbox forbids.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j 2 \
    -R "^($(echo $SANITIZED_TESTS | tr ' ' '|'))\$"
