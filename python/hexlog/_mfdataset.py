"""hexlog.open_mfdataset: a deployment of many logs as one Dataset, in dask
chunks along its time, each decoded where dask computes it.

The record kept for a time is the first of that time (by file, then line),
whatever the records of other times; so the files that hold records of a
span of the kept times, decoded with the span as their window, give
exactly the whole's records of it. The library decodes such a span as a
part of the whole (its contract's "A dataset in parts"):

    each file:   its times, and its lines' counts        --> the client: times only
    the client:  the times merged, each once: the time coordinate;
                 the whole's series, cut into chunks of `chunks` records
    each chunk:  a part: its statistics, its records' counts, its digests
                                                         --> the client: no readings
    the client:  the attributes of the whole, described by the library
    compute:     each chunk a part again, checked against its digests,
                 its variables taken from that one decoding

A chunk's QARTOD flags take their neighbours: its part reads as many kept
records before and after it as the library says (wholeSeries), and tests
the whole's series of each context, so its flags are the whole's.
With parallel=True the first two passes are dask tasks, on a cluster's
workers where there is a Client; the chunks are dask arrays either way.
"""
import errno
import glob
import hashlib
import os

import numpy as np

from . import NETCDF_CHUNK, _decode, _hexlog, _summary, _warn
from ._xarray import HexlogDataStore, _call, _Records

# The --summary table's columns that each file's own pass counts (its lines,
# and its records outside the window), and those its chunks count (what
# became of each record of the window).
_LINE_COLUMNS = [1, 2, 3, 4, 7]
_RECORD_COLUMNS = [0, 5, 6]
# The kinds of event of each, in the library's order (cut, not a record,
# missing, duplicate, conflict).
_LINE_EVENTS = [0, 1, 2]
_RECORD_EVENTS = [3, 4]


def _paths(paths):
    """The files, as xarray's open_mfdataset takes them: a glob pattern in
    sorted order, a path, or a list as given."""
    if isinstance(paths, str) and glob.has_magic(paths):
        found = sorted(glob.glob(os.path.expanduser(paths)))
        if not found:
            raise FileNotFoundError(errno.ENOENT, "No file matches the pattern", paths)
        return found
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [paths]
    return list(paths)


def _chunk_records(chunks):
    size = chunks.get("time", NETCDF_CHUNK) if isinstance(chunks, dict) else chunks
    size = NETCDF_CHUNK if size is None else size
    if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size < 1:
        raise ValueError(f"chunks is a number of records along the time, or {{'time': N}}, not {chunks!r}")
    return int(size)


def _digest(times):
    return hashlib.blake2b(np.ascontiguousarray(times, dtype=np.int64).tobytes(), digest_size=16).digest()


def _attempt(function, argument):
    """The task's result, or the exception it raised: the client raises
    the first in the files' order, as one decoding of them would."""
    try:
        return function(argument)
    except (OSError, ValueError, MemoryError, RuntimeError) as error:
        return error


def _file_times(recipe):
    """Pass 1, on a worker: one file's times in its order, the counts of
    its lines, and where each kind of event first happened. No readings."""
    path, start_chars, start, end = recipe
    result, _ = _decode([path], start_chars=start_chars, order="input", start=start, end=end)
    return {"time": result["time"].view(np.int64), "counts": result["counts"][0], "first": result["first"]}


def _chunk_statistics(records):
    """Pass 2, on a worker: what the attributes and the notices need of a
    chunk, and its digests to hold its decoding at compute to."""
    result = records.decode()
    return {"statistics": result["statistics"], "counts": result["counts"][:-1], "first": result["first"],
            "digests": result["digests"], "times": _digest(result["time"].view(np.int64))}


def _run(function, arguments, parallel):
    if not parallel:
        return [_attempt(function, argument) for argument in arguments]
    import dask

    return list(dask.compute(*[dask.delayed(_attempt, pure=True)(function, argument) for argument in arguments]))


def _raise_first(results):
    for result in results:
        if isinstance(result, BaseException):
            raise result


class _Chunk:
    """A chunk of the kept records, [begin, end) of the time coordinate, and
    the times of its window, [span[0], span[1]): the files it takes (their
    indices among the whole's) and its part."""

    def __init__(self, begin, end, span, files, records):
        self.begin, self.end, self.span, self.files, self.records = begin, end, span, files, records
        self.digests = None


def _decode_chunk(records, digests, files):
    """At compute: the chunk's records, as they were when it was opened."""
    result = records.checked(digests)
    if result["file"] is not None:  # the chunk's files by the whole's indices
        result["file"] = np.asarray(files, dtype=np.int32)[result["file"]]
    return result


def _column(result, kind, index, stations):
    """A variable's piece of a chunk: (station, time) where it has stations."""
    if kind == "reading":
        column = result["readings"][index]
    elif kind == "flag":
        column = result["flags"][index]
    else:
        column = result[kind]
    return column[np.newaxis, :] if stations else column


