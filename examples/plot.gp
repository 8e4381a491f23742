# Plots the pCO2 readings of the sample log over time, from hexlog's csv
# output: the columns by name, the times as ISO 8601 UTC. Runs from any
# directory; the picture goes to `out`, by default pco2.png in the current
# directory:
#
#   gnuplot -e "out='build/pco2.png'" examples/plot.gp
here = ARG0 eq "plot.gp" ? "." : ARG0[1:strlen(ARG0) - strlen("/plot.gp")]
built = here . "/../build/hexlog"
hexlog = system("test -x '" . built . "' && echo '" . built . "' || echo hexlog")
if (!exists("out")) out = "pco2.png"
data = "< '" . hexlog . "' --format=csv '" . here . "/sample.log'"

set terminal pngcairo size 800,450 font "sans,10"
set output out
set datafile separator comma
set datafile columnheaders
set xdata time
set timefmt "%Y-%m-%dT%H:%M:%SZ"
set format x "%d %b\n%H:%M"
set xlabel "time (UTC)"
set ylabel "pCO2 (ppm)"
set title "pCO2 at mooring SN0042, examples/sample.log"
set key outside right
set grid

plot for [name in "EquilPumpOn EquilPumpOff AirPumpOn AirPumpOff"] \
     data using "time":name."_pCO2" with linespoints pt 7 ps 0.6 title name
