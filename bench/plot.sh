#!/bin/sh
# Draws the benchmark's figures with gnuplot (Debian package gnuplot-nox).
#   bench/plot.sh RESULTS_DIR [OUTPUT_DIR]
# RESULTS_DIR is the --out directory of korvane_bench (latency.csv,
# broadcast.csv); the PNGs go to OUTPUT_DIR (default: docs/ of the checkout).
set -eu
results=${1:?usage: plot.sh RESULTS_DIR [OUTPUT_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
out=${2:-$here/../docs}
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot not found (apt-get install gnuplot-nox)" >&2; exit 1; }
mkdir -p "$out"

# Latency distributions: one panel per placement, each series a CDF.
gnuplot <<EOF
set datafile separator ","
set terminal pngcairo size 1400,700 font "sans,10"
set output "$out/bench_latency.png"
set multiplot layout 1,2 title "veskkorvaned: round-trip latency beside its floor (CDF; solid = daemon, dashed = floor)"
set logscale x
set xlabel "latency (µs, log scale)"
set ylabel "fraction of round trips"
set yrange [0:1]
set grid
set key bottom right font ",9"
sel(m, s) = (strcol(1) eq m && strcol(2) eq s) ? \$4 : NaN
do for [mode in "pinned unpinned"] {
    set title mode
    plot "$results/latency.csv" every ::1 using (sel(mode, "echo floor 1c")):(\$3/100.0) with lines dt 2 lw 2 lc rgb "#1f77b4" title "echo floor, 1 client", \
         "" every ::1 using (sel(mode, "query 1004 1c")):(\$3/100.0) with lines lw 2 lc rgb "#1f77b4" title "query 1004, 1 client", \
         "" every ::1 using (sel(mode, "query 1001 1c")):(\$3/100.0) with lines lw 1 lc rgb "#17becf" title "query 1001, 1 client", \
         "" every ::1 using (sel(mode, "echo floor 8c")):(\$3/100.0) with lines dt 2 lw 2 lc rgb "#2ca02c" title "echo floor, 8 clients", \
         "" every ::1 using (sel(mode, "query 1004 8c")):(\$3/100.0) with lines lw 2 lc rgb "#2ca02c" title "query 1004, 8 clients", \
         "" every ::1 using (sel(mode, "redis GET 1c")):(\$3/100.0) with lines dt 4 lw 2 lc rgb "#9467bd" title "Redis GET, 1 client", \
         "" every ::1 using (sel(mode, "redis GET 8c")):(\$3/100.0) with lines dt 4 lw 2 lc rgb "#8c564b" title "Redis GET, 8 clients", \
         "" every ::1 using (sel(mode, "echo connect 1c")):(\$3/100.0) with lines dt 2 lw 2 lc rgb "#e377c2" title "echo floor, connect+line+close", \
         "" every ::1 using (sel(mode, "connect 1004 1c")):(\$3/100.0) with lines lw 2 lc rgb "#e377c2" title "connect+1004+close", \
         "" every ::1 using (sel(mode, "sqlite 2002")):(\$3/100.0) with lines dt 2 lw 2 lc rgb "#d62728" title "SQLite floor of 2002 (one connection)", \
         "" every ::1 using (sel(mode, "sqlite per-call 2002")):(\$3/100.0) with lines dt 3 lw 2 lc rgb "#d62728" title "SQLite 2002, connection per statement", \
         "" every ::1 using (sel(mode, "write 2002")):(\$3/100.0) with lines lw 2 lc rgb "#d62728" title "write 2002", \
         "" every ::1 using (sel(mode, "sqlite 1003")):(\$3/100.0) with lines dt 2 lw 2 lc rgb "#ff7f0e" title "SQLite floor of 1003 (one connection)", \
         "" every ::1 using (sel(mode, "write 1003")):(\$3/100.0) with lines lw 2 lc rgb "#ff7f0e" title "write 1003"
}
unset multiplot
EOF

# Broadcast time against the number of front UIs.
gnuplot <<EOF
set datafile separator ","
set terminal pngcairo size 900,600 font "sans,10"
set output "$out/bench_broadcast.png"
set title "veskkorvaned: status update reaching every front UI (median)"
set logscale xy
set xlabel "front UIs connected"
set ylabel "time (µs, log scale)"
set xtics (1, 10, 100, 1000)
set grid
set key top left
sel(m) = strcol(1) eq m ? 1 : NaN
plot "$results/broadcast.csv" every ::1 using (\$2*sel("pinned")):(\$6) with linespoints lw 2 pt 7 lc rgb "#d62728" title "daemon, pinned (update alone subtracted)", \
     "" every ::1 using (\$2*sel("pinned")):(\$10) with linespoints dt 2 lw 2 pt 6 lc rgb "#d62728" title "bare loop, pinned", \
     "" every ::1 using (\$2*sel("unpinned")):(\$6) with linespoints lw 2 pt 5 lc rgb "#1f77b4" title "daemon, unpinned (update alone subtracted)", \
     "" every ::1 using (\$2*sel("unpinned")):(\$10) with linespoints dt 2 lw 2 pt 4 lc rgb "#1f77b4" title "bare loop, unpinned", \
     "" every ::1 using (\$2*sel("pinned")):(\$3) with linespoints dt 3 lw 1 pt 1 lc rgb "#7f7f7f" title "daemon, pinned, whole status update"
EOF
echo "plots written to $out/bench_latency.png and $out/bench_broadcast.png"