class _ChunkedDataStore(HexlogDataStore):
    """The store of the whole: its description and times from the client,
    its series as dask arrays of the chunks."""

    def __init__(self, description, times, chunks, source):
        self._result = {"dataset": description, "time": times.astype("M8[s]")}
        self._chunks = chunks
        self._source = source
        self._decodings = None

    def _series(self, column, dtype, shape):
        import dask
        import dask.array as da
        from dask.base import tokenize
        from dask.highlevelgraph import HighLevelGraph

        if not self._chunks:
            return np.empty(shape, dtype=dtype)
        if self._decodings is None:
            decode = dask.delayed(_decode_chunk, pure=True)
            self._decodings = [decode(chunk.records, chunk.digests, chunk.files) for chunk in self._chunks]
        # Each variable one layer over the chunks' decodings, rather than a
        # delayed piece and a concatenation per chunk: a flagged deployment
        # has some 260 variables, and the graph goes with its chunks.
        stations = len(shape) == 2
        name = "hexlog-" + tokenize([decoding.key for decoding in self._decodings], column, stations)
        kind, index = column[0], column[1] if len(column) > 1 else 0
        layer = {(name, *((0,) if stations else ()), i): (_column, decoding.key, kind, index, stations)
                 for i, decoding in enumerate(self._decodings)}
        sizes = tuple(chunk.end - chunk.begin for chunk in self._chunks)
        graph = HighLevelGraph.from_collections(name, layer, dependencies=self._decodings)
        return da.Array(graph, name, ((1,), sizes) if stations else (sizes,), dtype=dtype)


def open_mfdataset(paths, *, parallel=False, metadata=None, qc=None, start_chars=24, start=None, end=None,
                   provenance=False, chunks=None, summary=False):
    import xarray as xr
    from xarray.backends.store import StoreBackendEntrypoint

    paths = _paths(paths)
    size = _chunk_records(chunks)
    records = _Records(paths, metadata, start_chars, start, end, provenance, qc)
    names = records.names()
    # What can fail before any file is read fails first, as in open_dataset:
    # the window, the metadata, the QC configuration, SOURCE_DATE_EPOCH.
    _decode([], start_chars=start_chars, start=start, end=end, metadata=metadata, qc=qc, describe=True)

    # Pass 1: each file's times.
    files = _run(_file_times, [(path, start_chars, start, end) for path in records.paths], parallel)
    _raise_first(files)
    counts = np.zeros((len(paths), 8), dtype=np.int64)
    first = [(False, 0, 0)] * 5
    for index, found in enumerate(files):
        counts[index, _LINE_COLUMNS] = found["counts"][_LINE_COLUMNS]
        first = _earliest(first, found["first"], _LINE_EVENTS, [index])
        found["time"] = np.sort(found["time"], kind="stable")
    times = np.unique(np.concatenate([found["time"] for found in files])) if files else np.empty(0, np.int64)
    median, contexts, before, after = _hexlog.whole_series(records.qc, times)

    # Pass 2: each chunk's statistics, counts and digests.
    spans = []
    for begin in range(0, len(times), size):
        finish = min(begin + size, len(times))
        read_from = int(times[max(begin - before, 0)])
        read_to = int(times[min(finish - 1 + after, len(times) - 1)]) + 1
        span = (int(times[begin]), int(times[finish - 1]) + 1)
        taken = [index for index, found in enumerate(files)
                 if np.searchsorted(found["time"], read_from) < np.searchsorted(found["time"], read_to)]
        part = _Records([records.paths[index] for index in taken], records.metadata, start_chars,
                        f"@{span[0]}", f"@{span[1]}", provenance, records.qc, (read_from, read_to, tuple(contexts)))
        spans.append(_Chunk(begin, finish, span, taken, part))
    found_chunks = _run(_chunk_statistics, [chunk.records for chunk in spans], parallel)
    _raise_first(found_chunks)
    statistics = []
    for chunk, found in zip(spans, found_chunks):
        if found["times"] != _digest(times[chunk.begin:chunk.end]):
            raise OSError(f"{_changed(chunk, found, files)} changed while it was read")
        counts[np.ix_(chunk.files, _RECORD_COLUMNS)] += found["counts"][:, _RECORD_COLUMNS]
        first = _earliest(first, found["first"], _RECORD_EVENTS, chunk.files)
        statistics.append(found["statistics"])
        chunk.digests = found["digests"]

    tally = _hexlog.tally(list(records.paths), counts, first)
    # The history names the call that gives this Dataset in one piece: the
    # two are the same, not told apart by how they were read.
    history = _call("hexlog.open_dataset", names, metadata, qc, start_chars, start, end, provenance)
    whole = {"flags_from": 0, "flags_to": 0, "contexts": contexts, "inputs": list(records.paths),
             "statistics": statistics, "median_step": median}
    described, _ = _decode([], start_chars=start_chars, order="time", start=start, end=end, provenance=provenance,
                           metadata=metadata, qc=qc, describe=True, history=history, part=whole)
    _warn(tally)
    source = os.path.abspath(os.path.expanduser(names[0])) if len(names) == 1 else None
    store = _ChunkedDataStore(described["dataset"], times, spans, source)
    ds = StoreBackendEntrypoint().open_dataset(store)
    return (ds, _summary(tally, names)) if summary else ds


def _earliest(first, found, events, files):
    """The earliest place of each of `events` so far and in `found`, whose
    inputs are `files` of the whole's."""
    first = list(first)
    for event in events:
        seen, file, line = found[event]
        if not seen:
            continue
        place = (True, files[file], line)
        if not first[event][0] or place[1:] < first[event][1:]:
            first[event] = place
    return first


def _changed(chunk, found, files):
    """The file of a chunk whose records in its span are no longer those its
    times were read from: the first whose count changed, else its first."""
    lo, hi = chunk.span
    for local, index in enumerate(chunk.files):
        had = np.searchsorted(files[index]["time"], hi) - np.searchsorted(files[index]["time"], lo)
        if found["counts"][local, _RECORD_COLUMNS].sum() != had:
            return os.fsdecode(chunk.records.paths[local])
    return os.fsdecode(chunk.records.paths[0])
