#!/usr/bin/env bash
# Runs cdunpack under valgrind's memcheck on the sample disc and on an image
# that does not open; any leak or invalid access fails.
set -euo pipefail
cdunpack=$1
make_sample_disc=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$make_sample_disc" "$work/disc" >/dev/null
memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all --error-exitcode=99)

"${memcheck[@]}" "$cdunpack" "$work/disc/sample.cue" "$work/out" >/dev/null 2>"$work/err" ||
  { cat "$work/err"; exit 1; }
[ -s "$work/out/audio/track02.wav" ] || { echo "sample disc was not unpacked"; exit 1; }

status=0
"${memcheck[@]}" "$cdunpack" "$work/missing.cue" "$work/out2" >/dev/null 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || { cat "$work/err"; echo "failing open: exit $status, expected 1"; exit 1; }
expected="cdunpack: $work/missing.cue: No such file or directory
$work/missing.cue: cannot open the image"
[ "$(cat "$work/err")" = "$expected" ] || { cat "$work/err"; exit 1; }
echo "memcheck: no errors, no leaks"
