"""The part of a call's instructions spent in the C library's copy routines
(memcpy, memmove, mempcpy, strlen), read from a callgrind dump: the copy of
what crossed is measured apart from what recording adds around it."""

import re

from ..annotate import read_profile

# glibc picks one variant per machine (__memcpy_avx_unaligned_erms,
# __strlen_avx2, ...): the name's stem is what counts.
COPY_ROUTINE = re.compile(r"(?:^|[^A-Za-z])(?:memcpy|memmove|mempcpy|strlen)(?:_|$)")


def copy_instructions(path):
    """Self instructions of the copy routines in one dump."""
    return sum(cost[0] for (_, fn), cost in read_profile(path).items() if COPY_ROUTINE.search(fn))
