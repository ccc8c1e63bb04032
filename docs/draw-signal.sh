#!/bin/sh
# Draws docs/signal.png from the program's real output: the end of the lead-in and the first
# byte of the bundled example, sample by sample, as an audio editor shows them.
# Needs gnuplot (Debian: gnuplot-nox) and a built program.
# Usage: docs/draw-signal.sh [path/to/zkt2wav]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$top/build/release/zkt2wav}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$program" -i "$top/examples/hello.zkt" -o "$work/hello.wav"

# At 44100 samples per second the lead-in ends at sample 2118. The example's first byte,
# "H" (0x48), follows as cells for bits 1 to 6 (0 0 1 0 0 1), each 65 samples for a 0 and
# 64 for a 1, then the last cell for bit 0, 66 samples.
first=1550
last=2630
od -An -v -tu1 -j $((44 + first)) -N $((last - first)) "$work/hello.wav" |
    tr -s ' ' '\n' | sed '/^$/d' | awk -v first="$first" '{ print first + NR - 1, $1 }' \
    >"$work/samples.dat"

gnuplot <<PLOT
set terminal pngcairo size 1200,450 font "DejaVu Sans,11"
set output "$top/docs/signal.png"
set title "zkt2wav -i examples/hello.zkt: end of the lead-in and the first byte (44100 samples/s, gain 4)"
set xlabel "sample"
set ylabel "sample value (8-bit unsigned)"
set xrange [$first:$last]
set yrange [60:200]
set grid xtics ytics lc rgb "#dddddd"
set key top right
set arrow from $first,128 to $last,128 nohead lc rgb "#cc0000" dt 2
set label "centre line 128" at $first+10,124 tc rgb "#cc0000"
set arrow from 2118,60 to 2118,200 nohead lc rgb "#555555"
set label "tone" at 1600,192
set label "closing silence" at 1840,192
set label "first byte, H = 0x48: bits 1 to 6, then bit 0" at 2125,192
cell = "0 0 1 0 0 1 last:0"
ends = "2183 2248 2312 2377 2442 2506 2572"
do for [i=1:7] {
    set arrow from word(ends,i)+0,60 to word(ends,i)+0,200 nohead lc rgb "#aaaaaa" dt 3
    set label word(cell,i) at word(ends,i)-40,72 tc rgb "#0055aa"
}
plot "$work/samples.dat" using 1:2 with steps lc rgb "#0055aa" title "samples"
PLOT
echo "wrote $top/docs/signal.png"
