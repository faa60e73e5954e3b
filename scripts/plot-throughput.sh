#!/usr/bin/env bash
# Draws image streaming throughput against image size: the line's ceiling, the product's client
# against the same bare peer, and the product against the emulated flash programmer, from the rows
# throughput_bench writes with --csv; beside it the wall time of the program upgrading 1, 2 and 4
# emulated modems at once, from the rows the same run writes to CSV-modems.csv (".csv" left out of
# CSV), when they are there:
#   build/bench/throughput_bench --csv throughput.csv
#   bash scripts/plot-throughput.sh throughput.csv docs/throughput.png "conditions of the run"
# Needs gnuplot (Debian: gnuplot-nox); nothing in the build or the tests does.
set -euo pipefail
csv=${1:?"usage: $0 CSV PNG [NOTE]"}
png=${2:?"usage: $0 CSV PNG [NOTE]"}
note=${3:-}
modems="${csv%.csv}-modems.csv"
command -v gnuplot >/dev/null || { echo "$0: gnuplot is needed (apt-get install gnuplot-nox)" >&2; exit 2; }

width=900
[ -f "$modems" ] && width=1500

gnuplot <<EOF
set terminal pngcairo size $width,540 font "DejaVu Sans,11"
set output "$png"
set datafile separator ","
if ($width > 900) set multiplot layout 1,2 columns
set key bottom left box opaque
set title "Image streaming over a pseudo-terminal, 512-byte blocks\n{/*0.8 $note}"
set xlabel "image size"
set ylabel "MB/s"
set logscale x 2
set xrange [49152:90000000]
set xtics ("64 KiB" 65536, "256 KiB" 262144, "1 MiB" 1048576, "4 MiB" 4194304, "16 MiB" 16777216, "64 MiB" 67108864)
set yrange [0:*]
set grid ytics xtics
set y2label "product / ceiling"
set y2range [0:1.2]
set y2tics 0.2
plot "$csv" every ::1 using 1:2 with linespoints lw 2 pt 7 title "ceiling: bare client and bare peer", \
     "$csv" every ::1 using 1:3 with linespoints lw 2 pt 5 title "product: dl\\\\_dload\\\\_amss to the same bare peer", \
     "$csv" every ::1 using 1:4 with linespoints lw 1.5 pt 9 title "product to the emulated flash programmer", \
     "$csv" every ::1 using 1:(\$3/\$2) axes x1y2 with lines dt 2 lw 1.5 title "product / ceiling (right axis)"
if ($width > 900) {
    reset
    set datafile separator ","
    set title "Several modems at once: fwupgrade run --all, the sample package, real timings\n{/*0.8 $note}"
    set xlabel "modems"
    set ylabel "wall time, s"
    set xrange [0.5:4.5]
    set xtics (1, 2, 4)
    stats "$modems" every ::1::1 using 2 nooutput
    one = STATS_min
    set yrange [0:*]
    set offsets 0, 0, graph 0.3, 0
    set grid ytics
    set style fill solid 0.6 border -1
    set boxwidth 0.5
    set key bottom center box opaque
    plot "$modems" every ::1 using 1:2 with boxes title "the whole run", \
         "$modems" every ::1 using 1:3 with linespoints lw 2 pt 7 title "the longest any modem was away (switch, programmer start, reset)", \
         "$modems" every ::1 using 1:2:(sprintf("%.1f s, %.2f x one", \$2, \$2 / one)) with labels offset 0,0.8 notitle
    unset multiplot
}
EOF
echo "$png"
