# Time of one post-processing pass against the number of queues (P = 1) and the
# number of profiles (Q = 1), for the library, the platform's own calls and the
# library with its debug output muted; and the ratio library / platform for every
# case. Error bars span the runs' minimum to maximum.
# Usage: gnuplot -e "csv='results.csv'; png='plot.png'" bench/plot.gp
set datafile separator ','
set terminal pngcairo size 1500,500 noenhanced font ',10'
set output png
set multiplot layout 1,3 title 'VELDRIAN post-processing pass under Wine: library against platform'
set grid
set key top left
# Rows of one series, picked with awk so that each series' points join up.
rows(condition) = "< awk -F, 'NR > 1 && " . condition . "' " . csv
byQueues = rows('$2 == 1')
byProfiles = rows('$1 == 1')
# Columns: 1 queues, 2 profiles, 6-8 library, 9-11 platform, 12-14 ratio, 17 muted.
set logscale xy
set ylabel 'ms per pass (median, min - max)'
set title 'Time against queues Q (P = 1)'
set xlabel 'queues Q'
plot byQueues using 1:6:7:8 with yerrorlines title 'library', \
     byQueues using 1:9:10:11 with yerrorlines title 'platform calls (baseline)', \
     byQueues using 1:17 with linespoints dashtype 2 title 'library, debug output muted'
set title 'Time against profiles P (Q = 1)'
set xlabel 'profiles P (walked: P + 2)'
plot byProfiles using 2:6:7:8 with yerrorlines title 'library', \
     byProfiles using 2:9:10:11 with yerrorlines title 'platform calls (baseline)', \
     byProfiles using 2:17 with linespoints dashtype 2 title 'library, debug output muted'
unset logscale y
set yrange [0:*]
set ylabel 'library / platform (median of the runs)'
set key top right
set title 'Ratio against queues Q, one line per P'
set xlabel 'queues Q'
plot for [p in '1 10 100 500'] rows('$2 == '.p) using 1:12 with linespoints title 'P = '.p, \
     1 with lines dashtype 3 lc 'black' notitle
unset multiplot
