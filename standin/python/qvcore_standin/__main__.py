"""python -m qvcore_standin: the same as the qvcore-standin command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
