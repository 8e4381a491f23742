"""The xarray engine "hexlog": logs opened as the tool's netCDF file would be.

The library describes the dataset (variables, types, attributes) and decodes
the records; here they become the variables as the file would hold them
(int32 time with its units, float32 readings with _FillValue, int8 flags,
...), and xarray decodes those exactly as it decodes the file.

The time is read when the dataset is opened, like any coordinate; the other
series are lazy. Under dask they travel as the recipe of their decoding
(paths and settings), never as data, and a worker decodes the file again
when its variables are computed, once for all of them (a small cache per
process):

    client:  open_mfdataset(paths, parallel=True) --> a task per file
    worker:  open_dataset(path): decodes, keeps the time  --> back to the client: no readings
    worker:  compute: decodes the file (or finds it decoded) --> the reductions asked for

A decoding made again must give the records read when the dataset was
opened, which its attributes describe: the library's digest of each input's
records tells, and a file changed in between is an OSError.
"""
import collections
import contextvars
import os
import threading

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.backends.common import AbstractDataStore
from xarray.backends.store import StoreBackendEntrypoint
from xarray.core import indexing
from xarray.core.utils import FrozenDict
from xarray.core.variable import Variable

from . import _decode, _hexlog, _warn

# How the tool's netCDF writer stores the variables, as xarray's netCDF
# backend reports it: series deflated after shuffling (but for bytes), in
# chunks, as the library says; the scalars contiguous.
_SERIES_STORAGE = {"zlib": True, "szip": False, "zstd": False, "bzip2": False, "blosc": False,
                   "shuffle": _hexlog.NETCDF_SHUFFLE, "complevel": _hexlog.NETCDF_DEFLATE_LEVEL,
                   "fletcher32": False, "contiguous": False, "chunksizes": (_hexlog.NETCDF_CHUNK,)}
_SCALAR_STORAGE = {"zlib": False, "szip": False, "zstd": False, "bzip2": False, "blosc": False, "shuffle": False,
                   "complevel": 0, "fletcher32": False, "contiguous": True, "chunksizes": None}
_STATION_STORAGE = _SCALAR_STORAGE
_STATION_SERIES_STORAGE = dict(_SERIES_STORAGE, chunksizes=(1, _hexlog.NETCDF_CHUNK))

# Decodings made again for lazy variables that came from another process
# (a dask worker's), kept so that the variables of one file are decoded
# once: newest last, up to this many bytes (the newest always). A dataset
# opened in this process holds its own decoding instead.
_CACHE_BYTES = 512 << 20
_cache = collections.OrderedDict()
_cache_lock = threading.Lock()
_decoding = {}  # key -> the lock of whoever decodes it

# Set by hexlog.open_dataset to a list, which the store opened under it
# fills with its decoding and the inputs' names, for summary=True.
opened = contextvars.ContextVar("opened", default=None)


def _value(code, count, data):
    """An attribute's value as netCDF4 reads it: str, a numpy scalar for one
    number, an array for several."""
    if code == "str":
        return data.decode("utf-8", "surrogateescape")
    values = np.frombuffer(data, dtype=code).copy()
    return values[0] if count == 1 else values


def _attributes(entries):
    return {name: _value(code, count, data) for name, code, count, data in entries}


def _bytes(result):
    arrays = [result["time"], *result["readings"], *result["flags"], result["file"], result["line"]]
    return sum(array.nbytes for array in arrays if array is not None)


