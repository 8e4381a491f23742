# The extension is built from the library's own sources in ../lib, the
# ones lib/sources.txt lists for the CMake build too, so that the Python
# module and the tool decode with the same code. netCDF output stays out:
# Python gets its datasets from xarray.
import os
import subprocess

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

here = os.path.dirname(os.path.abspath(__file__))
top = os.path.dirname(here)


# The tool's version is the module's.
with open(os.path.join(top, "VERSION"), encoding="utf-8") as text:
    version = text.read().strip()


def library_sources():
    """The list the CMake build takes too: lib/sources.txt."""
    with open(os.path.join(top, "lib", "sources.txt"), encoding="utf-8") as listing:
        sources = [line.strip() for line in listing if line.strip() and not line.startswith("#")]
    # setuptools takes sources only relative to this directory.
    return [os.path.relpath(os.path.join(top, "lib", source), here) for source in sources]


def yaml_cpp():
    """QC configurations (qc=) are read with yaml-cpp, where pkg-config finds
    it (Debian: libyaml-cpp-dev), as the CMake build does; without it qc=
    says so."""
    try:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "yaml-cpp"], check=True,
                               capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return {}
    return {"define_macros": [("HEXLOG_QC", None)],
            "include_dirs": [flag[2:] for flag in flags if flag.startswith("-I")],
            "library_dirs": [flag[2:] for flag in flags if flag.startswith("-L")],
            "libraries": [flag[2:] for flag in flags if flag.startswith("-l")]}


qc = yaml_cpp()

# NPY_NUM_BUILD_JOBS=N sets how many files compile at once (default: every core).
ParallelCompile("NPY_NUM_BUILD_JOBS").install()

setup(
    version=version,
    ext_modules=[
        Pybind11Extension(
            "hexlog._hexlog",
            [os.path.join("src", "module.cpp")] + library_sources(),
            include_dirs=[os.path.join(top, "include"), os.path.join(top, "lib")] + qc.get("include_dirs", []),
            library_dirs=qc.get("library_dirs", []),
            libraries=qc.get("libraries", []),
            cxx_std=17,
            define_macros=[("HEXLOG_VERSION", '"%s"' % version)] + qc.get("define_macros", []),
            # Only the vector code takes AVX2, through its own target attributes.
            extra_compile_args=["-O2"],
        )
    ],
)
