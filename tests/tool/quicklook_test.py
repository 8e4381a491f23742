# The quick-look page as a browser shows it: written for the example log
# (alone, then with a second file of a duplicate, a conflict, a line that is
# no record, a missing reading, a failing value and a ten-day gap, flagged by
# examples/qc.yaml or by station.meta's valid ranges; then floats at their
# extremes, and no record at all), loaded from disk by
# headless Chromium, which must report no console error. In the DOM it
# builds: a panel per kind of reading, the header's counts and table as
# --summary tells them, each reading's flag counts as the csv or NCCSV of the
# same run flags it, the gap a break in every line, nothing fetched. Then
# the densest page, of every reading's every pixel column full, is under
# 2 MB, and no larger for ten times the records.
#
#   python3 quicklook_test.py HEXLOG SOURCE_DIR qc|no-qc
#
# no-qc: the tool was built without QC configurations; the valid ranges
# alone flag the readings.
# Exits 77 (skipped) where there is no /usr/bin/chromium.
import html.parser
import os
import re
import struct
import subprocess
import sys
import tempfile

CHROMIUM = "/usr/bin/chromium"
if not os.access(CHROMIUM, os.X_OK):
    print("no " + CHROMIUM + ": skipped")
    sys.exit(77)

hexlog, top = map(os.path.abspath, sys.argv[1:3])
with_qc = sys.argv[3] == "qc"
sample = os.path.join(top, "examples", "sample.log")
qc = os.path.join(top, "examples", "qc.yaml")
meta = os.path.join(top, "examples", "station.meta")
PANELS = ["pco2", "temperature", "pressure", "humidity", "ph"]


class Dom(html.parser.HTMLParser):
    """What the checks read of a page: panels, counts, the table, lines, legends, references."""

    def __init__(self, text):
        super().__init__()
        self.panels, self.counts, self.rows, self.lines = [], {}, [], {}
        self.legend, self.references, self.scripts = {}, [], 0
        self._count = self._cell = self._title = self._item = None
        self._path = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        for name in ("src", "href", "xlink:href"):
            if name in a:
                self.references.append(a[name])
        self.references += re.findall(r"url\(([^)]*)\)", a.get("style", ""))
        if tag == "script":
            self.scripts += 1
        elif tag == "section" and "panel" in a.get("class", ""):
            self.panels.append(a["id"])
        elif tag == "dd" and "data-count" in a:
            self._count = a["data-count"]
        elif tag == "tr":
            self.rows.append([])
        elif tag == "td":
            self._cell = ""
        elif tag == "path" and "line" in a.get("class", ""):
            self._path = a["d"]
        elif tag == "title" and self._path is not None:
            self._title = ""
        elif tag == "li":
            self._item = ""

    def handle_endtag(self, tag):
        if tag == "td":
            self.rows[-1].append(self._cell)
            self._cell = None
        elif tag == "title" and self._title is not None:
            self.lines[self._title] = self._path
            self._title = self._path = None
        elif tag == "li" and self._item is not None:
            name, _, rest = self._item.strip().partition(" ")
            self.legend[name] = rest
            self._item = None

    def handle_data(self, data):
        if self._count is not None:
            self.counts[self._count] = int(data)
            self._count = None
        if self._cell is not None:
            self._cell += data
        if self._title is not None:
            self._title += data
        if self._item is not None:
            self._item += data


def browse(page):
    """The DOM Chromium builds from the page, and its console's messages."""
    run = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                          "--v=0", "--virtual-time-budget=2000", "--dump-dom", "file://" + page],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    console = [line for line in run.stderr.splitlines() if ":CONSOLE" in line]
    return Dom(run.stdout), console


def summary(err):
    """--summary's table from standard error: the column names, and each row by its file."""
    rows = [line.split("\t") for line in err.splitlines() if "\t" in line]
    return rows[0][1:], {row[0]: [int(n) for n in row[1:]] for row in rows[1:]}


