# The extension is built from the library's own sources in ../src, the
# ones CMakeLists.txt lists for hexlog_core, so that the Python module and
# the tool decode with the same code. netCDF output stays out: Python gets
# its datasets from xarray.
import os
import re

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

here = os.path.dirname(os.path.abspath(__file__))
top = os.path.dirname(here)


with open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8") as cmake:
    project = cmake.read()
# The tool's version is the module's.
version = re.search(r"project\(hexlog VERSION ([0-9.]+)", project).group(1)


def library_sources():
    sources = re.search(r"add_library\(hexlog_core STATIC([^)]*)\)", project).group(1).split()
    # setuptools takes sources only relative to this directory.
    return [os.path.relpath(os.path.join(top, source), here) for source in sources]


# NPY_NUM_BUILD_JOBS=N sets how many files compile at once (default: every core).
ParallelCompile("NPY_NUM_BUILD_JOBS").install()

setup(
    version=version,
    ext_modules=[
        Pybind11Extension(
            "hexlog._hexlog",
            [os.path.join("src", "module.cpp")] + library_sources(),
            include_dirs=[os.path.join(top, "include")],
            cxx_std=17,
            define_macros=[("HEXLOG_VERSION", '"%s"' % version)],
            # Only src/vector.cpp takes AVX2, through its own target attributes.
            extra_compile_args=["-O2"],
        )
    ],
)
