# Failures as Python exceptions, with the tool's words, errno and file name.
import errno
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import hexlog
from conftest import SAMPLE, TOOL, write_log


def test_inputs_that_cannot_be_opened_or_read(tmp_path):
    missing = str(tmp_path / "missing.log")
    with pytest.raises(FileNotFoundError) as raised:
        hexlog.read([SAMPLE, missing])
    assert raised.value.errno == errno.ENOENT and raised.value.filename == missing
    assert "Cannot open file" in str(raised.value)
    with pytest.raises(IsADirectoryError) as raised:
        hexlog.open_dataset(str(tmp_path))
    assert raised.value.errno == errno.EISDIR and "Cannot read file" in str(raised.value)
    with pytest.raises(FileNotFoundError):
        hexlog.open_dataset(SAMPLE, metadata=missing)


def test_faults_of_the_caller(tmp_path):
    meta = tmp_path / "station.meta"
    meta.write_text("*GLOBAL*,title,Fine\nNoSuchReading,units,ppm\n")
    with pytest.raises(ValueError, match=rf"^{meta}:2: "):
        hexlog.open_dataset(SAMPLE, metadata=meta)
    with pytest.raises(ValueError, match="is no time"):
        hexlog.read(SAMPLE, start="2026-13-01")
    with pytest.raises(ValueError, match="not before"):
        hexlog.read(SAMPLE, start="2026-06-15", end="2026-06-14")
    with pytest.raises(ValueError, match="order"):
        hexlog.read(SAMPLE, order="line")


def test_a_spill_file_that_cannot_be_made(tmp_path, monkeypatch):
    log = write_log(tmp_path / "day.log", 200, seed=2)
    monkeypatch.setattr(hexlog, "_sort_memory", 4096)
    monkeypatch.setenv("TMPDIR", str(tmp_path / "no such directory"))
    with pytest.raises(OSError) as raised:
        hexlog.read([log, log], order="time")  # the second time out of order
    assert raised.value.errno == errno.ENOENT and "temporary file" in str(raised.value)
    assert len(hexlog.read(log)["time"]) == 200  # input order needs no spill


def test_memory_running_out(tmp_path):
    """Address space for a few columns only: the arrays cannot be made."""
    script = f"""
import resource, hexlog
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
try:
    hexlog.read({SAMPLE!r})
except MemoryError as error:
    print("MemoryError", error)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.startswith("MemoryError"), result.stdout + result.stderr


@pytest.mark.parametrize("start", [np.datetime64(2**62, "Y"), np.datetime64(-(2**60), "M"),
                                   np.datetime64(2**63 // 86400 + 1, "D"), np.array([2**60], "M8[25W]")[0],
                                   pd.NaT, np.datetime64("NaT"), float("nan"), pd.NA])
def test_times_no_64_bit_second_holds(start):
    with pytest.raises(ValueError, match="start="):
        hexlog.read(SAMPLE, start=start)
    with pytest.raises(ValueError, match="end="):
        hexlog.read(SAMPLE, end=start)


def test_times_at_the_ends_of_64_bits(hostile_log):
    assert len(hexlog.read(hostile_log, start=np.datetime64(2**63 - 1, "s"))["time"]) == 0
    assert len(hexlog.read(hostile_log, end=np.datetime64(-(2**63) + 1, "s"))["time"]) == 0


@pytest.mark.parametrize("epoch", ["99999999999999999", "12abc", "-1", "253402300800"])
def test_a_bad_source_date_epoch_fails_only_what_is_dated(monkeypatch, epoch):
    """In the tool's words, and where the tool fails: a date is written."""
    environment = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    tool = subprocess.run([TOOL, "--format=nccsv", SAMPLE], capture_output=True, text=True, env=environment)
    assert tool.returncode == 1 and tool.stderr.startswith("hexlog: SOURCE_DATE_EPOCH=")
    monkeypatch.setenv("SOURCE_DATE_EPOCH", epoch)
    with pytest.raises(ValueError) as raised:
        hexlog.open_dataset(SAMPLE)
    assert "hexlog: " + str(raised.value) + "\n" == tool.stderr
    assert len(hexlog.read(SAMPLE)["time"]) == len(hexlog.read_dataframe(SAMPLE)) > 0


@pytest.mark.parametrize("order,progress", [("input", False), ("time", False), ("input", True)])
def test_ctrl_c_stops_a_read_that_never_ends(tmp_path, order, progress):
    """A FIFO whose writer keeps it open, records in it: Ctrl-C must stop
    the read while it waits for more, not after an end that never comes;
    with progress, once its line is drawn."""
    fifo = str(tmp_path / "never.log")
    os.mkfifo(fifo)
    script = f"""
import signal, hexlog
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
try:
    hexlog.read({fifo!r}, order={order!r}, progress={progress!r})
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        # The FIFO opens for writing once the child has opened it to read,
        # which it does inside hexlog.read.
        deadline = time.monotonic() + 30
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:
                assert error.errno == errno.ENXIO and child.poll() is None and time.monotonic() < deadline
                time.sleep(0.01)
        os.set_blocking(fd, True)
        with open(fd, "wb") as writer:
            with open(SAMPLE, "rb") as sample:
                writer.write(sample.read())
            writer.flush()
            shown = b""
            while progress and b"hexlog: " not in shown:
                block = os.read(child.stderr.fileno(), 4096)
                assert block, "the child ended without its progress line"
                shown += block
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)  # the FIFO is still open here
    finally:
        child.kill()
        child.wait()
    assert out == "KeyboardInterrupt\n", err
