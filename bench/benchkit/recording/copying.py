"""Where recording's instructions on the calling thread go, read from one
callgrind dump: the C library's copy routines (memcpy, memmove, mempcpy,
strlen), and the shim's own code with its clock reads. Both are counted in
the recording run itself, so they move with nothing but the shim; a
difference between two processes also moves with the interpreter's state."""

import re

from ..annotate import read_profile

# glibc picks one variant per machine (__memcpy_avx_unaligned_erms,
# __strlen_avx2, ...): the name's stem is what counts.
COPY_ROUTINE = re.compile(r"(?:^|[^A-Za-z])(?:memcpy|memmove|mempcpy|strlen)(?:_|$)")
CLOCK_READ = re.compile(r"clock_gettime")


def split_instructions(path, shim_object):
    """(copy routines, the shim's own code and clock reads): self instructions
    in one dump; shim_object is the shim's file name."""
    copy = own = 0
    for (ob, fn), cost in read_profile(path).items():
        if COPY_ROUTINE.search(fn):
            copy += cost[0]
        elif ob == shim_object or CLOCK_READ.search(fn):
            own += cost[0]
    return copy, own
