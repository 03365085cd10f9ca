#!/bin/sh
# Builds the fuzz targets (the "fuzz" preset), writes their seed corpora and
# runs each target.
#   fuzz/run.sh [seconds] [target...]
# seconds: per target, default 600; targets: default all four, run one after
# another (start two copies of this script with different targets to use two
# cores). Everything goes under build-fuzz/: the growing corpus in
# fuzz-out/<target>/corpus, crash, leak and timeout inputs in
# fuzz-out/<target>/artifacts, libFuzzer's log in fuzz-out/<target>/log.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-fuzz_cue_sheet fuzz_wave_walk fuzz_volume fuzz_audio_export}

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null

seeds="$build/fuzz-seeds"
"$build/fuzz/make_corpus" "$seeds"

max_len() {
    case "$1" in
        fuzz_cue_sheet) echo 4096 ;;
        fuzz_wave_walk) echo 8192 ;;
        fuzz_volume) echo 196608 ;;
        fuzz_audio_export) echo 32768 ;;
    esac
}

# The audio decoders may ask malloc for sizes read from a stream and cope
# with a null result; ASan would abort on such a request instead. Requests
# above the RSS limit that do succeed are still reported by libFuzzer's
# malloc limit.
ASAN_OPTIONS="allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export ASAN_OPTIONS

for target in $targets; do
    out="$build/fuzz-out/$target"
    mkdir -p "$out/corpus" "$out/artifacts"
    echo "$target: ${seconds}s, log in $out/log"
    # -close_fd_mask=3 silences the module's messages; libFuzzer's own
    # output and every sanitizer report still reach the log.
    "$build/fuzz/$target" "$out/corpus" "$seeds/$target" \
        -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
        </dev/null >"$out/log" 2>&1 || echo "$target: stopped with a finding, see $out/artifacts"
    tail -n 12 "$out/log" | grep -E '^(stat::|#[0-9]+ *DONE|Done)' || true
done
