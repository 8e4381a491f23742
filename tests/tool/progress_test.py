"""The progress line from outside: the tool over a generated log fed slowly
through a FIFO, so that each run lasts past the second before the line is
drawn, with standard error on a pseudo-terminal or a pipe.

    progress_test.py HEXLOG GENLOG [netcdf]
"""
import os
import pty
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from slow_fifo import SlowFifo  # noqa: E402

TOOL, GENLOG = sys.argv[1], sys.argv[2]
NETCDF = "netcdf" in sys.argv[3:]


def screen(data):
    """The lines a terminal is left showing after `data`."""
    shown = []
    for line in data.decode().replace("\r\n", "\n").split("\n"):
        cells, cursor = "", 0
        for token in re.split(r"(\r|\033\[K)", line):
            if token == "\r":
                cursor = 0
            elif token == "\033[K":
                cells = cells[:cursor]
            else:
                cells, cursor = cells[:cursor] + token + cells[cursor + len(token):], cursor + len(token)
        shown += [cells] if cells else []
    return shown


class Run:
    def __init__(self, folder, log, args, terminal, more=()):
        with SlowFifo(folder, log) as fifo, tempfile.TemporaryFile() as out:
            read_end, err = pty.openpty() if terminal else os.pipe()
            process = subprocess.Popen([TOOL, *args, fifo, *more], stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            os.close(err)
            self.err = b""
            try:
                while block := os.read(read_end, 65536):
                    self.err += block
            except OSError:  # a terminal's other side closed
                pass
            os.close(read_end)
            self.status = process.wait()
            out.seek(0)
            self.out = out.read()


class ProgressTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="hexlog-progress-")
        cls.log = subprocess.run([GENLOG, "4000"], stdout=subprocess.PIPE, check=True).stdout

    def run_tool(self, args, terminal, more=()):
        return Run(self.folder, self.log, args, terminal, more)
    def test_a_terminal_shows_the_line_and_is_left_clean(self):
        for args in ([], ["-v"]):
            run, quiet = self.run_tool(args, terminal=True), self.run_tool(args + ["--no-progress"], terminal=False)
            self.assertEqual((run.status, run.out), (0, quiet.out))
            self.assertRegex(run.err, rb"\rhexlog: 0 of 1 file read, [0-9.]+ [kM]B, [0-9]+ records\033\[K")
            self.assertEqual(screen(run.err), [])
            self.assertEqual(self.run_tool(args + ["--no-progress"], terminal=True).err, b"")

    def test_a_pipe_gets_nothing_unless_forced(self):
        self.assertEqual(self.run_tool([], terminal=False).err, b"")
        forced = self.run_tool(["--progress"], terminal=False)
        lines = forced.err.decode().split("\n")
        # A line a second, then the last counts; no terminal's escapes.
        self.assertEqual((forced.status, lines[-1]), (0, ""))
        self.assertGreaterEqual(len(lines), 3)
        self.assertTrue(all(re.fullmatch("hexlog: [0-9a-zA-Z., ]+", line) for line in lines[:-1]), lines)
        self.assertRegex(lines[-2], r"^hexlog: 1 of 1 file read, 1.16 MB, 4000 records$")

    def test_a_message_after_the_line_stands_alone(self):
        # With --output the message goes to standard error, under the line.
        run = self.run_tool(["--format=csv", f"--output={self.folder}/never.csv"], terminal=True,
                            more=[f"{self.folder}/absent.log"])
        self.assertEqual(run.status, 1)
        self.assertIn(b"\rhexlog: 0 of 2 files read, ", run.err)
        self.assertEqual(screen(run.err), [f"Cannot open file {self.folder}/absent.log: No such file or directory"])

    @unittest.skipUnless(NETCDF, "built without netCDF")
    def test_the_netcdf_writer_draws_and_erases_it(self):
        run = self.run_tool(["--format=netcdf", f"--output={self.folder}/out.nc"], terminal=True)
        self.assertEqual(run.status, 0)
        self.assertIn(b"\rhexlog: ", run.err)
        self.assertEqual(screen(run.err), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
