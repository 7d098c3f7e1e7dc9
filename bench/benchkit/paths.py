"""Where the benchmark's inputs and outputs are, for the interpreter running it."""

import os
import sys

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BENCH)
RUN_SCRIPT = os.path.join(BENCH, "run.py")
# The reference interpreter writes results.md and the chart; any other one
# (3.14, run in the chroot: `make bench PYTHON_VERSION=3.14` there) measures
# into a directory of its own, whose results.json the reference run shows
# beside its own figures.
REFERENCE = (3, 10)
IS_REFERENCE = sys.version_info[:2] == REFERENCE
MINOR = "%d.%d" % sys.version_info[:2]
OUT = os.path.join(BENCH, "out" if IS_REFERENCE else "out-" + MINOR)
VENV = os.path.join(OUT, "venv")
VENV_PY = os.path.join(VENV, "bin", "python")
REQUIREMENTS = os.path.join(BENCH, "requirements.txt")
CHART_REQUIREMENTS = os.path.join(BENCH, "requirements-chart.txt")
C_SDK_BUILD = os.path.join(ROOT, "build", "dev" if IS_REFERENCE else "dev-" + MINOR)
STAGE = os.path.join(C_SDK_BUILD, "stage")
PEER_BUILD = os.path.join(OUT, "build")
PEER_STAGE = os.path.join(PEER_BUILD, "stage")
CORE_PATH = os.path.join(STAGE, "qvcore_standin", "lib", "zadiv3-e.so")
# The module as the release wheels build it (cmake/zig-toolchain.cmake, Release),
# measured in a folder of its own next to the dev build's core: the core is
# the user's (the real one replaces the stand-in), so only the module differs.
SUFFIX = "" if IS_REFERENCE else "-" + MINOR
WHEEL_BUILD = os.path.join(ROOT, "build", "bench-wheel" + SUFFIX)
WHEEL_MODULE_DIR = os.path.join(WHEEL_BUILD, "module")
MODULE_DIRS = {"dev": STAGE, "wheel": WHEEL_MODULE_DIR}
BUILD_TITLES = {"dev": "dev build (system g++, libstdc++)", "wheel": "wheel build (Zig's clang, static libc++)"}
# How much further from the floor the wheel's module may be than the dev build's.
WHEEL_TOLERANCE = 0.03


def log(*a):
    print(*a, file=sys.stderr, flush=True)
