#!/usr/bin/env bash
# Builds cdunpack in Release into build-bench (the "bench" preset) and runs
# the benchmark, which makes its inputs under /dev/shm/cdunpack-bench and
# removes them afterwards.
#   bench/run.sh                  every input, 5 runs per measurement
#   bench/run.sh --quick          every input, 3 runs
#   bench/run.sh --runs N         N runs
#   bench/run.sh --only big,many  some inputs (big many-half many wide wide-10k wide-100k
#                                 long-half long wavogg)
#   bench/run.sh --binary PATH    time another build of cdunpack instead
#   bench/run.sh --dir DIR        inputs and outputs in DIR, not /dev/shm/cdunpack-bench
#   bench/run.sh --strace big     one run under strace -c -f, and its summary
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" >/dev/null
echo "\$ bench/run.sh $*"
exec build-bench/bench/cdunpack_bench "$@"
