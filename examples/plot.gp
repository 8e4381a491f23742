# Plots the pCO2 readings of the sample log over time, from hexlog's plain
# output. Runs from any directory; the picture goes to `out`, by default
# pco2.png in the current directory:
#
#   gnuplot -e "out='build/pco2.png'" examples/plot.gp
#
# Plain output columns: 1 time (seconds since 1970, UTC), then the readings
# in record order; the pCO2 readings are columns 2 (EquilPumpOn), 5
# (EquilPumpOff), 15 (AirPumpOn) and 18 (AirPumpOff).
here = ARG0 eq "plot.gp" ? "." : ARG0[1:strlen(ARG0) - strlen("/plot.gp")]
built = here . "/../build/hexlog"
hexlog = system("test -x '" . built . "' && echo '" . built . "' || echo hexlog")
if (!exists("out")) out = "pco2.png"
data = "< '" . hexlog . "' '" . here . "/sample.log'"

set terminal pngcairo size 800,450 font "sans,10"
set output out
set datafile separator ","
set xdata time
set timefmt "%s"
set format x "%d %b\n%H:%M"
set xlabel "time (UTC)"
set ylabel "pCO2 (ppm)"
set title "pCO2 at mooring SN0042, examples/sample.log"
set key outside right
set grid

plot data using 1:2  with linespoints pt 7 ps 0.6 title "EquilPumpOn", \
     data using 1:5  with linespoints pt 7 ps 0.6 title "EquilPumpOff", \
     data using 1:15 with linespoints pt 5 ps 0.6 title "AirPumpOn", \
     data using 1:18 with linespoints pt 5 ps 0.6 title "AirPumpOff"
