#!/bin/sh
# Runs the decoder's fuzzer for a fixed time from a seed that holds a real conversion, within
# a fixed memory limit: any crash, leak, undefined behaviour or growth past it fails.
# Usage: fuzz_test.sh <fuzzer> <zkt2wav> <seconds>
set -eu
fuzzer=$1 program=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
printf 'HELLO, TAPE' >"$work/seed.zkt"
"$program" -i "$work/seed.zkt" -o "$work/seed.wav" --pad 0.05
# Rate 44100 (index 3), 8-bit samples in blocks of 4096: the WAVE file's samples follow.
{ printf '\003\006'; tail -c +45 "$work/seed.wav"; } >"$work/corpus/conversion"
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=64 -max_len=400000 \
    -print_final_stats=1 "$work/corpus"
