# What the module says of the lines it skipped, the readings it found
# missing and the records it cut or dropped, against what the tool says of
# the same files: its notices on standard error, and its --summary table.
import io
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import hexlog
from conftest import run_tool, write_log


def tools_account(*arguments):
    """The notices and the --summary table of a csv run of the tool."""
    lines = run_tool("--format=csv", "--summary", *arguments).stderr.decode().splitlines(keepends=True)
    header = next(i for i, line in enumerate(lines) if line.startswith("file\t"))
    assert all(line.startswith("hexlog: ") for line in lines[:header])
    table = pd.read_csv(io.StringIO("".join(lines[header:])), sep="\t", index_col="file", dtype={"file": object})
    return [line[len("hexlog: "):-1] for line in lines[:header]], table


def account(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result, table = call()
    # Each warning names the caller's line, not the module's.
    assert all(w.category is hexlog.HexlogWarning and w.filename == __file__ for w in caught)
    return result, [str(w.message) for w in caught], table


@pytest.mark.parametrize("order, window", [("input", {}), ("time", {}),
                                           ("time", {"start": "2026-06-13T09:00:16Z", "end": "2026-06-14"})])
def test_warnings_and_summary_are_the_tools(hostile_log, tmp_path, order, window):
    clean = write_log(tmp_path / "clean.log", 50, seed=4)
    paths = [hostile_log, clean, hostile_log]  # the second hostile log repeats the first
    options = [f"--order={order}"] + [f"--{'from' if k == 'start' else 'to'}={v}" for k, v in window.items()]
    notices, theirs = tools_account(*options, *paths)
    calls = [lambda: hexlog.read(paths, order=order, summary=True, **window),
             lambda: hexlog.read_dataframe(paths, order=order, summary=True, **window)]
    if order == "time":
        calls.append(lambda: hexlog.open_dataset(paths, summary=True, **window))
    for call in calls:
        result, said, ours = account(call)
        assert said == notices
        pd.testing.assert_frame_equal(ours, theirs)
        records = len(result.index if isinstance(result, pd.DataFrame) else result["time"])
        assert ours.loc["total", "written"] == records and ours["written"].iloc[:-1].sum() == records
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a clean file draws no word
        assert (hexlog.read(clean, summary=True)[1].drop(columns="written") == 0).all(axis=None)


def test_summary_without_pandas(hostile_log, monkeypatch):
    table = hexlog.read([hostile_log, hostile_log], order="time", summary=True)[1]
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
    arrays, columns = hexlog.read([hostile_log, hostile_log], order="time", summary=True)
    assert list(columns) == ["file", *table.columns]
    assert list(columns.pop("file")) == list(table.index)
    for name, column in columns.items():
        assert column.dtype == np.int64 and list(column) == list(table[name]), name
