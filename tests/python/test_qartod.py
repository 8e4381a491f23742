# The QARTOD tests of --qc against qartod_reference, numpy's plain
# statement of what the field's Python library computes: every flag of
# random series and configurations (NaN, infinities, readings a record
# lacks, flat stretches, spikes, gaps), the edges spelt out, and the same
# flags in the tool's NCCSV and netCDF as in the module.
import json
import os

import numpy as np
import pytest

import hexlog
import qartod_reference as ref
from conftest import record, run_tool, word

TESTS = ("gross_range_test", "spike_test", "rate_of_change_test", "flat_line_test", "climatology_test",
         "location_test")
# The climatology's periods and the values each takes.
PERIODS = (("month", 1, 12), ("quarter", 1, 4), ("week", 1, 53), ("dayofyear", 1, 366), ("day", 1, 31),
           ("dayofweek", 0, 6), ("hour", 0, 23), ("minute", 0, 59), ("second", 0, 59), ("year", 2026, 2030))
STATION = "latitude,*SCALAR*,36.75d\nlongitude,*SCALAR*,-122.03d\n"


def series_log(path, times, columns):
    """A log whose reading k at record i is columns[k][i]: a float, None for
    a reading the record lacks (a window that is no reading)."""
    lines = []
    for i, t in enumerate(times):
        words = []
        for k in range(32):
            value = columns[k][i] if k < len(columns) else 1.0
            words.append("12G45678" if value is None else word(int(np.float32(value).view(np.uint32))))
        lines.append(record(int(t), words))
    with open(path, "w", newline="") as log:
        log.writelines(lines)
    return str(path)


def reference(name, args, values, times, latitude=36.75, longitude=-122.03):
    if name == "gross_range_test":
        return ref.gross_range(values, args["fail_span"], args.get("suspect_span"))
    if name == "spike_test":
        return ref.spike(values, args.get("suspect_threshold"), args.get("fail_threshold"), args.get("method", "average"))
    if name == "rate_of_change_test":
        return ref.rate_of_change(values, times, args["threshold"], args.get("fail_threshold"))
    if name == "flat_line_test":
        return ref.flat_line(values, times, args.get("tolerance", 0), args["suspect_threshold"], args["fail_threshold"])
    if name == "climatology_test":
        return ref.climatology(values, times, args["config"])
    return ref.location(len(values), latitude, longitude, args["bbox"])


def random_args(rng, name, values, times):
    finite = values[np.isfinite(values)]
    spread = float(np.std(finite)) if finite.size > 1 else 1.0
    if name == "gross_range_test":
        fail = sorted(rng.normal(5, 3, 2))
        args = {"fail_span": fail}
        if rng.random() < 0.7:
            middle = rng.uniform(fail[0], fail[1], 2)
            args["suspect_span"] = sorted(middle)
        return args
    if name == "spike_test":
        args = {"suspect_threshold": float(rng.choice([0, spread / 4, spread])),
                "fail_threshold": float(rng.choice([0, spread / 2, spread * 2]))}
        if rng.random() < 0.5:
            args["method"] = "differential"
        return args
    if name == "rate_of_change_test":
        args = {"threshold": float(spread / rng.choice([10, 100, 1000]))}
        if rng.random() < 0.5:
            args["fail_threshold"] = args["threshold"] * 3
        return args
    if name == "flat_line_test":
        step = float(np.median(np.diff(times))) if len(times) > 1 else 60.0
        return {"tolerance": float(rng.choice([0.01, 0.5, 2])), "suspect_threshold": int(step * rng.integers(0, 5)),
                "fail_threshold": int(step * rng.integers(2, 9) + rng.integers(0, 30))}
    if name == "climatology_test":
        members = []
        for _ in range(rng.integers(1, 4)):
            if rng.random() < 0.5:
                start, end = sorted(rng.choice(times, 2))
                member = {"tspan": [int(start), int(end)]}
            else:
                period, low, high = PERIODS[rng.integers(0, len(PERIODS))]
                member = {"tspan": sorted(int(m) for m in rng.integers(low, high + 1, 2)), "period": period}
            member["vspan"] = sorted(rng.normal(5, 2, 2))
            if rng.random() < 0.6:
                member["fspan"] = sorted([member["vspan"][0] - 1, member["vspan"][1] + 1])
            members.append(member)
        return {"config": members}
    return {"bbox": [-130, 30, -120, 40] if rng.random() < 0.7 else [-120, 30, -110, 40]}


