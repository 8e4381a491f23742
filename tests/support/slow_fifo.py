"""A log fed through a FIFO in pieces with pauses between them, so that a
run reading it lasts at least as long as the pauses, however fast the
machine: for what a run shows only once it has gone on for a second.

    with SlowFifo(folder, data) as path:   # the FIFO, fed until `data` is out
        run something reading path
"""
import os
import threading
import time


class SlowFifo:
    def __init__(self, folder, data, pieces=12, pause=0.125, name="slow.log"):
        self.path = os.path.join(folder, name)
        self._data, self._pieces, self._pause = data, pieces, pause
        self._thread = threading.Thread(target=self._feed, daemon=True)

    def __enter__(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        os.mkfifo(self.path)
        self._thread.start()
        return self.path

    def __exit__(self, *exception):
        if self._thread.is_alive():
            # A reader that never came or stopped early: let the feeder end.
            try:
                os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
            except OSError:
                pass
        self._thread.join()
        os.unlink(self.path)

    def _feed(self):
        try:
            with open(self.path, "wb", buffering=0) as pipe:
                step = -(-len(self._data) // self._pieces)
                for start in range(0, len(self._data), step):
                    pipe.write(self._data[start:start + step])
                    time.sleep(self._pause)
        except BrokenPipeError:
            pass
