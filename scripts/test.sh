#!/usr/bin/env bash
# Sets up the machine, builds cdunpack with warnings as errors, and runs every
# test: the "default" preset of CMakePresets.json, in build/.
#   --sanitize   the "sanitize" preset instead, in build-asan/: everything
#                under AddressSanitizer and UndefinedBehaviorSanitizer
#   --tsan       the "tsan" preset instead, in build-tsan/: everything under
#                ThreadSanitizer
#   --no-setup   skip scripts/setup-deps.sh (the caller has run it)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
setup=yes
for argument in "$@"; do
  case "$argument" in
    --sanitize) preset=sanitize ;;
    --tsan) preset=tsan ;;
    --no-setup) setup=no ;;
    *) echo "usage: scripts/test.sh [--sanitize | --tsan] [--no-setup]" >&2; exit 1 ;;
  esac
done
[ "$setup" = no ] || ./scripts/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