def flag_counts(text, nccsv):
    """Each reading's suspect and failed counts in csv or NCCSV text: the aggregate's, else its strongest flag."""
    lines = text.splitlines()
    if nccsv:
        lines = lines[lines.index("*END_METADATA*") + 1:lines.index("*END_DATA*")]
    names = lines[0].split(",")
    rows = [line.split(",") for line in lines[1:]]
    counts = {}
    for reading in names[1:33]:
        aggregate = [i for i, n in enumerate(names) if n == reading + "_qartod_aggregate"]
        columns = aggregate or [i for i, n in enumerate(names) if n.startswith(reading + "_q")]
        strongest = [max((int(row[i]) for i in columns if int(row[i]) in (3, 4)), default=0) for row in rows]
        counts[reading] = (strongest.count(3), strongest.count(4))
    return counts


def shown_flags(legend):
    """A legend entry's "(2 suspect, 1 failed)" as (2, 1)."""
    found = dict((kind, int(n)) for n, kind in re.findall(r"(\d+) (suspect|failed)", legend))
    return found.get("suspect", 0), found.get("failed", 0)


NAN = 0x7FC00000


def word(value):
    return "%08X" % value


def record(time, words):
    return "SN0042 2026-06-14 00:00 " + word(time) + "".join(words) + "\r\n"


failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


