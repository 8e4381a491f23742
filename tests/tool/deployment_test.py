# A deployment as a mooring's logs really come: daily files named out of
# time order, a day dumped twice, an overlapping pair with one conflicting
# record, a truncated last line, operator comments, a day outside the
# window. Everything the tool writes is held to what the generator put in,
# computed here independently: the ordered, de-duplicated records with their
# exact bits, the summary counts, provenance, QC flags and computed
# attributes, in csv, NCCSV and netCDF (through netCDF4, xarray and ncdump).
#
#   python3 deployment_test.py HEXLOG
import math
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time as clock

hexlog = os.path.abspath(sys.argv[1])
rng = random.Random(15)
DAY0 = 1781395200  # 2026-06-14
NAMES = ["time"] + [n.replace(" ", "_").replace("Humdity", "Humidity") for n in (
    "EquilPumpOn pCO2,EquilPumpOn Temp,EquilPumpOn Pressure,EquilPumpOff pCO2,EquilPumpOff Temp,"
    "EquilPumpOff Pressure,EquilPumpOff Humidity,ZeroPumpOn pCO2,ZeroPumpOn Temp,ZeroPumpOn Pressure,"
    "ZeroPumpOff pCO2,ZeroPumpOff Temp,ZeroPumpOff Pressure,AirPumpOn pCO2,AirPumpOn Temp,AirPumpOn Pressure,"
    "AirPumpOff pCO2,AirPumpOff Temp,AirPumpOff Pressure,AirPumpOff Humdity,StandardFlowOn Pressure,"
    "StandardFlowOff pCO2,StandardFlowOff Temp,StandardFlowOff Pressure,StandardFlowOff Humidity,"
    "Durafet pH 1,Durafet pH 2,Durafet pH 3,Durafet pH 4,Durafet pH 5,Durafet pH 6,Can Humidity").split(",")]
NAN = 0x7FC00000
PCO2_RANGE = (100.0, 1000.0)  # the metadata's valid_range of EquilPumpOn_pCO2


def word(value):
    return struct.unpack(">I", struct.pack(">f", value))[0]


def as_float(bits):
    return struct.unpack(">f", struct.pack(">I", bits))[0]


def reading():
    roll = rng.random()
    if roll < 0.02:
        return 0x7FC00000 | rng.getrandbits(22)  # NaN with a payload
    if roll < 0.04:
        return word(rng.uniform(1000, 3000))  # out of the valid range
    return word(rng.uniform(150, 990) if rng.random() < 0.5 else rng.uniform(-2, 40))


def line(t, words):
    return "SN0042 2026-06-14 00:00 " + "%08X" % (t & 0xFFFFFFFF) + "".join("%08X" % w for w in words) + "\r\n"


# Each record: (time, 32 words), and each file: its name and records.
days = {}
for d in range(30):
    days[d] = [(DAY0 + d * 86400 + slot * 10800 + rng.randrange(40), [reading() for _ in range(32)])
               for slot in range(8)]
files = []
order = list(range(30))
rng.shuffle(order)  # file names that do not sort in time order
for d in range(30):
    files.append(("f%02d-day%02d.log" % (order[d], d), list(days[d])))
files.append(("redump-day05.log", list(days[5])))  # a day dumped twice
overlap = [days[9][5], days[9][6], (days[9][7][0], [reading() for _ in range(32)])]  # two repeats, one conflict
files.append(("overlap.log", overlap + list(days[10][:2])))
files.sort(key=lambda f: f[0])
texts = {name: "".join(line(t, w) for t, w in records) for name, records in files}
first = files[0][0]
comment = "# operator: buoy serviced, sensors cleaned and recalibrated against the reference gas, " \
          "log continues after the swap of the battery pack\n"
texts[first] = "# SN0042\n" + comment + texts[first]
last = files[-1][0]
cut_time, cut_words = files[-1][1][-1]
texts[last] = texts[last][:len(texts[last]) - len(line(cut_time, cut_words))] + line(cut_time, cut_words)[:24 + 8 + 20 * 8 + 3]
files[-1][1][-1] = (cut_time, cut_words[:20] + [None])  # 20 readings, then a truncated window: missing

# The window leaves out day 0.
start, end = DAY0 + 86400, DAY0 + 31 * 86400

# What every format must hold: by time, stably, the first record of a time.
seen, expected, counts = {}, [], {name: [0] * 8 for name, _ in files}
for index, (name, records) in enumerate(files):
    for number, (t, w) in enumerate(records):
        if not start <= t < end:
            counts[name][7] += 1
            continue
        if t in seen:
            counts[name][5 if seen[t][1] == w else 6] += 1
            continue
        seen[t] = (index, w)
        expected.append((t, index, number + 1 + (2 if name == first else 0), w))
        counts[name][0] += 1
