# hexlog.open_dataset and the "hexlog" engine against xarray's reading of
# the tool's netCDF file of the same inputs: the same Dataset, bit for bit,
# with the same attributes and encoding.
import os
import pickle
import re

import numpy as np
import pytest
import xarray as xr

import hexlog
from conftest import SAMPLE, STATION, write_log


def same_dataset(ours, theirs):
    """Identical but for what made them, with SOURCE_DATE_EPOCH as the tool had it."""
    assert ours.attrs["date_created"] == theirs.attrs["date_created"] == "2027-01-15T08:00:00Z"
    for ds in (ours, theirs):
        for name in ("date_created", "history"):
            ds.attrs.pop(name)
    xr.testing.assert_identical(ours, theirs)
    assert list(ours.variables) == list(theirs.variables)
    for name, variable in ours.variables.items():
        if variable.dtype.kind == "f":
            bits = f"u{variable.dtype.itemsize}"
            assert (np.atleast_1d(variable.values).view(bits) == np.atleast_1d(theirs[name].values).view(bits)).all()
        for ds in (ours, theirs):
            ds[name].encoding.pop("source")
        assert ours[name].encoding == theirs[name].encoding, name
    assert ours.encoding["unlimited_dims"] == theirs.encoding["unlimited_dims"]


@pytest.mark.parametrize("log, metadata, provenance, window", [
    (SAMPLE, STATION, True, []),
    ("hostile", STATION, False, ["1970-01-01", "2026-06-13T11:00:16Z"]),
    ("hostile", None, True, []),
])
def test_as_xarray_reads_the_tools_netcdf(hostile_log, tool_netcdf, monkeypatch, log, metadata, provenance, window):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1800000000")
    log = hostile_log if log == "hostile" else log
    arguments = (["--metadata=" + metadata] if metadata else []) + (["--provenance"] if provenance else [])
    if window:
        arguments += ["--from=" + window[0], "--to=" + window[1]]
    theirs = xr.open_dataset(tool_netcdf(*arguments, log))
    ours = hexlog.open_dataset(log, metadata=metadata, provenance=provenance, start=window[0] if window else None,
                               end=window[1] if window else None)
    same_dataset(ours, theirs)


def test_the_engine_as_a_user_has_it(tmp_path, tool_netcdf, monkeypatch):
    """Installed, the engine is xarray's for .log files, and its variables are read on demand."""
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1800000000")
    log = write_log(tmp_path / "day.log", 2000, seed=1)
    assert hexlog.__file__.startswith(os.environ["HEXLOG_PYTHON_PACKAGE"]) and "hexlog" in xr.backends.list_engines()
    ours = xr.open_dataset(log, metadata=STATION)
    assert ours.EquilPumpOn_pCO2.variable._in_memory is False
    # What goes to a worker is the recipe of the decoding, not the readings.
    loaded = xr.open_dataset(log, metadata=STATION).load()
    assert len(pickle.dumps(ours)) < len(pickle.dumps(loaded)) / 2
    same_dataset(ours, xr.open_dataset(tool_netcdf("--metadata=" + STATION, log)))


def test_open_mfdataset_on_a_cluster(tmp_path):
    from dask.distributed import Client, LocalCluster

    records = [line for line in open(SAMPLE, encoding="ascii") if len(line.lstrip()) >= 132]
    paths = []
    for day in range(3):
        paths.append(str(tmp_path / f"day{day}.log"))
        with open(paths[-1], "w", encoding="ascii", newline="") as log:
            log.writelines(records[10 * day:10 * day + 10])
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        ds = xr.open_mfdataset(os.path.join(tmp_path, "day*.log"), engine="hexlog", parallel=True, metadata=STATION)
        later = xr.open_mfdataset(paths, engine="hexlog", parallel=True, provenance=True)
        assert ds.EquilPumpOn_pCO2.chunks == ((1,), (10, 10, 10))  # (station, time): the example is IOOS-1.2
        xr.testing.assert_equal(ds.load(), hexlog.open_dataset(paths, metadata=STATION))
        # A worker decoding a file changed since it was opened says so.
        with open(paths[1], "w", encoding="ascii", newline="") as log:
            log.writelines(records[20:30])
        with pytest.raises(OSError, match=f"^{re.escape(paths[1])} changed while it was read$"):
            later.load()


@pytest.mark.parametrize("change", ["readings", "times"])
def test_a_file_changed_between_open_and_compute(tmp_path, change):
    """The readings decoded later are those the attributes were computed
    from, or an OSError: never other records under the first ones' attributes."""
    log = write_log(tmp_path / "day.log", 500, seed=1)
    ds = hexlog.open_dataset(log)
    elsewhere = pickle.loads(pickle.dumps(ds))  # as a worker has it: no decoding, the recipe of one
    write_log(log, 500, seed=2 if change == "readings" else 1, start=0x6A2D0000 + (change == "times"))
    with pytest.raises(OSError, match=f"^{re.escape(log)} changed while it was read$"):
        elsewhere.load()
    # The same records again are no change, whatever was done to the file.
    write_log(log, 500, seed=1)
    xr.testing.assert_identical(elsewhere.load(), ds.load())
