#!/usr/bin/env python3
"""What the recording core shim costs, and how fast its reader is.

    python3.10 bench/recorder.py --help

The code is benchkit/recording/ next to this file (cli.py: the commands).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["QVCORE_STANDIN"] = "1"  # every process measured here asks for the stand-in core

from benchkit.recording.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