expected.sort(key=lambda r: (r[0], r[1], r[2]))
counts[first][1] += 1  # "# SN0042" is too short
counts[first][2] += 1  # the comment is no record
counts[last][4] += 1   # the truncated window
names = [name for name, _ in files]


def check_records(rows, flags=None):
    assert len(rows) == len(expected), (len(rows), len(expected))
    for got, (t, index, number, w) in zip(rows, expected):
        assert got[0] == t, (got[0], t)
        for k in range(32):
            bits = w[k] if k < len(w) and w[k] is not None else None
            value = got[1][k]
            if bits is None:
                assert value is None or math.isnan(value), (t, k, value)
            elif math.isnan(as_float(bits)):
                assert value is None or math.isnan(value), (t, k, value)
            else:
                assert word(value) == bits, (t, k, value, hex(bits))
        assert got[2] == (index, number), (got[2], index, number)


def qc(w):
    if w[0] is None or math.isnan(as_float(w[0])):
        return 9
    return 1 if PCO2_RANGE[0] <= as_float(w[0]) <= PCO2_RANGE[1] else 4


with tempfile.TemporaryDirectory() as work:
    os.chdir(work)
    for name, text in texts.items():
        with open(name, "w") as f:
            f.write(text)
    meta = os.path.join(work, "station.meta")
    with open(meta, "w") as f:
        f.write("*GLOBAL*,title,Test deployment\nlatitude,*SCALAR*,36.75d\nlongitude,*SCALAR*,-122.03d\n"
                "EquilPumpOn_pCO2,standard_name,surface_partial_pressure_of_carbon_dioxide_in_sea_water\n"
                "EquilPumpOn_pCO2,valid_range,100.0f,1000.0f\n")
    tmp = os.path.join(work, "tmp")
    os.mkdir(tmp)
    env = dict(os.environ, TMPDIR=tmp, SOURCE_DATE_EPOCH="1800000000")
    window = ["--from=2026-06-15", "--to=@%d" % end]

    def tool(*args, check=True):
        done = subprocess.run([hexlog, *args], env=env, capture_output=True, text=True)
        assert not check or done.returncode == 0, done.stderr
        return done

    # csv, through a spill of many small runs: records, provenance and the summary.
    done = tool("--format=csv", "--time=epoch", "--order=time", "--provenance", "--summary", "--sort-memory=4000",
                *window, *names)
    csv_rows = []
    for text in done.stdout.splitlines()[1:]:
        fields = text.split(",")
        csv_rows.append((int(fields[0]), [float(v) if v else None for v in fields[1:33]],
                         (names.index(fields[33]), int(fields[34]))))
    check_records(csv_rows)
    summary = [text.split("\t") for text in done.stderr.splitlines() if "\t" in text]
    assert summary[0][:2] == ["file", "written"], summary[0]
    table = {row[0]: [int(n) for n in row[1:]] for row in summary[1:]}
    for name in names:
        assert table[name] == counts[name], (name, table[name], counts[name])
    assert table["total"] == [sum(c[i] for c in counts.values()) for i in range(8)], table["total"]
    assert tool("--format=csv", "--time=epoch", "--order=time", "--provenance", *window, *names).stdout == done.stdout

    # netCDF: the same records, flags, provenance and computed attributes.
    import netCDF4
    import numpy as np
    import xarray as xr
    nc = os.path.join(work, "deployment.nc")
    tool("--format=netcdf", "--provenance", "--metadata=" + meta, "--output=" + nc, *window, *names)
    with netCDF4.Dataset(nc) as ds:
        ds.set_auto_mask(False)
        times = ds["time"][:]
        assert (np.diff(times) > 0).all(), "time is strictly increasing"
        sources = ds.source_files.split("\n")
        assert sources == names
        columns = [ds[n][:] for n in NAMES[1:]]
        fill = ds["EquilPumpOn_pCO2"]._FillValue
        got = []
        for i, t in enumerate(times):
            values = [None if c[i] == fill else float(c[i]) for c in columns]
            got.append((int(t), values, (int(ds["source_file"][i]), int(ds["source_line"][i]))))
        check_records(got)
        assert list(ds["EquilPumpOn_pCO2_qc"][:]) == [qc(w) for _, _, _, w in expected]
        assert list(ds["EquilPumpOn_pCO2"].ancillary_variables.split()) == ["EquilPumpOn_pCO2_qc"]
        assert ds["EquilPumpOn_pCO2_qc"].standard_name == "gross_range_test_quality_flag"
        assert list(ds["EquilPumpOn_pCO2_qc"].flag_values) == [1, 2, 3, 4, 9]
        assert list(ds["time"].actual_range) == [expected[0][0], expected[-1][0]]
        finite = [as_float(w[1]) for *_, w in expected if w[1] is not None and math.isfinite(as_float(w[1]))]
        assert [float(x) for x in ds["EquilPumpOn_Temp"].actual_range] == [min(finite), max(finite)]
        assert ds.time_coverage_start == clock.strftime("%Y-%m-%dT%H:%M:%SZ", clock.gmtime(expected[0][0]))
        assert ds.geospatial_lat_min == 36.75 and ds.geospatial_lon_max == -122.03
        assert ds.date_created == "2027-01-15T08:00:00Z"
    header = subprocess.run(["ncdump", "-h", nc], capture_output=True, text=True, check=True).stdout
    assert "\tbyte EquilPumpOn_pCO2_qc(time) ;" in header and "\tint64 source_line(time) ;" in header, header
    with xr.open_dataset(nc) as ds:
        day = ds.sel(time=slice("2026-06-20", "2026-06-20T23:59:59"))
        assert day.sizes["time"] == 8

    # NCCSV carries the same computed attributes, written before the records.
    nccsv = tool("--format=nccsv", "--provenance", "--metadata=" + meta, *window, *names).stdout.splitlines()
    assert "*GLOBAL*,time_coverage_end,\"%s\"" % clock.strftime("%Y-%m-%dT%H:%M:%SZ", clock.gmtime(expected[-1][0])) \
        in nccsv
    data = nccsv[nccsv.index("*END_METADATA*") + 2:-1]
    assert [int(r.split(",")[33]) for r in data] == [qc(w) for *_, w in expected]

    # Spill files leave nothing behind: not on success, failure, or SIGTERM.
    assert os.listdir(tmp) == []
    tool("--format=csv", "--order=time", "--sort-memory=4000", *names, "missing.log", check=False)
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    proc = subprocess.Popen([hexlog, "--format=csv", "--order=time", "--sort-memory=4000", *names, fifo], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(fifo, "w") as writer:
        writer.write(texts[names[0]])
        writer.flush()
        clock.sleep(0.2)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait() == -signal.SIGTERM
    assert os.listdir(tmp) == [], os.listdir(tmp)

    # Provenance maps every record back to its file, whatever the file's name
    # (a line feed, a comma, quotes, a percent sign, bytes that are not
    # UTF-8), in netCDF and in NCCSV, which stays UTF-8.
    import re
    import urllib.parse
    odd = [b"first.log", b"new\nline.log", b'a,"q".log', b"caf\xe9.log", b"50%.log"]
    for i, name in enumerate(odd):
        with open(os.path.join(os.fsencode(work), name), "w", newline="") as f:
            f.writelines(line(t, w) for t, w in days[i][:i + 1])  # file i holds i + 1 records
    given = [os.fsdecode(name) for name in odd]

    def mapped(sources, indices):
        decoded = [urllib.parse.unquote_to_bytes(n) for n in sources.split("\n")]
        assert decoded == odd, decoded
        assert sorted((int(i), list(indices).count(i)) for i in set(indices)) == [(i, i + 1) for i in range(5)]
    odd_nc = os.path.join(work, "odd.nc")
    tool("--format=netcdf", "--provenance", "--output=" + odd_nc, *given)
    with netCDF4.Dataset(odd_nc) as ds:
        assert ds["source_line"].dtype == np.int64
        mapped(ds.source_files, ds["source_file"][:])
    text = subprocess.run([hexlog, "--format=nccsv", "--provenance", *given], cwd=work, env=env, check=True,
                          capture_output=True).stdout.decode("utf-8")  # strict: valid UTF-8 or an exception
    value = next(r for r in text.splitlines() if r.startswith("*GLOBAL*,source_files,")).split(",", 2)[2]
    if value.startswith('"'):
        value = value[1:-1].replace('""', '"')
    value = re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "\\": "\\", '"': '"'}[m.group(1)], value)
    assert "source_line,*DATA_TYPE*,long" in text.splitlines()
    rows = text.split("*END_METADATA*\n", 1)[1].splitlines()[1:-1]
    mapped(value, [int(r.split(",")[33]) for r in rows])
print("deployment: %d files, %d records written" % (len(names), len(expected)))
