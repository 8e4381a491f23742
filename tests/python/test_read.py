# hexlog.read and read_dataframe against the tool's netCDF (every bit) and
# csv (the records, their order and the time window), read back with
# netCDF4 and pandas.
import datetime
import io

import netCDF4
import numpy as np
import pandas as pd
import pytest

import hexlog
from conftest import FILL, FILL_TIME, MISSING, hostile_lines, run_tool


def test_every_bit_as_the_tools_netcdf(hostile_log, tool_netcdf):
    arrays = hexlog.read(hostile_log, order="time", provenance=True)
    with netCDF4.Dataset(tool_netcdf("--provenance", hostile_log)) as nc:
        nc.set_auto_maskandscale(False)
        assert list(arrays) == ["time", *hexlog.COLUMN_NAMES, "source_file", "source_line"]
        assert arrays["time"].dtype == np.dtype("datetime64[s]")
        assert (arrays["time"].astype(np.int64) == nc["time"][:]).all()
        for k, name in enumerate(hexlog.COLUMN_NAMES):
            expected = nc[name][:].view(np.uint32).copy()
            missing = (expected == FILL) & ~((nc["time"][:] == FILL_TIME) & (k == 5))
            expected[missing] = MISSING
            assert arrays[name].dtype == np.float32
            assert (arrays[name].view(np.uint32) == expected).all(), name
        assert (arrays["source_file"] == hostile_log).all()
        assert (arrays["source_line"] == nc["source_line"][:]).all() and arrays["source_line"].dtype == np.int64


@pytest.mark.parametrize("order, window", [("input", []), ("time", []), ("input", ["2026-06-13T09:00:16Z", "@1781395200"]),
                                           ("time", ["1969-12-31T23:59:59Z", "2026-06-14"])])
def test_the_records_of_the_tools_csv(hostile_log, order, window):
    options = [f"--order={order}", "--time=epoch"]
    if window:
        options += ["--from=" + window[0], "--to=" + window[1]]
    arrays = hexlog.read(hostile_log, order=order, start=window[0] if window else None,
                         end=window[1] if window else None)
    same_as_csv(arrays, run_tool("--format=csv", *options, hostile_log).stdout)


def test_a_large_file_of_few_records(tmp_path):
    """Arrays laid out for the millions of records the file's size suggests hold the few it has."""
    log = tmp_path / "sparse.log"
    with open(log, "wb") as out:
        out.truncate(600 << 20)  # a hole: NULs, read without a disk
        out.seek(0, 2)
        out.write(b"\r\n" + "".join(hostile_lines()).encode("ascii"))
    same_as_csv(hexlog.read(str(log)), run_tool("--format=csv", "--time=epoch", str(log)).stdout)


def same_as_csv(arrays, text):
    csv = pd.read_csv(io.BytesIO(text), dtype=str)
    assert list(arrays["time"].astype(np.int64)) == [int(t) for t in csv["time"]]
    for name in hexlog.COLUMN_NAMES:
        expected = np.array([np.float32(text) if isinstance(text, str) else np.float32("nan") for text in csv[name]],
                            dtype=np.float32)
        got = arrays[name]
        assert (np.isnan(got) == np.isnan(expected)).all(), name
        assert (got[~np.isnan(got)].view(np.uint32) == expected[~np.isnan(expected)].view(np.uint32)).all(), name


@pytest.mark.parametrize("start", [
    np.datetime64("2026-06-13T09:00:16.2"), np.datetime64("2026-06-13T09:00:16.000000001", "ns"),
    pd.Timestamp("2026-06-13T11:00:16.5+02:00"), datetime.datetime(2026, 6, 13, 9, 0, 16, 1),
    datetime.datetime(2026, 6, 13, 11, 0, 16, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
])
def test_times_other_than_text_round_up_to_the_next_second(hostile_log, start):
    """Each is a little after the record of 09:00:16 UTC, which is outside; the next one is the first."""
    window = hexlog.read(hostile_log, start=start, end="2026-06-13T11:00:17Z")["time"]
    assert list(window) == list(hexlog.read(hostile_log, start="2026-06-13T09:00:17Z",
                                            end="2026-06-13T11:00:17Z")["time"])
    assert window[0] == np.datetime64("2026-06-13T10:00:16") and len(window) == 2


@pytest.mark.parametrize("start, text", [(np.datetime64("1970", "Y"), "1970-01-01"),
                                         (np.datetime64("1901-12", "M"), "1901-12-01"),
                                         (np.datetime64("1902", "Y"), "1902-01-01"),
                                         (np.datetime64("2026-06", "M"), "2026-06-01"),
                                         (np.array(["2020"], "M8[5Y]")[0], "2020-01-01")])
def test_calendar_units_start_where_their_dates_do(hostile_log, start, text):
    """Years and months are counted by hand, past numpy's own conversion; the library reads the date."""
    assert list(hexlog.read(hostile_log, start=start)["time"]) == list(hexlog.read(hostile_log, start=text)["time"])
    assert list(hexlog.read(hostile_log, end=start)["time"]) == list(hexlog.read(hostile_log, end=text)["time"])


def test_arrays_are_the_callers(hostile_log):
    arrays = hexlog.read([hostile_log, hostile_log], provenance=True)
    again = hexlog.read([hostile_log, hostile_log], provenance=True)
    for name, array in arrays.items():
        assert array.flags.writeable and array.flags.c_contiguous
        array[:] = array[::-1]  # nothing else sees it
    assert list(again["source_line"][:3]) == [3, 4, 5] and again["source_file"][-1] == hostile_log


def test_dataframe_is_the_arrays_on_a_utc_index(hostile_log):
    frame = hexlog.read_dataframe(hostile_log, provenance=True)
    arrays = hexlog.read(hostile_log, provenance=True)
    assert frame.index.name == "time" and str(frame.index.dtype) == "datetime64[ns, UTC]"
    assert (frame.index.tz_convert(None).values.astype("datetime64[s]") == arrays["time"]).all()
    assert list(frame.columns) == list(arrays)[1:]
    for name in hexlog.COLUMN_NAMES:
        assert frame[name].dtype == np.float32 and (frame[name].values.view(np.uint32) == arrays[name].view(np.uint32)).all()
    assert list(frame["source_line"]) == list(arrays["source_line"])


def test_the_module_is_the_tools_version():
    assert run_tool("--version").stdout == f"hexlog {hexlog.__version__}\n".encode()
