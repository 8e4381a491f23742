# The formats as the field's own tools read them, from the example log:
#
#   python3 field_tools_test.py pandas HEXLOG SOURCE_DIR
#       the README's pandas recipe, run as written from the top of a tree
#       that holds the csv: 32 float32 columns on UTC times;
#   python3 field_tools_test.py xarray HEXLOG SOURCE_DIR
#       the netCDF file with the example station's metadata, through
#       netCDF4 and xarray: times decoded as UTC, attributes of their types.
#
# Either way every reading must be the float the log's word holds, bit for
# bit, and the times the plain output's seconds.
import os
import re
import struct
import subprocess
import sys
import tempfile

tool, hexlog, top = sys.argv[1], *map(os.path.abspath, sys.argv[2:4])
log = os.path.join(top, "examples", "sample.log")


def logged():
    """The plain output's times, and each record's 32 words, from the log itself."""
    plain = subprocess.run([hexlog, log], check=True, capture_output=True, text=True).stdout
    seconds = [int(line.split(",")[0]) for line in plain.splitlines()]
    words = []
    for line in open(log, encoding="ascii"):
        text = line.lstrip()
        if len(text) >= 132:
            body = text[24 + 8:]
            words.append([int(body[i:i + 8], 16) for i in range(0, 32 * 8, 8)])
    return seconds, words


def same_bits(columns, words):
    """Each of the 32 columns of floats, as single precision, against the words."""
    for k, column in enumerate(columns):
        for i, value in enumerate(column):
            assert struct.pack(">f", value) == struct.pack(">I", words[i][k]), (k, i, value, hex(words[i][k]))


seconds, words = logged()
with tempfile.TemporaryDirectory() as work:
    if tool == "pandas":
        readme = open(os.path.join(top, "README.md"), encoding="utf-8").read()
        recipe = next(block for block in re.findall(r"```python\n(.*?)```", readme, re.S) if "read_csv" in block)
        os.mkdir(os.path.join(work, "build"))
        subprocess.run([hexlog, "--format=csv", "--output=" + os.path.join(work, "build", "sample.csv"), log],
                       check=True)
        os.chdir(work)
        scope = {}
        exec(recipe, scope)
        df = scope["df"]
        assert str(df.index.dtype) == "datetime64[ns, UTC]", df.index.dtype
        assert [int(t.timestamp()) for t in df.index] == seconds
        assert len(df.columns) == 32 and all(str(t) == "float32" for t in df.dtypes), df.dtypes
        # The exact floats: their own bits, not a float64's rounding of them.
        for k, name in enumerate(df.columns):
            for i, value in enumerate(df[name].to_numpy()):
                assert value.tobytes() == struct.pack("<I", words[i][k]), (name, i, value, hex(words[i][k]))
        print(f"pandas {__import__('pandas').__version__}: {len(df)} records, 32 float32 columns, UTC times")
    else:
        import netCDF4
        import numpy as np
        import xarray as xr

        path = os.path.join(work, "sample.nc")
        subprocess.run([hexlog, "--format=netcdf", "--metadata=" + os.path.join(top, "examples", "station.meta"),
                        "--output=" + path, log], check=True)
        ds = xr.open_dataset(path)
        assert ds.time.dtype == np.dtype("datetime64[ns]"), ds.time.dtype  # CF times are UTC
        assert list((ds.time.values - np.datetime64("1970-01-01T00:00:00")) // np.timedelta64(1, "s")) == seconds
        names = [name for name in ds.data_vars if not name.endswith("_qc")]
        assert len(names) == 32 and all(ds[name].dtype == np.float32 for name in names)
        # The example declares IOOS-1.2: one station, readings over (station, time).
        assert all(ds[name].dims == ("station", "time") for name in names)
        same_bits([ds[name].values[0] for name in names], words)
        assert ds.station_id.values.tolist() == ["SN0042"] and ds.latitude.dtype == np.float64
        assert ds.longitude.values.tolist() == [-122.03]
        assert ds.attrs["featureType"] == "timeSeries"
        assert ds.EquilPumpOn_pCO2.attrs["valid_range"].dtype == np.float32
        assert ds.Durafet_pH_1.attrs["sensor_serial"].dtype == np.int32
        raw = netCDF4.Dataset(path)
        assert raw.data_model == "NETCDF4"
        filters = raw.variables["EquilPumpOn_pCO2"].filters()
        assert filters["zlib"] and filters["shuffle"], filters
        print(f"xarray {xr.__version__}, netCDF4 {netCDF4.__version__}: {ds.sizes['time']} records, "
              "32 float32 readings, UTC times")
