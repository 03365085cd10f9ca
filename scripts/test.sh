#!/usr/bin/env bash
# Sets up the machine, builds cdunpack with warnings as errors, and runs every
# test. With --sanitize the build (in build-asan) uses AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-deps.sh
build=build
options=(-DCDUNPACK_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  options+=(-DCDUNPACK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
