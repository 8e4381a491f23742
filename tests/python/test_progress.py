# progress=True: how far a read has got, on standard error, for a read fed
# slowly enough through a FIFO to last past the second before it shows.
import os
import sys

import numpy as np
import pytest

import hexlog
from conftest import TOP, write_log

sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from slow_fifo import SlowFifo  # noqa: E402

RECORDS = 3000


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    path = write_log(tmp_path_factory.mktemp("progress") / "day.log", RECORDS, 7)
    with open(path, "rb") as data:
        return path, data.read()


def same_arrays(one, other):
    return one.keys() == other.keys() and all(
        np.array_equal(one[name].view(np.uint8), other[name].view(np.uint8)) for name in one)


def test_without_tqdm_the_tools_line_goes_to_stderr(tmp_path, log, monkeypatch, capfd):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    path, data = log
    for order, last in (("input", f"hexlog: 1 of 1 file read, "), ("time", f"hexlog: writing {RECORDS} of ")):
        with SlowFifo(str(tmp_path), data) as fifo:
            arrays = hexlog.read(fifo, order=order, progress=True)
        err = capfd.readouterr().err
        assert same_arrays(arrays, hexlog.read(path, order=order)), order
        lines = err.splitlines()
        # Not a terminal: whole lines, no escapes, and the last counts last.
        assert lines and all(line.startswith("hexlog: ") for line in lines), err
        assert "\r" not in err and "\033" not in err
        assert lines[-1].startswith(last) and lines[-1].endswith(f"{RECORDS} records"), lines[-1]
    # Quick reads, and those not asked, say nothing.
    hexlog.read(path, progress=True)
    with SlowFifo(str(tmp_path), data) as fifo:
        hexlog.read(fifo)
    assert capfd.readouterr().err == ""


def test_with_tqdm_a_bar(tmp_path, log, capfd):
    pytest.importorskip("tqdm")
    path, data = log
    with SlowFifo(str(tmp_path), data) as fifo:
        dataset = hexlog.open_dataset(fifo, progress=True)
    err = capfd.readouterr().err
    assert len(dataset["time"]) == RECORDS
    assert "hexlog: reading" in err and f"1 of 1 files, {RECORDS} records" in err, err


def test_what_the_callback_raises_stops_the_read(tmp_path, log, monkeypatch):
    def fails(*told):
        raise ZeroDivisionError("drawn badly")
    monkeypatch.setattr(hexlog._Progress, "__call__", fails)
    with SlowFifo(str(tmp_path), log[1]) as fifo:
        with pytest.raises(ZeroDivisionError, match="drawn badly"):
            hexlog.read(fifo, progress=True)
