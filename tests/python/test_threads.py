# Decoding without the GIL: threads side by side give what each gives alone.
import faulthandler
import os
import threading

import numpy as np

import hexlog
from conftest import write_log


def test_threads_read_side_by_side(tmp_path):
    paths = [write_log(tmp_path / f"day{i}.log", 3000 + 500 * i, seed=i) for i in range(4)]
    alone = [hexlog.read(path, order="time", provenance=True) for path in paths]
    together = [None] * len(paths)

    def read(i):
        for _ in range(5):
            together[i] = hexlog.read(paths[i], order="time", provenance=True)

    threads = [threading.Thread(target=read, args=(i,)) for i in range(len(paths))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for one, other in zip(alone, together):
        assert list(one) == list(other)
        for name in one:
            assert one[name].dtype == other[name].dtype
            assert one[name].tobytes() == other[name].tobytes() if one[name].dtype != object else \
                list(one[name]) == list(other[name])


def test_the_gil_is_free_while_decoding(tmp_path):
    """The log comes through a pipe that this thread fills while the other
    decodes it: were the GIL held, neither could go on."""
    log = write_log(tmp_path / "day.log", 200, seed=7)
    pipe = str(tmp_path / "pipe.log")
    os.mkfifo(pipe)
    result = {}
    faulthandler.dump_traceback_later(300, exit=True)  # a deadlock ends the run instead of hanging it
    reader = threading.Thread(target=lambda: result.update(hexlog.read(pipe)))
    reader.start()
    with open(pipe, "wb") as out, open(log, "rb") as source:
        for block in iter(lambda: source.read(4096), b""):
            out.write(block)
            out.flush()
    reader.join()
    faulthandler.cancel_dump_traceback_later()
    assert (result["time"] == hexlog.read(log)["time"]).all() and len(result["time"]) == 200
    assert np.array_equal(result["Can_Humidity"], hexlog.read(log)["Can_Humidity"])
