#!/usr/bin/env bash
# Times hexlog on two generated realistic logs, the calm default one and
# the mixed one (`genlog --mix`: readings of 1000 and over, below zero,
# NaN): plain and verbose mode and the csv, NCCSV, netCDF and HTML formats,
# csv in time order, against `xxd -r -p` (hex to binary only) on the same
# file in the same run, and reports input MB/s and the ratios to plain
# output and to xxd for each log; then, on the default log, what ordering
# costs (the log reversed line by line), what the durable --output costs
# (synced and renamed, against the shell's >), what the QARTOD tests of
# examples/qc.yaml cost, the output sizes and peak resident memory, for
# netCDF also on ten times the input, streamed from the generator.
#
#   bash bench/run.sh [RECORDS [BASELINE]]
#
# RECORDS defaults to 2000000 (about 580 MB a log). BASELINE is another
# hexlog binary, an earlier build say, timed in plain and verbose mode, csv
# and netCDF on both logs in the same run beside this one.
#
# Needs hyperfine for the timings when it is installed, else takes the best of
# five runs; needs xxd (Debian package xxd) for the comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
records=${1:-2000000}
baseline=${2:-}
build=build/bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHEXLOG_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target hexlog genlog >/dev/null
hexlog=$build/hexlog
"$build/genlog" "$records" >"$work/big.log"
"$build/genlog" --mix "$records" >"$work/mix.log"
"$build/genlog" 3 >"$work/small.log"
bytes=$(stat -c %s "$work/big.log")
echo "input: $records records, $bytes bytes; $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"

# Seconds for one command: the fastest of hyperfine's runs, or the best of
# five runs; the fastest is the least disturbed by a shared machine.
seconds() {
  if command -v hyperfine >/dev/null; then
    hyperfine --warmup 1 --runs 5 --export-json "$work/t.json" --output=null "$1" >/dev/null
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["min"])' "$work/t.json"
  else
    best=
    for _ in 1 2 3 4 5; do
      start=$(date +%s.%N)
      bash -c "$1" >/dev/null
      t=$(echo "$(date +%s.%N) - $start" | bc -l)
      if [ -z "$best" ] || (($(echo "$t < $best" | bc -l))); then best=$t; fi
    done
    echo "$best"
  fi
}

peak() {  # peak resident memory in KiB
  /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1
}

netcdf="--format=netcdf --output=$work/out.nc"
commands=("xxd -r -p" "hexlog" "hexlog -v" "hexlog --format=csv" "hexlog --format=nccsv" "hexlog $netcdf"
          "hexlog --format=html" "hexlog --format=csv --order=time")
if [ -n "$baseline" ]; then
  commands+=("baseline" "baseline -v" "baseline --format=csv" "baseline $netcdf")
fi

# The table of one log: each command's time, input rate and ratios (to the
# first two commands, xxd and plain, unless RATIOS is 0).
table() {
  local log=$1 size times=() command
  size=$(stat -c %s "$log")
  for command in "${commands[@]}"; do
    command=${command/#hexlog/$hexlog}
    command=${command/#baseline/$baseline}
    # LOG stands for the log where it is not last.
    if [[ $command == *LOG* ]]; then command=${command//LOG/$log}; else command="$command $log"; fi
    times+=("$(seconds "$command")")
  done
  RATIOS=${RATIOS:-1} python3 - "$size" "${commands[@]}" -- "${times[@]}" <<'PY'
import os, sys
size = int(sys.argv[1])
split = sys.argv.index("--")
names, seconds = sys.argv[2:split], [float(t) for t in sys.argv[split + 1:]]
ratios = os.environ["RATIOS"] == "1"
xxd, plain = seconds[0], seconds[1]
print(f"{'command':34s} {'time':>8s} {'input':>11s}" + (f" {'vs plain':>9s} {'vs xxd':>7s}" if ratios else ""))
for name, s in zip(names, seconds):
    print(f"{name:34s} {s:7.3f}s {size / 1e6 / s:6.1f} MB/s" + (f" {s / plain:8.2f}x {xxd / s:6.2f}x" if ratios else ""))
PY
}

echo "default log (genlog $records):"
table "$work/big.log"
echo "mixed log (genlog --mix $records, $(stat -c %s "$work/mix.log") bytes):"
table "$work/mix.log"

# Ordering a log that is as far from time order as can be, and the cost of
# a durable --output (fsync of the file and its directory, rename) beside
# the shell's redirection.
tac "$work/big.log" >"$work/reversed.log"
commands=("hexlog --format=csv --order=time" "hexlog $netcdf")
echo "the default log reversed line by line:"
RATIOS=0 table "$work/reversed.log"
commands=("hexlog --output=$work/out.txt" "hexlog LOG > $work/out.txt")
echo "the default log into a file, durably with --output, and with the shell's >:"
RATIOS=0 table "$work/big.log"
rm -f "$work/reversed.log"
# What the QARTOD tests cost: all seven on all 32 readings (the example's
# configuration) beside the same station's netCDF file without them.
station="--metadata=examples/station.meta"
commands=("hexlog $netcdf $station" "hexlog $netcdf $station --qc=examples/qc.yaml"
          "hexlog --format=csv --order=time $station" "hexlog --format=csv $station --qc=examples/qc.yaml")
echo "the default log with and without the QARTOD tests of examples/qc.yaml:"
RATIOS=0 table "$work/big.log"
"$hexlog" $netcdf "$work/big.log"
echo "output bytes: plain $("$hexlog" "$work/big.log" | wc -c), csv $("$hexlog" --format=csv "$work/big.log" | wc -c)," \
     "netCDF $(stat -c %s "$work/out.nc"), HTML $("$hexlog" --format=html "$work/big.log" | wc -c)"
echo "peak memory (KiB) on $bytes bytes, and on $(stat -c %s "$work/small.log"):"
for options in "" "-v" "--format=csv" "--format=nccsv" "$netcdf" "--format=csv --order=time" \
    "$netcdf $station --qc=examples/qc.yaml"; do
  # shellcheck disable=SC2086
  echo "  hexlog $options: $(peak "$hexlog" $options "$work/big.log"), $(peak "$hexlog" $options "$work/small.log")"
done
tac "$work/big.log" >"$work/reversed.log"
for options in "--format=csv --order=time" "$netcdf"; do
  # shellcheck disable=SC2086
  echo "  hexlog $options on the reversed log: $(peak "$hexlog" $options "$work/reversed.log")"
done
# shellcheck disable=SC2086
echo "  hexlog $netcdf on ten times the input, from a pipe:" \
     "$("$build/genlog" $((records * 10)) | peak "$hexlog" $netcdf -)"
