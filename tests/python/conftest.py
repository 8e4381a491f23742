# The Python module against the tool's own output: a hostile log, the
# example log and station, and the tool (HEXLOG_BINARY, default
# build/hexlog) writing the netCDF, csv and NCCSV the module must agree with.
import os
import struct
import subprocess

import numpy as np
import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.environ.get("HEXLOG_BINARY", os.path.join(TOP, "build", "hexlog"))
SAMPLE = os.path.join(TOP, "examples", "sample.log")
STATION = os.path.join(TOP, "examples", "station.meta")

# netCDF's default fill for floats, and the NaN the library gives a missing reading.
FILL = struct.unpack("<I", struct.pack("<f", 9.96921e36))[0]
MISSING = 0x7FC00000
# The record of hostile_log whose reading 5 really is the fill's bits.
FILL_TIME = 0x6A2E0000


def word(bits):
    return f"{bits:08X}"


def record(time, words, prefix="SN0042 2026-06-14 00:00 "):
    return prefix + (time if isinstance(time, str) else word(time & 0xFFFFFFFF)) + "".join(
        w if isinstance(w, str) else word(w) for w in words) + "\r\n"


def plain(seed):
    """32 plausible readings."""
    rng = np.random.default_rng(seed)
    return [int(b) for b in rng.uniform(1, 500, 32).astype(np.float32).view(np.uint32)]


def hostile_lines():
    """Records whose words the formats must keep exactly, and lines they must not take for records."""
    odd = [0x7FC00001, 0xFFC12345, 0x7F800001, 0xFFFFFFFF, 0x7F800000, 0xFF800000, 0x00000001, 0x807FFFFF,
           0x80000000, 0x00000000, 0x7F7FFFFF, 0x3F800000]
    lines = ["# a comment\r\n", "\r\n", "  \t" + record(0x6A2D0000, plain(1))]
    lines.append(record(0x6A2D0E10, (odd + plain(2))[:32]))
    lines.append(record(0x6A2D1C20, plain(3)[:20]))                           # a short record
    lines.append(record(0x6A2D2A30, [w.lower() for w in map(word, plain(4))]))  # lower-case digits
    broken = list(map(word, plain(5)))
    broken[3] = "12G45678"                                                     # a missing reading
    lines.append(record(0x6A2D3840, broken))
    lines.append(record(0x6A2D4650, plain(6) + plain(7)[:8]))                 # 40 readings: cut to 32
    lines.append(record("ZZZZ1234", plain(8)))                                # no time: no record
    lines.append(record(0x6A2D0000, plain(1)))                                # a duplicate
    lines.append(record(0x6A2D0E10, plain(9)))                                # a conflict
    lines.append(record(0x6A2C0000, plain(10)))                               # earlier than the rest
    lines.append(record(-1, plain(11)))                                       # 1969-12-31T23:59:59
    lines.append(record(0x80000000, plain(12)))                               # 1901
    with_fill = plain(13)
    with_fill[5] = FILL
    lines.append(record(FILL_TIME, with_fill))
    lines.append("SN0042 short line 6A2D0000 3F800000\r\n")
    return lines


@pytest.fixture(scope="session")
def hostile_log(tmp_path_factory):
    path = tmp_path_factory.mktemp("logs") / "hostile.log"
    path.write_text("".join(hostile_lines()), encoding="ascii", newline="")
    return str(path)


def write_log(path, records, seed, start=0x6A2D0000):
    """A log of plausible records a minute apart."""
    rng = np.random.default_rng(seed)
    words = rng.uniform(1, 500, (records, 32)).astype(np.float32).view(np.uint32)
    with open(path, "w", encoding="ascii", newline="") as log:
        log.writelines(record(start + 60 * r, map(int, words[r])) for r in range(records))
    return str(path)


def run_tool(*arguments):
    environment = dict(os.environ, SOURCE_DATE_EPOCH="1800000000")
    return subprocess.run([TOOL, *arguments], check=True, capture_output=True, env=environment)


@pytest.fixture
def tool_netcdf(tmp_path):
    """The tool's netCDF file of the given arguments."""
    def write(*arguments):
        path = str(tmp_path / "tool.nc")
        run_tool("--format=netcdf", "--output=" + path, *arguments)
        return path
    return write
