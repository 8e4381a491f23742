# The README's pandas recipe, run as written from the top of a tree that
# holds the example log's csv: pandas must read 32 float64 columns and the
# time as UTC, with no options beyond naming the time column, and every
# reading must come back as the same float the log holds.
#
#   python3 pandas_test.py HEXLOG SOURCE_DIR
import os
import re
import struct
import subprocess
import sys
import tempfile

hexlog, top = map(os.path.abspath, sys.argv[1:3])
readme = open(os.path.join(top, "README.md"), encoding="utf-8").read()
recipe = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
log = os.path.join(top, "examples", "sample.log")

with tempfile.TemporaryDirectory() as work:
    os.mkdir(os.path.join(work, "build"))
    subprocess.run([hexlog, "--format=csv", "--output=" + os.path.join(work, "build", "sample.csv"), log],
                   check=True)
    os.chdir(work)
    scope = {}
    exec(recipe, scope)
    df = scope["df"]

assert str(df["time"].dtype) == "datetime64[ns, UTC]", df["time"].dtype
readings = df.drop(columns="time")
assert len(readings.columns) == 32, readings.columns
assert all(str(t) == "float64" for t in readings.dtypes), readings.dtypes

# The times are the plain output's seconds, the readings the log's words.
plain = subprocess.run([hexlog, log], check=True, capture_output=True, text=True).stdout
assert [int(t.timestamp()) for t in df["time"]] == [int(line.split(",")[0]) for line in plain.splitlines()]
words = []
for line in open(log, encoding="ascii"):
    text = line.lstrip()
    if len(text) >= 132:
        body = text[24 + 8:].rstrip()
        words.append([int(body[i:i + 8], 16) for i in range(0, 32 * 8, 8)])
for row, record in zip(readings.itertuples(index=False), words):
    for value, word in zip(row, record):
        assert struct.pack(">f", value) == struct.pack(">I", word), (value, hex(word))
print(f"pandas {__import__('pandas').__version__}: {len(df)} records, 32 float64 columns, UTC times")
