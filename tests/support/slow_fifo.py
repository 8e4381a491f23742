"""A log fed through a FIFO in pieces with pauses between them: a run that
reads it lasts as long as the pauses however fast the machine, for what a
run shows only after its first second.

    with SlowFifo(folder, data) as path: ...
"""
import os
import threading
import time


class SlowFifo:
    def __init__(self, folder, data, pieces=12, pause=0.125):
        self.path, self._data, self._pieces, self._pause = os.path.join(folder, "slow.log"), data, pieces, pause
        self._feeder = threading.Thread(target=self._feed, daemon=True)

    def __enter__(self):
        os.mkfifo(self.path)
        self._feeder.start()
        return self.path

    def __exit__(self, *exception):
        self._feeder.join()
        os.unlink(self.path)

    def _feed(self):
        step = -(-len(self._data) // self._pieces)
        try:
            with open(self.path, "wb", buffering=0) as pipe:
                for start in range(0, len(self._data), step):
                    pipe.write(self._data[start:start + step])
                    time.sleep(self._pause)
        except BrokenPipeError:  # a reader that stopped early
            pass
