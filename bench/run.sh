#!/usr/bin/env bash
# Times hexlog on a generated realistic log: plain and verbose mode, against
# `xxd -r -p` (hex to binary only) on the same file in the same run, and
# reports input MB/s, the ratio to xxd and peak resident memory.
#
#   bash bench/run.sh [RECORDS]     (default 2000000 records, about 580 MB)
#
# Needs hyperfine for the timings when it is installed, else takes the best of
# five runs; needs xxd (Debian package xxd) for the comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
records=${1:-2000000}
build=build/bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DHEXLOG_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target hexlog genlog >/dev/null
hexlog=$build/hexlog
"$build/genlog" "$records" >"$work/big.log"
"$build/genlog" 3 >"$work/small.log"
bytes=$(stat -c %s "$work/big.log")
echo "input: $records records, $bytes bytes; $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"

# Seconds for one command: hyperfine's mean, or the best of five runs.
seconds() {
  if command -v hyperfine >/dev/null; then
    hyperfine --warmup 1 --runs 5 --export-json "$work/t.json" --output=null "$1" >/dev/null
    python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["mean"])' "$work/t.json"
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

xxd_s=$(seconds "xxd -r -p $work/big.log")
plain_s=$(seconds "$hexlog $work/big.log")
verbose_s=$(seconds "$hexlog -v $work/big.log")
python3 - "$bytes" "$xxd_s" "$plain_s" "$verbose_s" <<'PY'
import sys
size, xxd, plain, verbose = int(sys.argv[1]), *map(float, sys.argv[2:])
mb = size / 1e6
for name, s in (("xxd -r -p", xxd), ("hexlog", plain), ("hexlog -v", verbose)):
    print(f"{name:10s} {s:7.3f} s  {mb / s:7.1f} MB/s  {xxd / s:5.2f} x xxd")
PY
echo "peak memory: plain $(peak "$hexlog" "$work/big.log") KiB on $bytes bytes," \
     "$(peak "$hexlog" "$work/small.log") KiB on $(stat -c %s "$work/small.log") bytes;" \
     "verbose $(peak "$hexlog" -v "$work/big.log") KiB"