class _Records:
    """What to decode, small enough to send to a worker with each task."""

    def __init__(self, paths, metadata, start_chars, start, end, provenance, qc=None, part=None):
        if isinstance(paths, (str, bytes, os.PathLike)):
            paths = [paths]
        self.paths = tuple(os.fsencode(path) for path in paths)
        self.metadata = None if metadata is None else os.fsencode(metadata)
        self.qc = None if qc is None else os.fsencode(qc)
        self.start_chars = start_chars
        self.start = start
        self.end = end
        self.provenance = provenance
        # A span of a dataset decoded in parts: (flags_from, flags_to, the
        # whole's series of each context), as the library's part= takes it.
        self.part = part

    def key(self):
        return (self.paths, self.metadata, self.qc, self.start_chars, self.start, self.end, self.provenance,
                self.part)

    def __dask_tokenize__(self):
        return self.key()

    def names(self):
        return [os.fsdecode(path) for path in self.paths]

    def decode(self, describe=False, history="", progress=False):
        part = None
        if self.part is not None:
            part = {"flags_from": self.part[0], "flags_to": self.part[1], "contexts": self.part[2]}
        result, names = _decode(list(self.paths), start_chars=self.start_chars, order="time", start=self.start,
                                end=self.end, provenance=self.provenance, metadata=self.metadata, qc=self.qc,
                                describe=describe, history=history, part=part, progress=progress)
        return result

    def checked(self, digests):
        """A decoding made again, which must give the records whose
        inputs' digests these were."""
        result = self.decode()
        for name, now, then in zip(self.names(), result["digests"], digests):
            if now != then:
                raise OSError(f"{name} changed while it was read")
        return result

    @staticmethod
    def remember(key, result):
        with _cache_lock:
            _cache[key] = result
            _cache.move_to_end(key)
            total = sum(_bytes(kept) for kept in _cache.values())
            while len(_cache) > 1 and total > _CACHE_BYTES:
                total -= _bytes(_cache.popitem(last=False)[1])

    def decoded(self, digests):
        """The records as they were when the dataset was opened, whose
        inputs' digests these were."""
        # The digests are part of the key: a decoding of the files as they
        # are now is no answer for a dataset opened before they changed.
        key = (self.key(), digests)
        with _cache_lock:
            if key in _cache:
                _cache.move_to_end(key)
                return _cache[key]
            lock = _decoding.setdefault(key, threading.Lock())
        try:
            with lock:  # the other variables of the file wait for one decoding
                with _cache_lock:
                    if key in _cache:
                        return _cache[key]
                result = self.checked(digests)
                self.remember(key, result)
                return result
        finally:
            with _cache_lock:
                _decoding.pop(key, None)


class HexlogArray(BackendArray):
    """One series of a log's records, decoded when it is read."""

    def __init__(self, records, column, dtype, shape, digests, result):
        self.records = records
        self.column = column  # ("reading", k), ("flag", i), ("file",) or ("line",)
        self.dtype = np.dtype(dtype)
        self.shape = shape
        self.digests = digests
        self._result = result  # the decoding at hand, never sent to another process

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_result"] = None
        return state

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._getitem)

    def _getitem(self, key):
        result = self._result if self._result is not None else self.records.decoded(self.digests)
        kind = self.column[0]
        if kind == "reading":
            column = result["readings"][self.column[1]]
        elif kind == "flag":
            column = result["flags"][self.column[1]]
        else:
            column = result[kind]
        if len(self.shape) == 2:  # (station, time): the one station's row
            column = column.reshape(1, -1)
        # A copy of its own, in the variable's type: the decoding may be
        # shared with other variables and datasets.
        return np.array(column[key], dtype=self.dtype)


def _call(function, names, metadata, qc, start_chars, start, end, provenance):
    """How `function` was called, for history: the inputs as read, and the
    arguments that change the records."""
    arguments = [repr(list(names))]
    for name, value, default in (("metadata", metadata, None), ("qc", qc, None), ("start_chars", start_chars, 24),
                                 ("start", start, None), ("end", end, None), ("provenance", provenance, False)):
        if value != default:
            arguments.append(f"{name}={value!r}")
    return f"{function}({', '.join(arguments)})"


