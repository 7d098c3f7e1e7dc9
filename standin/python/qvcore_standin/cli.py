"""qvcore-standin which (or python -m qvcore_standin which): the core library c_sdk would load."""

import argparse
import os
import sys
from typing import List, Optional

from . import which
from .version import __version__


def _program() -> str:
    """The name the tool was run by: its console script, or python -m qvcore_standin."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m qvcore_standin" if name in ("", "__main__.py", "-c") else "qvcore-standin"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog=_program(), description=__doc__)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("which", help="which core library a fresh process importing c_sdk would load")
    parser.parse_args(argv)
    try:
        found = which.resolve()
    except (ImportError, OSError, ValueError) as e:
        print(f"qvcore_standin: {e}", file=sys.stderr)
        return 1
    print(f"module: {found.module}")
    if found.path is None:
        print(f"core:   none found ({which.CORE_FILE} is in no folder of LD_LIBRARY_PATH or of the module's RUNPATH)")
        return 1
    if found.is_standin:
        print(f"core:   {found.path} (the stand-in: nothing reaches a market; it answers only a process "
              "that sets QVCORE_STANDIN=1 or creates qvcore_standin.Core())")
    else:
        print(f"core:   {found.path} (not the stand-in)")
    return 0
