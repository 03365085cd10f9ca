#!/usr/bin/env bash
# A first run: sets up the machine, builds cdunpack, makes the sample disc and
# unpacks it, then shows what came out.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target cdunpack make_sample_disc >/dev/null
build/tools/make_sample_disc sample/disc
rm -rf sample/out
echo "\$ build/cdunpack sample/disc/sample.cue sample/out"
build/cdunpack sample/disc/sample.cue sample/out
echo
echo "\$ find sample/out -type f | sort   (with sizes in bytes)"
find sample/out -type f -printf '%p %s\n' | sort
