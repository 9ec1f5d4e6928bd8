# What a user compares: for each measure, dovra and the forwarders one would
# pick instead, each relative to a direct connection (1.0, the dashed line:
# no forwarder; higher is better; for round trips direct's time ÷ the peer's).
# Called by run.sh with datafile (a row per measure, a column per peer, as
# bench_report writes it), outfile and note (a warning put before the title,
# or empty) set.
if (!exists("note")) note = ""
set terminal pngcairo size 1100,520 font ",10" noenhanced
set output outfile
set title note . "Forwarders on loopback, relative to a direct connection (1.0 = no forwarder; higher is better)"
set style fill solid 0.85 border -1
set boxwidth 0.9
set yrange [0:*]
set ylabel "peer ÷ direct (round trips: direct ÷ peer)"
set grid ytics
set key outside bottom center horizontal
set key autotitle columnheader  # the first row names the peers, in every plot below
set datafile separator "\t"
set xtics scale 0
peers = system(sprintf("head -1 '%s' | awk -F'\t' '{ print NF - 1 }'", datafile)) + 0
set arrow from graph 0, first 1 to graph 1, first 1 nohead dashtype 2 lw 1.5 front
set label "direct" at graph 1, first 1 offset 0.5, 0 left
set rmargin 8
# A cluster per measure (row), a bar per peer (column), a gap between clusters.
x(i) = $0 * (peers + 1) + i - 2
centre = (peers - 1) / 2.0
set xrange [-1:*]
plot for [i = 2:peers + 1] datafile using (x(i)):i with boxes, \
     '' using ($0 * (peers + 1) + centre):(0):xtic(1) with points pointtype -1 notitle, \
     for [i = 2:peers + 1] '' using (x(i)):i:(sprintf("%.2f", column(i))) with labels offset 0, 0.6 font ",8" notitle
