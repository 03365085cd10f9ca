#!/usr/bin/env bash
# Sets up the machine, builds cdunpack with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-deps.sh
cmake -S . -B build -DCDUNPACK_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build -j"$(nproc)" --output-on-failure
