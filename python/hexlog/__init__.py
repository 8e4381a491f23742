"""The records of an ocean instrument's hexadecimal logs as numpy arrays,
pandas DataFrames and xarray Datasets, decoded by the hexlog library.

    read(paths)            dict of numpy arrays: "time" (datetime64[s]) and
                           the 32 readings (float32, the log's exact bits)
    read_dataframe(paths)  the same as a DataFrame on a UTC DatetimeIndex
    open_dataset(paths)    the xarray Dataset of the tool's netCDF output
    open_mfdataset(paths)  the same Dataset of a deployment, read lazily in
                           dask chunks (by a cluster's workers, with a Client)

and the xarray engine "hexlog", which opens one log as open_dataset does.

What the tool says at the end of a run of what it skipped, dropped or cut
comes as HexlogWarning warnings, word for word; summary=True returns its
--summary table as well. progress=True shows how far a run that lasts
more than a second has got: a tqdm bar where tqdm is installed, the tool's
progress line on standard error otherwise.
"""
import datetime
import errno
import os
import sys
import time
import warnings

import numpy as np

from . import _hexlog

__all__ = ["read", "read_dataframe", "open_dataset", "open_mfdataset", "COLUMN_NAMES", "NETCDF_CHUNK",
           "HexlogWarning"]
__version__ = _hexlog.__version__

# The readings' names, as csv, NCCSV and netCDF name them.
COLUMN_NAMES = _hexlog.COLUMN_NAMES
# Records in a chunk of the tool's netCDF output, and of open_mfdataset's.
NETCDF_CHUNK = _hexlog.NETCDF_CHUNK

# Bytes of records held in memory while ordering by time before the rest
# spills to a temporary file; 0 for the library's own budget.
_sort_memory = 0

_INT64 = (-(2**63), 2**63 - 1)
_EPOCH = datetime.datetime(1970, 1, 1)

# The columns of the tool's --summary table, in its order.
_SUMMARY_COLUMNS = _hexlog.SUMMARY_COLUMNS


class HexlogWarning(UserWarning):
    """What the tool says at the end of a run: lines skipped, readings
    missing, records cut or dropped, and the first place of each."""


def _path_list(paths):
    """The inputs as the file system's bytes, and as the names given."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    encoded = [os.fsencode(path) for path in paths]
    return encoded, [os.fsdecode(path) for path in encoded]


def _seconds(value, name):
    """A time as --from and --to take it, or a datetime: seconds since 1970.
    Naive datetimes are UTC; a fraction of a second rounds up to the next
    whole second, since the records are whole seconds."""
    if value is None:
        return None
    if isinstance(value, str):
        seconds = _hexlog.parse_time(value)
        if seconds is None:
            raise ValueError(f"{name}={value!r} is no time: write 2026-06-14, 2026-06-14T06:00:00Z or @SECONDS (UTC)")
        return seconds
    if _missing(value):
        raise ValueError(f"{name}={value!r} is no time")
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.Timestamp):
        if value.tzinfo is not None:
            value = value.tz_convert("UTC").tz_localize(None)
        value = value.to_datetime64()
    if isinstance(value, np.datetime64):
        if np.datetime_data(value.dtype)[0] == "generic":
            raise ValueError(f"{name}={value!r} is no time")
        seconds = _datetime64_seconds(value)
    elif isinstance(value, datetime.datetime):
        # The offset is taken off by hand: astimezone() overflows near the
        # years 1 and 9999.
        since = value.replace(tzinfo=None) - _EPOCH - (value.utcoffset() or datetime.timedelta())
        seconds = since.days * 86400 + since.seconds + (since.microseconds > 0)
    elif isinstance(value, datetime.date):
        seconds = (value - _EPOCH.date()).days * 86400
    else:
        raise TypeError(
            f"{name} must be a str, datetime, numpy.datetime64 or pandas.Timestamp, not {type(value).__name__}")
    if not _INT64[0] <= seconds <= _INT64[1]:
        raise ValueError(f"{name}={value!r} is outside the times hexlog can hold (seconds since 1970 in 64 bits)")
    return seconds


def _missing(value):
    """NaT, NaN and pandas' NA: a value that stands for no time at all."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and value is pandas.NA:
        return True
    try:
        unequal = value != value
    except Exception:
        return False
    return isinstance(unequal, (bool, np.bool_)) and bool(unequal)


