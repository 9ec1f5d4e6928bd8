# Headline ratios against a direct connection, one cluster per peer.
# Called by run.sh with datafile, outfile and note (a warning put before the
# title, or empty) set. The peers are those a user would pick instead of
# dovra; a comparison of two dovra builds stays in docs/benchmarks.md.
if (!exists("note")) note = ""
set terminal pngcairo size 900,480 font ",10" noenhanced
set output outfile
set title note . "Forwarders on loopback, relative to a direct connection (1.0 = no forwarder; higher is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set yrange [0:*]
set grid ytics
set key outside bottom center horizontal
set key autotitle columnheader
set datafile separator "\t"
plot datafile using 2:xtic(1), '' using 3, '' using 4, '' using 5, '' using 6
