#!/usr/bin/env bash
# Installs the Python module the way the README tells a user to, into a new
# environment under the build directory, and runs tests/python with that
# environment's python against the package as installed (its xarray engine
# included) and the tool of the same build.
#
#   bash tests/python/run.sh [BUILD_DIR]     (default: build; BUILD_DIR/hexlog must be built)
#
# Nothing is downloaded: the environment sees Debian's numpy, pandas,
# xarray, dask, pybind11 and pytest.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
env="$build/python-env"

rm -rf "$env" "$top/python/build" "$top/python/hexlog.egg-info"
cd "$top"
# The README's command, with the environment under the build directory.
/usr/bin/python3 -m venv --system-site-packages "$env" && "$env/bin/pip" install --no-build-isolation --no-index ./python
rm -rf "$top/python/build" "$top/python/hexlog.egg-info"

cd "$build"
HEXLOG_BINARY="$build/hexlog" HEXLOG_PYTHON_PACKAGE="$env" "$env/bin/python" -m pytest -p no:cacheprovider "$top/tests/python"