# Seconds in each fixed unit of numpy.datetime64, and units per second of the finer ones.
_UNIT_SECONDS = {"W": 7 * 86400, "D": 86400, "h": 3600, "m": 60, "s": 1}
_UNITS_PER_SECOND = {"ms": 10**3, "us": 10**6, "ns": 10**9, "ps": 10**12, "fs": 10**15, "as": 10**18}


def _datetime64_seconds(value):
    """Seconds since 1970, exactly, in Python's unbounded integers: numpy's
    own conversion to seconds wraps around without a word far from 1970."""
    unit, step = np.datetime_data(value.dtype)
    count = int(value.astype(np.int64)) * step
    if unit in ("Y", "M"):
        year, month = divmod(count * 12 if unit == "Y" else count, 12)
        return _days_from_civil(1970 + year, month + 1) * 86400
    if unit in _UNIT_SECONDS:
        return count * _UNIT_SECONDS[unit]
    return -(-count // _UNITS_PER_SECOND[unit])  # a fraction counts as the next second


def _days_from_civil(year, month):
    """Days from 1970-01-01 to the first of that month of the proleptic
    Gregorian calendar, for any year."""
    year -= month <= 2
    era, of_era = divmod(year, 400)
    day_of_year = (153 * ((month + 9) % 12) + 2) // 5
    return era * 146097 + of_era * 365 + of_era // 4 - of_era // 100 + day_of_year - 719468


def _creation_time():
    """date_created: SOURCE_DATE_EPOCH as the tool takes it, else now."""
    return _hexlog.creation_time(os.environb.get(b"SOURCE_DATE_EPOCH"))


def _raise(failure, names):
    kind, error, text, index = failure
    text = os.fsdecode(text)
    if kind == "open":
        raise OSError(error, f"Cannot open file ({os.strerror(error)})", names[index])
    if kind == "read":
        raise OSError(error, f"Cannot read file ({os.strerror(error)})", names[index])
    if kind == "metadata":
        raise ValueError(text)
    if error == errno.ENOMEM:
        raise MemoryError(f"out of {text}")
    if kind == "temporary":
        raise OSError(error, f"cannot write {text}: {os.strerror(error)}")
    if kind == "reread":
        raise OSError(error, f"{text}: {os.strerror(error)}") if error else OSError(text)
    if kind == "interrupted":
        raise KeyboardInterrupt
    raise RuntimeError(text)


class _Progress:
    """progress=True: told by the library how far the run has got (after its
    first second, at most four times a second, once more at the end), it
    draws a tqdm bar of bytes read, then one of records written where the
    records are put in time order; without tqdm, the tool's line, drawn
    over itself on a terminal, and on a file or pipe a line once a second
    with a last one at the end."""

    def __init__(self):
        try:
            import tqdm
        except ImportError:
            tqdm = None
        self._tqdm = tqdm
        self._bar = None
        self._phase = None
        self._line = None
        self._written = 0.0  # when a line last went to a file or pipe
        self._terminal = False

    def __call__(self, phase, inputs_done, inputs, size, size_total, records, done, total, line):
        if self._tqdm is not None:
            self._draw_bar(phase, inputs_done, inputs, size, size_total, records, done, total)
            return
        stream = sys.stderr
        if stream is None:
            return
        if self._line is None:
            self._terminal = stream.isatty()
        self._line = line
        if self._terminal:
            stream.write(f"\rhexlog: {line}\033[K")
        elif time.monotonic() - self._written >= 1:
            self._written = time.monotonic()
            stream.write(f"hexlog: {line}\n")
            self._line = ""  # nothing new to write at the end
        stream.flush()

    def _draw_bar(self, phase, inputs_done, inputs, size, size_total, records, done, total):
        if phase != self._phase:
            if self._bar is not None:
                self._bar.close()
            self._phase = phase
            # What was done before the bar's first sight is its start, not
            # a burst that would make its rate.
            if phase == "reading":
                self._bar = self._tqdm.tqdm(total=size_total or None, initial=size, unit="B", unit_scale=True,
                                            unit_divisor=1000, desc="hexlog: reading")
            else:
                self._bar = self._tqdm.tqdm(total=total, initial=done, unit=" records", unit_scale=True,
                                            desc=f"hexlog: {phase}")
        if phase == "reading":
            self._bar.set_postfix_str(f"{inputs_done} of {inputs} files, {records} records", refresh=False)
            self._bar.update(size - self._bar.n)
        else:
            self._bar.update(done - self._bar.n)

    def close(self):
        """The run is over, one way or another."""
        if self._bar is not None:
            self._bar.close()
        elif self._line is not None and sys.stderr is not None:
            if self._terminal:
                sys.stderr.write("\r\033[K")
            elif self._line:
                sys.stderr.write(f"hexlog: {self._line}\n")
            sys.stderr.flush()
        self._bar = self._line = None


def _decode(paths, *, start_chars=24, order=None, start=None, end=None, provenance=False, metadata=None,
            qc=None, describe=False, history="", part=None, progress=False):
    """One run of the library; returns its result and the inputs' names."""
    if order is None:
        order = "input" if qc is None else "time"
    if order not in ("input", "time"):
        raise ValueError(f"order is 'time' or 'input', not {order!r}")
    encoded, names = _path_list(paths)
    start, end = _seconds(start, "start"), _seconds(end, "end")
    if start is not None and end is not None and start >= end:
        raise ValueError(f"start={start} is not before end={end}: no record could be read")
    if metadata is not None:
        metadata = os.fsencode(metadata)
        with open(metadata, "rb"):  # a file that is not there is an OSError, not a fault in it
            pass
    if qc is not None:
        qc = os.fsencode(qc)
        with open(qc, "rb"):
            pass
        if order == "input":
            raise ValueError("qc tests each reading's series in time order: order='time' (the default with qc)")
    start_chars = str(int(start_chars))  # the library reads it as the tool reads -s
    # Only what is dated asks for the date, so that a bad SOURCE_DATE_EPOCH
    # fails no more than it fails the tool.
    created = _creation_time() if describe else 0
    reporter = _Progress() if progress else None
    try:
        result = _hexlog.decode(encoded, start_chars, order == "time", start, end, provenance, metadata, describe,
                                created, history, _sort_memory, os.environ.get("TMPDIR", ""), qc, part, reporter)
    finally:
        if reporter is not None:
            reporter.close()
    if result["failure"] is not None:
        _raise(result["failure"], names)
    return result, names


def _warn(result):
    """The tool's end-of-run notices, as warnings at the caller's line: the
    first frame outside this package and xarray (which calls the engine)."""
    if not result["notices"]:
        return
    packages = [os.path.dirname(os.path.abspath(__file__)) + os.sep]
    if "xarray" in sys.modules:
        packages.append(os.path.dirname(os.path.abspath(sys.modules["xarray"].__file__)) + os.sep)
    level, frame = 1, sys._getframe(0)
    while frame is not None and frame.f_code.co_filename.startswith(tuple(packages)):
        level, frame = level + 1, frame.f_back
    for notice in result["notices"]:
        warnings.warn(os.fsdecode(notice), HexlogWarning, stacklevel=level)


def _summary(result, names):
    """The tool's --summary table: a DataFrame indexed by file (then
    "total"), or without pandas a dict of numpy arrays."""
    counts = result["counts"]
    files = [*names, "total"]
    try:
        import pandas as pd
    except ImportError:
        table = {"file": np.array(files, dtype=object)}
        table.update((name, np.ascontiguousarray(counts[:, k])) for k, name in enumerate(_SUMMARY_COLUMNS))
        return table
    return pd.DataFrame(counts, index=pd.Index(files, dtype=object, name="file"), columns=list(_SUMMARY_COLUMNS))


def _arrays(result, names):
    arrays = {"time": result["time"]}
    arrays.update(zip(COLUMN_NAMES, result["readings"]))
    arrays.update(zip(result["flag_names"], result["flags"]))
    if result["file"] is not None:
        arrays["source_file"] = np.array(names, dtype=object)[result["file"]]
        arrays["source_line"] = result["line"]
    return arrays


def read(paths, *, start_chars=24, order=None, start=None, end=None, provenance=False, metadata=None, qc=None,
         summary=False, progress=False):
    """The records of one log file or several as numpy arrays.

    Returns a dict: "time" (datetime64[s], UTC), then each of the 32
    readings under its column name (float32 with the log's exact bits; NaN
    where a record lacks it), and with provenance "source_file" (the path as
    given) and "source_line" (int64, from 1).

    order: "input" (as the files hold them, in the order given; the default
    without qc) or "time" (sorted across the files; repeated and conflicting records
    dropped, the first of a time kept; the default with qc). start
    (inclusive) and end (exclusive): a str as the tool's --from and --to
    take it ("2026-06-14", "2026-06-14T06:00:00Z", "@SECONDS"), or a
    datetime, numpy.datetime64 or pandas.Timestamp (UTC when naive).

    qc: a QC configuration (YAML or JSON) of QARTOD tests, as the tool's
    --qc takes it; each test's flags come as an int8 array named
    READING_qartod_TEST, as do the gross-range flags READING_qc of a
    metadata file's valid ranges (metadata, as --metadata takes it; its
    latitude and longitude are the location test's).

    What the tool would say at the end of the run comes as HexlogWarning
    warnings. summary=True returns (arrays, table): the tool's --summary
    table, a DataFrame indexed by file with a last row "total" (a dict of
    numpy arrays and "file" without pandas).

    progress=True: how far a run that lasts more than a second has got, as
    a tqdm bar where tqdm is installed, else the tool's --progress line on
    standard error; gone when the run ends.
    """
    result, names = _decode(paths, start_chars=start_chars, order=order, start=start, end=end,
                            provenance=provenance, metadata=metadata, qc=qc, progress=progress)
    _warn(result)
    arrays = _arrays(result, names)
    return (arrays, _summary(result, names)) if summary else arrays


def read_dataframe(paths, *, start_chars=24, order=None, start=None, end=None, provenance=False, metadata=None,
                   qc=None, summary=False, progress=False):
    """read() as a pandas DataFrame: a UTC DatetimeIndex named "time", a
    float32 column per reading (and its flags, source_file, source_line)."""
    import pandas as pd

    arrays, table = read(paths, start_chars=start_chars, order=order, start=start, end=end, provenance=provenance,
                         metadata=metadata, qc=qc, summary=True, progress=progress)
    index = pd.DatetimeIndex(arrays.pop("time"), name="time").tz_localize("UTC")
    frame = pd.DataFrame(arrays, index=index, copy=False)
    return (frame, table) if summary else frame


def open_dataset(paths, *, metadata=None, qc=None, start_chars=24, start=None, end=None, provenance=False,
                 summary=False, progress=False):
    """The xarray Dataset of the tool's netCDF output for the same inputs
    (--format=netcdf [--metadata] [--qc] [--provenance] [--from] [--to]): the same
    variables, types, bits, attributes and encoding, in time order.
    summary=True returns (dataset, table), and progress=True shows the
    decoding that opens it, as read() does."""
    import xarray as xr

    from . import _xarray

    opened = []
    token = _xarray.opened.set(opened)
    try:
        ds = xr.open_dataset(paths, engine=_xarray.HexlogBackendEntrypoint, metadata=metadata, qc=qc,
                             start_chars=start_chars, start=start, end=end, provenance=provenance,
                             progress=progress)
    finally:
        _xarray.opened.reset(token)
    return (ds, _summary(*opened[0])) if summary else ds


def open_mfdataset(paths, *, parallel=False, metadata=None, qc=None, start_chars=24, start=None, end=None,
                   provenance=False, chunks=None, summary=False):
    """open_dataset(paths) of a whole deployment, read lazily in dask chunks.

    The Dataset is open_dataset's of the same files and arguments, down to
    each bit, attribute, flag, encoding, warning and summary= table: in
    time order across the files, of the records of one time the first (by
    file, then line) kept, attributes over all files. Opening reads only
    the files' times (and each chunk once, for the attributes); each
    chunk's readings are decoded when it is computed, from the files that
    hold its times, so memory goes with the times, not the readings.

    paths: a glob pattern ("logs/*.log", its files in sorted order), a
    path, or a list in the order that decides which of a repeated time
    is kept. chunks: records per chunk along the time, an int or
    {"time": N}; by default NETCDF_CHUNK, the tool's netCDF chunk.
    parallel=True reads the times and the attributes' pass as dask tasks,
    on the workers of a dask.distributed Client where there is one; the
    chunks are decoded wherever dask computes them, the workers with a
    Client. A file that changes between opening and computing raises
    OSError("NAME changed while it was read"), as the engine does.
    """
    from . import _mfdataset

    return _mfdataset.open_mfdataset(paths, parallel=parallel, metadata=metadata, qc=qc, start_chars=start_chars,
                                     start=start, end=end, provenance=provenance, chunks=chunks, summary=summary)
