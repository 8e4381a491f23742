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
QC = os.path.join(TOP, "examples", "qc.yaml")
GENLOG = os.path.join(os.path.dirname(TOOL), "genlog")

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


def messy_deployment(folder, days=60):
    """A deployment's daily logs as a logger and its people leave them, from
    genlog's mixed year (records three hours apart): each file a comment
    line and a day, one day dumped again with a record changed, a day that
    runs into the next, a file cut in the middle of a line, a day filed
    under an earlier day's name, and readings that stay flat across days.
    Returns the glob pattern of the files; sorted, they are in the order
    that decides which of a repeated time is kept."""
    lines = subprocess.run([GENLOG, "--mix", str(8 * days)], check=True, capture_output=True).stdout.splitlines(True)
    records = [line for line in lines if line[:1] not in (b"#", b"\r")]
    for r in range(40, 70):  # a flat line across the chunks' edges
        records[r] = records[r][:40] + b"41700000" + records[r][48:]
    day = [records[8 * d:8 * d + 8] for d in range(days)]
    files = {f"2026-{d:03d}.log": day[d] for d in range(days)}
    files["2026-004.log"] = day[4] + day[5][:3]                      # runs into the next day

    def garbled(line):  # one reading the logger got wrong: missing
        return line[:56] + b"12G45678" + line[64:]
    day[2][1], day[9][5] = garbled(day[2][1]), garbled(day[9][5])
    redumped = list(day[9])                                           # sorted after the first dump:
    redumped[2] = redumped[2][:40] + b"00000000" + redumped[2][48:]  # a conflict with it
    redumped[6] = garbled(redumped[6])                                # and one of a missing reading
    files["2026-009b.log"] = redumped
    files["2026-012.log"] = day[12][:5] + [day[12][5][:100]]          # cut mid-line, no CR LF
    files["2026-003.log"], files["2026-030.log"] = day[30], day[3]   # filed under each other's names
    for name, lines in files.items():
        with open(os.path.join(folder, name), "wb") as log:
            log.write(b"# SN0042 daily dump\r\n" + b"".join(lines))
    return os.path.join(str(folder), "2026-*.log")