def yaml_args(name, args):
    """The arguments as the configuration gives them: times as ISO text."""
    if name != "climatology_test":
        return args
    members = []
    for member in args["config"]:
        member = dict(member)
        if "period" not in member:
            member["tspan"] = [np.datetime_as_string(np.datetime64(t, "s"), "s") + "Z" for t in member["tspan"]]
        members.append(member)
    return {"config": members}


def random_series(rng, count):
    times = np.cumsum(rng.choice([60, 60, 60, 120, 3600, 86400 * 20], count)) + 1781395200
    values = rng.normal(5, 2, count)
    for _ in range(count // 10):  # flat stretches
        at = rng.integers(0, count)
        values[at:at + rng.integers(2, 12)] = values[at]
    values[rng.random(count) < 0.05] *= 10  # spikes
    odd = rng.random(count)
    values[odd < 0.04] = np.nan
    values[(odd >= 0.04) & (odd < 0.06)] = np.inf
    values[(odd >= 0.06) & (odd < 0.07)] = -np.inf
    lacks = (odd >= 0.07) & (odd < 0.1)
    return times, np.float32(values).astype(np.float64), lacks


@pytest.mark.parametrize("seed", range(12))
def test_every_flag_is_the_reference_libraries(tmp_path, seed):
    rng = np.random.default_rng(seed)
    # Every third series crosses the library's blocks of 512 records: a
    # jump across one boundary, an infinity before the next.
    count = int(rng.choice([1, 2, 3, 4, 60, 400])) if seed % 3 else 1500
    times, values, lacks = random_series(rng, count)
    if count > 1024:
        times = np.cumsum(rng.choice([60, 120, 3600], count)) + 1781395200  # in 32-bit seconds, in order
        values[511:513] = [5, 5000]
        values[1023:1025] = [np.inf, 5]
        lacks[[511, 512, 1023, 1024]] = False
    columns = [[None if lacks[i] else values[i] for i in range(count)]]
    log = series_log(tmp_path / "a.log", times, columns)
    streams = {}
    for name in TESTS:
        streams[name] = random_args(rng, name, values, times)
    config = {"streams": {"EquilPumpOn_pCO2": {"qartod": {**{n: yaml_args(n, a) for n, a in streams.items()},
                                                          "aggregate": {}}}}}
    qc = tmp_path / "qc.json"
    qc.write_text(json.dumps(config))
    meta = tmp_path / "station.meta"
    meta.write_text(STATION)
    arrays = hexlog.read(log, qc=str(qc), metadata=str(meta))
    got_values = arrays["EquilPumpOn_pCO2"].astype(np.float64)
    got_times = arrays["time"].astype(np.int64)
    expected = {}
    for name, args in streams.items():
        expected[name] = reference(name, args, got_values, got_times)
        got = arrays["EquilPumpOn_pCO2_qartod_" + name]
        assert got.dtype == np.int8
        assert (got == expected[name]).all(), (name, args, np.nonzero(got != expected[name])[0][:10])
    assert (arrays["EquilPumpOn_pCO2_qartod_aggregate"] == ref.aggregate(list(expected.values()))).all()


def test_each_climatology_period_picks_the_references_points(tmp_path):
    rng = np.random.default_rng(8)
    times = np.cumsum(rng.choice([61, 3600, 86400 + 3661, 86400 * 9], 500)) + 1781395200
    values = np.float32(rng.normal(5, 2, 500)).astype(np.float64)
    log = series_log(tmp_path / "a.log", times, [list(values)])
    # One member for each period, over the middle third of its values: the
    # points outside it stay 2, those inside are 1, 3 or 4 by their value.
    for period, low, high in PERIODS:
        third = (high - low) // 3
        config = {"config": [{"tspan": [low + third, high - third], "vspan": [4, 6], "fspan": [2, 8],
                              "period": period}]}
        qc = tmp_path / "qc.json"
        qc.write_text(json.dumps({"streams": {"EquilPumpOn_pCO2": {"qartod": {"climatology_test": config}}}}))
        arrays = hexlog.read(log, qc=str(qc))
        expected = reference("climatology_test", config, arrays["EquilPumpOn_pCO2"].astype(np.float64),
                             arrays["time"].astype(np.int64))
        got = arrays["EquilPumpOn_pCO2_qartod_climatology_test"]
        assert (got == expected).all() and len(set(expected)) > 2, period


def test_contexts_test_the_series_of_their_windows(tmp_path):
    rng = np.random.default_rng(5)
    times, values, lacks = random_series(rng, 300)
    log = series_log(tmp_path / "a.log", times, [[None if lacks[i] else values[i] for i in range(300)]])
    cut = [int(times[60]), int(times[200])]
    iso = [np.datetime_as_string(np.datetime64(t, "s"), "s") + "Z" for t in cut]
    tests = [{"spike_test": {"suspect_threshold": 1}, "flat_line_test": {"tolerance": 0.5, "suspect_threshold": 100,
                                                                         "fail_threshold": 400}},
             {"spike_test": {"suspect_threshold": 3}, "rate_of_change_test": {"threshold": 0.001}}]
    qc = tmp_path / "qc.json"
    qc.write_text(json.dumps({"contexts": [
        {"window": {"ending": iso[0]}, "streams": {"EquilPumpOn_pCO2": {"qartod": tests[0]}}},
        {"window": {"starting": iso[1]}, "streams": {"EquilPumpOn_pCO2": {"qartod": tests[1]}}}]}))
    arrays = hexlog.read(log, qc=str(qc))
    t, x = arrays["time"].astype(np.int64), arrays["EquilPumpOn_pCO2"].astype(np.float64)
    windows = [t < cut[0], t >= cut[1]]
    for name in ("spike_test", "flat_line_test", "rate_of_change_test"):
        expected = np.full(t.size, ref.UNKNOWN, dtype=np.int8)  # where no context tests it
        for window, given in zip(windows, tests):
            if name in given:
                expected[window] = reference(name, given[name], x[window], t[window])
        assert (arrays["EquilPumpOn_pCO2_qartod_" + name] == expected).all(), name


def test_the_edges_spelt_out(tmp_path):
    meta = tmp_path / "station.meta"
    meta.write_text(STATION)

    def flags(values, tests, times=None):
        times = np.arange(len(values)) * 60 + 1781395200 if times is None else np.asarray(times)
        log = series_log(tmp_path / "e.log", times, [values])
        qc = tmp_path / "e.json"
        qc.write_text(json.dumps({"streams": {"EquilPumpOn_pCO2": {"qartod": tests}}}))
        arrays = hexlog.read(log, qc=str(qc), metadata=str(meta))
        return {name: list(arrays["EquilPumpOn_pCO2_qartod_" + name]) for name in tests}

    nan, inf = float("nan"), float("inf")
    got = flags([1, 9, 1, None, 1, 2, 2.5], {"spike_test": {"suspect_threshold": 3, "fail_threshold": 0}})
    assert got["spike_test"] == [2, 3, 2, 9, 2, 1, 2]  # the ends, beside a missing one, a 0 threshold not applied
    got = flags([1, nan, 5, 5.1, inf, -inf], {"gross_range_test": {"fail_span": [0, 5], "suspect_span": [0, 4]},
                                              "rate_of_change_test": {"threshold": 0.001}})
    assert got["gross_range_test"] == [1, 9, 3, 4, 4, 4]  # NaN missing, an infinity outside any span
    assert got["rate_of_change_test"] == [1, 9, 1, 3, 9, 9]  # after a missing one, 1
    got = flags([2, None], {"flat_line_test": {"tolerance": 1, "suspect_threshold": 0, "fail_threshold": 60}})
    assert got["flat_line_test"] == [1, 1]  # fewer than three points: all good, a missing one too
    got = flags([2, 2, None, 2, 3, 3, 3], {"flat_line_test": {"tolerance": 0.5, "suspect_threshold": 30,
                                                              "fail_threshold": 150}})
    assert got["flat_line_test"] == [3, 3, 9, 4, 3, 3, 4]  # n = 0 and n = 2 over a gap
    month = {"climatology_test": {"config": [{"tspan": [1, 12], "period": "month", "vspan": [0, 1]},
                                             {"tspan": [6, 6], "period": "month", "vspan": [0, 10], "fspan": [-5, 12]}]}}
    june = [1781395200, 1781395260, 1781395320]  # June: the second member wins
    assert flags([0.5, 11, 20], month, june)["climatology_test"] == [1, 3, 4]


def test_the_tools_formats_carry_the_modules_flags(tmp_path):
    rng = np.random.default_rng(99)
    times, values, lacks = random_series(rng, 300)
    log = series_log(tmp_path / "a.log", times, [[None if lacks[i] else values[i] for i in range(300)]])
    qc = tmp_path / "qc.yaml"
    qc.write_text("streams:\n  EquilPumpOn_pCO2:\n    qartod:\n"
                  "      gross_range_test: {fail_span: [0, 10], suspect_span: [2, 8]}\n"
                  "      spike_test: {suspect_threshold: 1, fail_threshold: 3}\n"
                  "      flat_line_test: {tolerance: 0.1, suspect_threshold: 180, fail_threshold: 600}\n"
                  "      aggregate: {}\n"
                  "  Durafet_pH_1:\n    qartod:\n      rate_of_change_test: {threshold: 0.0001}\n")
    arrays = hexlog.read(log, qc=str(qc))
    names = [n for n in arrays if "_qartod_" in n]
    assert names == ["EquilPumpOn_pCO2_qartod_gross_range_test", "EquilPumpOn_pCO2_qartod_spike_test",
                     "EquilPumpOn_pCO2_qartod_flat_line_test", "EquilPumpOn_pCO2_qartod_aggregate",
                     "Durafet_pH_1_qartod_rate_of_change_test"]
    text = run_tool("--format=nccsv", "--qc=" + str(qc), log).stdout.decode()
    rows = text.split("*END_METADATA*\n", 1)[1].splitlines()
    header = rows[0].split(",")
    for name in names:
        column = [int(row.split(",")[header.index(name)]) for row in rows[1:-1]]
        assert column == list(arrays[name]), name
    assert f"{names[0]},standard_name,gross_range_test_quality_flag" in text
    assert 'EquilPumpOn_pCO2,ancillary_variables,"' not in text  # one word per flag, no commas to quote
    csv = run_tool("--format=csv", "--time=epoch", "--qc=" + str(qc), log).stdout.decode().splitlines()
    assert csv[0].split(",")[33:] == names
    nc = str(tmp_path / "a.nc")
    run_tool("--format=netcdf", "--qc=" + str(qc), "--output=" + nc, log)
    import xarray as xr
    with xr.open_dataset(nc) as ds, hexlog.open_dataset(log, qc=str(qc)) as opened:
        for name in names:
            assert (ds[name].values == arrays[name]).all(), name
            assert ds[name].identical(opened[name]), name
            assert ds[name].attrs["ioos_qc_target"] == name.split("_qartod_")[0]
            assert json.loads(ds[name].attrs["ioos_qc_config"]) is not None
        assert ds["EquilPumpOn_pCO2"].attrs["ancillary_variables"].split() == names[:4]


@pytest.mark.parametrize("text, line, says", [
    ("streams:\n  NoSuchReading:\n    qartod: {gross_range_test: {fail_span: [0, 1]}}\n", 2, "unknown reading"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      bad_test: {}\n", 4, "unknown test 'bad_test'"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      gross_range_test: {}\n", 4, "needs fail_span"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      gross_range_test: {fail_span: [7, 8], suspect_span: [6, 8]}\n",
     4, "outside the fail span"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      spike_test: {suspect_threshold: high}\n", 4, "is a number"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      flat_line_test: {tolerance: 1, suspect_threshold: 10}\n",
     4, "needs fail_threshold"),
    ("contexts:\n  - window: {starting: 2026-07-01, ending: 2026-06-01}\n    streams: {}\n", 2, "not before"),
    ("streams:\n  Durafet_pH_1:\n    qartod:\n      location_test: {bbox: [0, 0, 1, 1]}\n", 4,
     "location_test takes the station's position"),
])
def test_a_configuration_that_cannot_be_is_named_by_line(tmp_path, text, line, says):
    qc = tmp_path / "qc.yaml"
    qc.write_text(text)
    with pytest.raises(ValueError, match=rf"^{qc}:{line}: .*{says}"):
        hexlog.read(os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample.log"), qc=str(qc))
