#!/usr/bin/python3
"""hexlog.read against the tool and pandas on the benchmark log, in one run.

    /usr/bin/python3 bench/python_read.py [--records 2000000] [--runs 5] [--build build] [--python PYTHON]

Generates BUILD/big.log with BUILD/genlog (2,000,000 records, 580 MB, by
default) and its csv with the tool, then times, each the fastest of --runs
(the file in the page cache):

    the tool        BUILD/hexlog big.log > /dev/null (plain text)
    hexlog.read     read(big.log), in a fresh PYTHON process each run; then
                    once more in that process, into memory the first read's
                    arrays gave back (fresh memory costs the most on a
                    virtual machine)
    pandas          pandas.read_csv(big.csv), and with parse_dates=["time"]

PYTHON is the interpreter with hexlog installed (default: BUILD/python-env,
where tests/python/run.sh installs it, else this one). Peak memory is the
reading process's ru_maxrss (resource.getrusage), beside what the arrays
read() returned hold and what the process held before the call.
"""
import argparse
import json
import os
import subprocess
import sys
import time

# Runs in a fresh interpreter: one read, then the figures as JSON.
READER = r"""
import json, resource, sys, time
import hexlog
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
arrays = hexlog.read(sys.argv[1])
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
records, array_bytes = len(arrays["time"]), sum(a.nbytes for a in arrays.values())
del arrays
start = time.perf_counter()
again = hexlog.read(sys.argv[1])
print(json.dumps({"seconds": seconds, "again": time.perf_counter() - start, "records": records,
                  "array_bytes": array_bytes, "rss_before": before * 1024, "rss_peak": peak * 1024}))
"""

PANDAS = r"""
import json, sys, time
import pandas as pd
start = time.perf_counter()
df = pd.read_csv(sys.argv[1], parse_dates=["time"]) if sys.argv[2] == "dates" else pd.read_csv(sys.argv[1])
print(json.dumps({"seconds": time.perf_counter() - start, "records": len(df)}))
"""


def best(runs, measure):
    results = [measure() for _ in range(runs)]
    return min(results, key=lambda result: result["seconds"])


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return {"seconds": time.perf_counter() - start}


def in_python(python, script, *arguments):
    output = subprocess.run([python, "-c", script, *arguments], check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=2000000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pandas-runs", type=int, default=3)
    parser.add_argument("--build", default="build")
    parser.add_argument("--python")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    python = options.python
    if python is None:
        venv = os.path.join(build, "python-env", "bin", "python")
        python = venv if os.path.exists(venv) else sys.executable
    log, csv = os.path.join(build, "big.log"), os.path.join(build, "big.csv")

    with open(log, "wb") as out:
        subprocess.run([os.path.join(build, "genlog"), str(options.records)], stdout=out, check=True)
    subprocess.run([os.path.join(build, "hexlog"), "--format=csv", "--output=" + csv, log], check=True)
    size = os.path.getsize(log)
    with open(log, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass

    load_before = os.getloadavg()
    with open(os.devnull, "wb") as null:
        tool = best(options.runs, lambda: timed([os.path.join(build, "hexlog"), log], stdout=null))
    reads = [in_python(python, READER, log) for _ in range(options.runs)]
    read = min(reads, key=lambda result: result["seconds"])
    again = {"seconds": min(result["again"] for result in reads)}
    plain = best(options.pandas_runs, lambda: in_python(sys.executable, PANDAS, csv, "plain"))
    dates = best(options.pandas_runs, lambda: in_python(sys.executable, PANDAS, csv, "dates"))
    load_after = os.getloadavg()
    assert read["records"] == plain["records"] == dates["records"] == options.records

    mib = 1 << 20
    print(f"{options.records} records, {size / 1e6:.0f} MB of log, {os.path.getsize(csv) / 1e6:.0f} MB of csv; "
          f"fastest of {options.runs} runs ({options.pandas_runs} for pandas)")
    print(f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f} ({os.cpu_count()} cores)")
    print()
    print(f"| {'what':<50} | {'time':>8} | {'MB/s':>6} | {'vs hexlog.read':>14} |")
    print(f"|{'-' * 52}|{'-' * 10}|{'-' * 8}|{'-' * 16}|")
    for name, result in (("hexlog.read(big.log)", read), ("hexlog.read(big.log), again in the same process", again),
                         ("hexlog big.log > /dev/null", tool),
                         ("pandas.read_csv(big.csv)", plain),
                         ('pandas.read_csv(big.csv, parse_dates=["time"])', dates)):
        seconds = result["seconds"]
        print(f"| {name:<50} | {seconds:7.3f}s | {size / seconds / 1e6:6.0f} | {seconds / read['seconds']:13.2f}x |")
    print()
    arrays = read["array_bytes"]
    print(f"hexlog.read peak RSS {read['rss_peak'] / mib:.1f} MiB: the arrays {arrays / mib:.1f} MiB, "
          f"the process before the call {read['rss_before'] / mib:.1f} MiB; "
          f"allowed 1.25 x arrays + 32 MiB = {(1.25 * arrays + 32 * mib) / mib:.1f} MiB")


if __name__ == "__main__":
    main()