class HexlogDataStore(AbstractDataStore):
    """The variables and attributes of the tool's netCDF file, before CF decoding."""

    def __init__(self, records, history, progress=False):
        self._records = records
        # Only the opening shows progress: the workers' decodings have nowhere to show it.
        result = records.decode(describe=True, history=history, progress=progress)
        _warn(result)
        account = opened.get()
        if account is not None:
            account.append((result, records.names()))
        self._result = result
        self._digests = result["digests"]
        paths = records.paths
        self._source = os.path.abspath(os.path.expanduser(os.fsdecode(paths[0]))) if len(paths) == 1 else None

    def __getstate__(self):
        return {"_records": self._records, "_result": None, "_digests": self._digests, "_source": self._source}

    def __setstate__(self, state):
        self.__dict__.update(state)

    def get_dimensions(self):
        if self._result["dataset"]["station_dimension"]:
            return FrozenDict(station=1, time=len(self._result["time"]))
        return FrozenDict(time=len(self._result["time"]))

    def get_attrs(self):
        return FrozenDict(_attributes(self._result["dataset"]["globals"]))

    def get_encoding(self):
        return {"unlimited_dims": {"time"}}

    def get_variables(self):
        result = self._result
        count = len(result["time"])
        flags = 0
        variables = {}
        for description in result["dataset"]["variables"]:
            series = description["series"]
            attributes = _attributes(description["attributes"])
            dtype = str if description["type"] == "str" else np.dtype(description["type"])
            # With a station dimension (IOOS-1.2): the station's variables
            # over (station), its readings and flags over (station, time).
            station = description["per_station"]
            if series == "scalar":
                code, number, data = description["value"][1:]
                value = _value(code, number, data)
                data = np.array([value] if station else value, dtype=object if dtype is str else dtype)
                dims, shape, storage = (("station",), (1,), _STATION_STORAGE) if station else ((), (), _SCALAR_STORAGE)
            else:
                dims, shape, storage = ("time",), (count,), _SERIES_STORAGE
                if station:
                    dims, shape, storage = ("station", "time"), (1, count), _STATION_SERIES_STORAGE
                if dtype is not str and dtype.itemsize == 1:
                    storage = dict(storage, shuffle=False)  # a byte has nothing to shuffle
                if series == "time":
                    data = result["time"].view(np.int64).astype(dtype)
                else:
                    if series == "reading":
                        column = ("reading", description["reading"])
                    elif series == "flag":
                        column = ("flag", flags)
                        flags += 1
                    else:
                        column = ("file",) if series == "source_file" else ("line",)
                    data = self._series(column, dtype, shape)
            encoding = dict(storage)
            if self._source is not None:
                encoding["source"] = self._source
            encoding["original_shape"] = shape
            encoding["dtype"] = dtype
            variables[description["name"]] = Variable(dims, data, attributes, encoding)
        return FrozenDict(variables)

    def _series(self, column, dtype, shape):
        """A series variable's data, read when it is used."""
        return indexing.LazilyIndexedArray(
            HexlogArray(self._records, column, dtype, shape, self._digests, self._result))

    def close(self):
        pass


class HexlogBackendEntrypoint(BackendEntrypoint):
    """xr.open_dataset("day.log", engine="hexlog", metadata="station.meta"):
    the Dataset of the tool's --format=netcdf output of the log."""

    description = "Instrument logs of hexadecimal records, as hexlog's netCDF output holds them"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "mask_and_scale", "decode_times",
                               "concat_characters", "decode_coords", "use_cftime", "decode_timedelta", "metadata",
                               "qc", "start_chars", "start", "end", "provenance", "progress")

    def guess_can_open(self, filename_or_obj):
        try:
            return os.path.splitext(os.fsdecode(filename_or_obj))[1] == ".log"
        except TypeError:
            return False

    def open_dataset(self, filename_or_obj, *, drop_variables=None, mask_and_scale=True, decode_times=True,
                     concat_characters=True, decode_coords=True, use_cftime=None, decode_timedelta=None,
                     metadata=None, qc=None, start_chars=24, start=None, end=None, provenance=False,
                     progress=False):
        records = _Records(filename_or_obj, metadata, start_chars, start, end, provenance, qc)
        store = HexlogDataStore(records, _call("hexlog.open_dataset", records.names(), metadata, qc, start_chars,
                                               start, end, provenance), progress)
        return StoreBackendEntrypoint().open_dataset(
            store, mask_and_scale=mask_and_scale, decode_times=decode_times, concat_characters=concat_characters,
            decode_coords=decode_coords, drop_variables=drop_variables, use_cftime=use_cftime,
            decode_timedelta=decode_timedelta)
