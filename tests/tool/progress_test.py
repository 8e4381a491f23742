"""The progress line, from outside: the tool run over a generated log fed
slowly through a FIFO, so that every run lasts well past the second before
the line is drawn, with standard error on a pseudo-terminal or a pipe.

    progress_test.py HEXLOG GENLOG [netcdf]
"""
import os
import pty
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from slow_fifo import SlowFifo  # noqa: E402

TOOL, GENLOG = sys.argv[1], sys.argv[2]
NETCDF = "netcdf" in sys.argv[3:]


def screen(data):
    """What a terminal shows after `data`: carriage returns, erasing to the
    end of the line and new lines followed, the lines left non-empty."""
    lines, line, column = [], [], 0
    text = data.decode("utf-8", "replace")
    i = 0
    while i < len(text):
        if text.startswith("\033[K", i):
            del line[column:]
            i += 3
            continue
        c = text[i]
        if c == "\r":
            column = 0
        elif c == "\n":
            lines.append("".join(line))
            line, column = [], 0
        else:
            line[column:column + 1] = [c]
            column += 1
        i += 1
    lines.append("".join(line))
    return [kept for kept in lines if kept.strip()]


class Run:
    """One run of the tool: its status, standard output and what its
    standard error got (from the terminal's side, on a pseudo-terminal)."""

    def __init__(self, folder, log, args, terminal, extra_inputs=()):
        out_path = os.path.join(folder, "stdout")
        with SlowFifo(folder, log) as fifo, open(out_path, "wb") as out:
            if terminal:
                read_end, err = pty.openpty()
            else:
                read_end, err = os.pipe()
            process = subprocess.Popen([TOOL, *args, fifo, *extra_inputs], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=err)
            os.close(err)
            self.err = b""
            while True:
                try:
                    block = os.read(read_end, 65536)
                except OSError:  # a terminal's other side closed
                    break
                if not block:
                    break
                self.err += block
            os.close(read_end)
            self.status = process.wait()
        with open(out_path, "rb") as out:
            self.out = out.read()


class ProgressTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="hexlog-progress-")
        cls.log = subprocess.run([GENLOG, "4000"], stdout=subprocess.PIPE, check=True).stdout
        cls.quiet = Run(cls.folder, cls.log, ["--no-progress"], terminal=False)
        assert cls.quiet.status == 0 and cls.quiet.err == b"" and cls.quiet.out

    def run_tool(self, args, terminal, extra_inputs=()):
        return Run(self.folder, self.log, args, terminal, extra_inputs)

    def test_a_terminal_shows_the_line_and_is_left_clean(self):
        for args in ([], ["-v"], ["--format=csv"]):
            with self.subTest(args=args):
                run = self.run_tool(args, terminal=True)
                quiet = self.quiet if not args else self.run_tool(args, terminal=False)
                self.assertEqual(run.status, 0)
                self.assertIn(b"\rhexlog: 0 of 1 file read, ", run.err)
                self.assertIn(b" records\033[K", run.err)
                self.assertEqual(screen(run.err), [])
                self.assertEqual(run.out, quiet.out)

    def test_a_pipe_gets_nothing_unless_forced(self):
        self.assertEqual(self.quiet.err, b"")
        run = self.run_tool([], terminal=False)
        self.assertEqual((run.status, run.err, run.out), (0, b"", self.quiet.out))
        forced = self.run_tool(["--progress"], terminal=False)
        self.assertEqual((forced.status, forced.out), (0, self.quiet.out))
        lines = forced.err.decode().splitlines()
        self.assertGreaterEqual(len(lines), 2)  # one a second, and the last counts
        self.assertNotIn(b"\033", forced.err)
        self.assertNotIn(b"\r", forced.err)
        self.assertTrue(all(line.startswith("hexlog: ") for line in lines), lines)
        self.assertTrue(lines[-1].startswith("hexlog: 1 of 1 file read, "), lines[-1])
        self.assertTrue(lines[-1].endswith(", 4000 records"), lines[-1])

    def test_no_progress_silences_a_terminal(self):
        run = self.run_tool(["--progress", "--no-progress"], terminal=True)
        self.assertEqual((run.status, run.err, run.out), (0, b"", self.quiet.out))

    def test_a_message_after_the_line_stands_alone(self):
        # With --output the message goes to standard error, under the line.
        run = self.run_tool(["--format=csv", f"--output={os.path.join(self.folder, 'never.csv')}"], terminal=True,
                            extra_inputs=[os.path.join(self.folder, "absent.log")])
        self.assertEqual(run.status, 1)
        self.assertIn(b"\rhexlog: 0 of 2 files read, ", run.err)
        shown = screen(run.err)
        self.assertEqual(len(shown), 1, shown)
        self.assertTrue(shown[0].startswith("Cannot open file "), shown)

    @unittest.skipUnless(NETCDF, "built without netCDF")
    def test_the_netcdf_writer_draws_and_erases_it(self):
        files = []
        for terminal in (True, False):
            target = os.path.join(self.folder, f"out-{terminal}.nc")
            run = self.run_tool(["--format=netcdf", f"--output={target}"], terminal=terminal)
            self.assertEqual(run.status, 0)
            with open(target, "rb") as nc:
                files.append(nc.read())
            if terminal:
                self.assertIn(b"\rhexlog: ", run.err)
                self.assertEqual(screen(run.err), [])
            else:
                self.assertEqual(run.err, b"")
        self.assertEqual(len(files[0]), len(files[1]))


if __name__ == "__main__":
    os.environ["SOURCE_DATE_EPOCH"] = "1781481600"
    unittest.main(argv=sys.argv[:1])
