# hexlog.open_mfdataset against hexlog.open_dataset of the same files: a
# messy deployment read in chunks, here and on a cluster's workers, is the
# one Dataset of the whole, with the same warnings and summary.
import glob
import os
import re
import warnings

import numpy as np
import pytest
import xarray as xr

import hexlog
from conftest import QC, STATION, TOP, messy_deployment


@pytest.fixture(scope="module")
def deployment(tmp_path_factory):
    return messy_deployment(tmp_path_factory.mktemp("deployment"))


@pytest.fixture(scope="module")
def cluster():
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster


def opened(function, paths, **arguments):
    """The Dataset, loaded, its summary table, the notices it warned of and its chunks."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", hexlog.HexlogWarning)
        ds, table = function(paths, summary=True, **arguments)
        chunks = dict(ds.chunksizes)
        ds.load()
    return ds, table, [str(w.message) for w in caught if w.category is hexlog.HexlogWarning], chunks


def assert_same(ours, theirs):
    (ds, table, notices, _), (their_ds, their_table, their_notices, _) = ours, theirs
    xr.testing.assert_identical(ds, their_ds)
    for name, variable in ds.variables.items():
        if variable.dtype.kind == "f":  # NaN payloads and negative zeros, which identical lets by
            bits = f"u{variable.dtype.itemsize}"
            assert np.array_equal(variable.values.view(bits), their_ds[name].values.view(bits)), name
        assert variable.encoding == their_ds[name].encoding, name
    assert ds.encoding == their_ds.encoding
    assert table.equals(their_table) and notices == their_notices


@pytest.mark.parametrize("arguments, chunks", [
    ({}, 50),
    ({"qc": QC, "metadata": STATION, "provenance": True}, 50),
    ({"qc": QC, "metadata": STATION, "start": "2026-06-20", "end": "2026-07-30T12:00:00Z"}, 25),
    ({"metadata": STATION}, None),
], ids=["plain", "qc-provenance", "qc-window", "one-chunk"])
@pytest.mark.parametrize("parallel", [False, True], ids=["here", "cluster"])
def test_a_deployment_in_chunks_is_open_dataset(deployment, cluster, monkeypatch, arguments, chunks, parallel):
    from dask.distributed import Client

    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1800000000")
    paths = sorted(glob.glob(deployment))
    whole = opened(hexlog.open_dataset, paths, **arguments)
    assert (whole[1].loc["total", ["too_short", "readings_missing", "duplicates", "conflicts"]] > 0).all()  # messy enough
    if parallel:
        with Client(cluster):
            ours = opened(hexlog.open_mfdataset, deployment, parallel=True, chunks=chunks, **arguments)
    else:
        ours = opened(hexlog.open_mfdataset, deployment, chunks=chunks, **arguments)
    assert ours[0].time.size == whole[0].time.size
    assert ours[3]["time"][0] == min(chunks or hexlog.NETCDF_CHUNK, whole[0].time.size)
    assert_same(ours, whole)


@pytest.mark.parametrize("parallel", [False, True], ids=["here", "cluster"])
def test_a_file_changed_before_compute(deployment, cluster, tmp_path, parallel):
    """The chunks decoded later are those the attributes were computed from, or an OSError."""
    from dask.distributed import Client

    paths = sorted(glob.glob(deployment))
    copies = []
    for path in paths:
        copies.append(str(tmp_path / path.rsplit("/", 1)[1]))
        with open(path, "rb") as source, open(copies[-1], "wb") as copy:
            copy.write(source.read())
    ds = hexlog.open_mfdataset(copies, chunks=50, parallel=parallel)
    with open(copies[20], "r+b") as log:  # one reading of one record, the times alone unchanged
        log.seek(len(log.readline()) + 40)
        log.write(b"3F800000")
    with pytest.raises(OSError, match=f"^{re.escape(copies[20])} changed while it was read$"):
        if parallel:
            with Client(cluster):
                ds.load()
        else:
            ds.load()


def test_the_readmes_recipe_runs_as_written(tmp_path, monkeypatch):
    """From the top of a tree whose logs/ holds a messy deployment, on the cluster it starts."""
    readme = open(os.path.join(TOP, "README.md"), encoding="utf-8").read()
    recipe = next(block for block in re.findall(r"```python\n(.*?)```", readme, re.S) if "open_mfdataset" in block)
    (tmp_path / "logs").mkdir()
    messy_deployment(tmp_path / "logs")
    os.symlink(os.path.join(TOP, "examples"), tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1800000000")
    scope = {"__name__": "__main__"}
    exec(recipe, scope)
    whole = hexlog.open_dataset(sorted(glob.glob("logs/*.log")), metadata="examples/station.meta",
                                qc="examples/qc.yaml")
    xr.testing.assert_identical(scope["ds"].load(), whole.load())
    xr.testing.assert_identical(scope["daily"], whole.EquilPumpOn_pCO2.resample(time="1D").mean())
