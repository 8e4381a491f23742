# progress=True on a read fed slowly enough through a FIFO to last past the
# second before it shows; standard error is no terminal here.
import os
import sys

import numpy as np
import pytest

import hexlog
from conftest import TOP, write_log

sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from slow_fifo import SlowFifo  # noqa: E402


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    path = write_log(tmp_path_factory.mktemp("progress") / "day.log", 3000, 7)
    with open(path, "rb") as data:
        return path, data.read()


def test_without_tqdm_the_tools_line(tmp_path, log, monkeypatch, capfd):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    path, data = log
    for order, last in (("input", "hexlog: 1 of 1 file read, "), ("time", "hexlog: writing 3000 of 3000 records")):
        with SlowFifo(str(tmp_path), data) as fifo:
            arrays = hexlog.read(fifo, order=order, progress=True)
        lines = capfd.readouterr().err.split("\n")
        quiet = hexlog.read(path, order=order)
        assert all(np.array_equal(arrays[name].view(np.uint8), quiet[name].view(np.uint8)) for name in quiet)
        # Whole lines, the last counts last.
        assert len(lines) >= 2 and lines[-1] == "" and all(line.startswith("hexlog: ") for line in lines[:-1])
        assert lines[-2].startswith(last) and lines[-2].endswith("3000 records"), lines
    hexlog.read(path, progress=True)  # a quick read says nothing
    assert capfd.readouterr().err == ""


def test_with_tqdm_a_bar(tmp_path, log, capfd):
    pytest.importorskip("tqdm")
    with SlowFifo(str(tmp_path), log[1]) as fifo:
        assert len(hexlog.open_dataset(fifo, progress=True)["time"]) == 3000
    err = capfd.readouterr().err
    assert "hexlog: reading" in err and "1 of 1 files, 3000 records" in err, err


def test_what_the_callback_raises_stops_the_read(tmp_path, log, monkeypatch):
    def fails(*told):
        raise ZeroDivisionError("drawn badly")
    monkeypatch.setattr(hexlog._Progress, "__call__", fails)
    with SlowFifo(str(tmp_path), log[1]) as fifo, pytest.raises(ZeroDivisionError, match="drawn badly"):
        hexlog.read(fifo, progress=True)
