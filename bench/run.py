#!/usr/bin/env python3
"""Benchmark of the crossing: c_sdk against a hand-written floor and the usual
ways of writing the same binding (Cython, nanobind, pybind11, ctypes).

    python3.10 bench/run.py --help

The code is the benchkit package next to this file (benchkit/cli.py: the
options and the steps).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["QVCORE_STANDIN"] = "1"  # every process measured here asks for the stand-in core

from benchkit.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