with tempfile.TemporaryDirectory() as work:
    # The second file, made from the example's first records.
    lines = [l for l in open(sample, encoding="ascii") if len(l.strip()) >= 288]
    parsed = [(int(l[24:32], 16), [l[32 + 8 * k:40 + 8 * k] for k in range(32)]) for l in lines]
    last = max(t for t, _ in parsed)
    first_time, first_words = parsed[0]
    second_time, second_words = parsed[1]
    conflicting = list(second_words)
    conflicting[3] = word(0x43C80000)  # 400.0, not what the example holds
    missing = list(first_words)
    missing[5] = "4ZZZZZZZ"  # begins as a word, is none: the walk goes on past it
    failing = list(first_words)
    failing[0] = word(0x459C4000)  # 5000.0 uatm: outside EquilPumpOn_pCO2's valid range
    later = os.path.join(work, "later.log")
    with open(later, "w", encoding="ascii", newline="") as f:
        f.write(lines[0])
        f.write(record(second_time, conflicting))
        f.write("SN0042 2026-06-14 00:00 6A2EZZZZ" + "".join(first_words) + "\r\n")
        f.write(record(last + 3 * 3600, missing))
        f.write(record(last + 10 * 86400, failing))

    # Floats at their extremes, each reading through all of them; and a
    # file of no record at all.
    extremes = [0x7F7FFFFF, 0xFF7FFFFF, 0x00000001, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC12345, 0x3F800000]
    extreme = os.path.join(work, "extreme.log")
    with open(extreme, "w", encoding="ascii", newline="") as f:
        f.writelines(record(first_time + i, [word(extremes[(i + k) % 8]) for k in range(32)]) for i in range(8))
    empty = os.path.join(work, "empty.log")
    with open(empty, "w", encoding="ascii") as f:
        f.write("# a log of no record\n")

    readings = sorted(subprocess.run([hexlog, "--format=csv", sample], capture_output=True, text=True)
                      .stdout.split("\n", 1)[0].split(",")[1:])
    runs = {
        "example": ([sample], []),
        "qc": ([sample, later], ["--qc=" + qc, "--metadata=" + meta]),
        "ranges": ([sample, later], ["--metadata=" + meta]),
        "extreme": ([extreme], []),
        "empty": ([empty], []),
    }
    if not with_qc:
        del runs["qc"]
    for label, (inputs, options) in runs.items():
        page = os.path.join(work, label + ".html")
        made = subprocess.run([hexlog, "--format=html", "--summary", "--output=" + page] + options + inputs,
                              capture_output=True, text=True)
        check(made.returncode == 0, label + ": status %d: %s" % (made.returncode, made.stderr))
        dom, console = browse(page)
        check(not console, label + ": console: %s" % console)
        check(dom.panels == ([] if label == "empty" else PANELS), label + ": panels %s" % dom.panels)
        check(dom.scripts == 0 and all(r.startswith("#") for r in dom.references),
              label + ": fetches or runs %s" % dom.references)
        names, files = summary(made.stderr)
        shown = {row[0]: [int(n) for n in row[1:]] for row in dom.rows if row}
        check(shown == files, label + ": table %s, --summary %s" % (shown, files))
        total = dict(zip(names, files["total"]))
        check(all(total[name] == n for name, n in dom.counts.items()) and len(dom.counts) == 5,
              label + ": counts %s, --summary %s" % (dom.counts, total))
        if label == "empty":
            continue
        check(sorted(dom.lines) == readings, label + ": lines %s" % sorted(dom.lines))
        if label in ("example", "extreme"):
            continue
        # Every count of the header is one the second file makes.
        check(all(dom.counts.values()), label + ": a count is 0: %s" % dom.counts)
        check("SN0042" in open(page, encoding="utf-8").read(), label + ": no station")
        # Ten days without a record: every line breaks there.
        check(all(d.count("M") >= 2 for d in dom.lines.values()), label + ": a line does not break at the gap")
        # The flags as the same run writes them in columns.
        nccsv = label == "ranges"  # csv takes no metadata without --qc
        written = subprocess.run([hexlog, "--format=" + ("nccsv" if nccsv else "csv")] + options + inputs,
                                 capture_output=True, text=True, check=True).stdout
        flags = flag_counts(written, nccsv)
        check(label == "ranges" or any(s for s, _ in flags.values()), label + ": nothing suspect to show")
        check(flags["EquilPumpOn_pCO2"][1] > 0, label + ": nothing failed to show")
        for reading, counts in flags.items():
            check(shown_flags(dom.legend.get(reading, "")) == counts,
                  label + ": %s flags %s, shown %s" % (reading, counts, dom.legend.get(reading)))
        check("suspect" in dom.legend and "failed" in dom.legend, label + ": no key to the markers")

    # The densest page there is: in every pixel column each reading holds
    # four values apart from each other by missing ones, and suspect and
    # failed values; ten times the records draw the same page.
    with open(os.path.join(work, "dense.meta"), "w", encoding="ascii") as f:
        f.writelines(name + ",valid_range,0.0f,100.0f\n" for name in readings)
    dense = ["--metadata=" + os.path.join(work, "dense.meta")]
    if with_qc:
        with open(os.path.join(work, "dense.json"), "w", encoding="ascii") as f:
            f.write('{"streams": {%s}}' % ",".join(
                '"%s": {"qartod": {"gross_range_test": {"fail_span": [0, 100], "suspect_span": [10, 90]}}}' % name
                for name in readings))
        dense.append("--qc=" + os.path.join(work, "dense.json"))
    cycle = [5.0, 200.0, 95.0, -50.0, 50.0, 42.0, 7.0, 150.0]
    sizes = []
    for records in (16000, 160000):
        log = os.path.join(work, "dense.log")
        with open(log, "w", encoding="ascii", newline="") as f:
            for i in range(records):
                value = word(NAN) if i % 2 else word(struct.unpack(">I", struct.pack(">f", cycle[i // 2 % 8]))[0])
                f.write(record(1781395200 + 60 * i, [value] * 32))
        page = os.path.join(work, "dense.html")
        subprocess.run([hexlog, "--format=html", "--output=" + page] + dense + [log], check=True)
        sizes.append(os.path.getsize(page))
    check(max(sizes) <= 2_000_000 and abs(sizes[1] - sizes[0]) <= sizes[0] // 20,
          "page sizes %s for 16000 and 160000 records" % sizes)

print("the densest page: %d bytes, %d for ten times the records" % tuple(sizes))
for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
