"""The part of a call's instructions spent in the C library's copy routines
(memcpy, memmove, mempcpy, strlen), read from a callgrind dump: the copy of
what crossed is measured apart from what recording adds around it."""

import re

# glibc picks one variant per machine (__memcpy_avx_unaligned_erms,
# __strlen_avx2, ...): the name's stem is what counts.
COPY_ROUTINE = re.compile(r"(?:^|[^A-Za-z])(?:memcpy|memmove|mempcpy|strlen)(?:_|$)")
_NAMED = re.compile(r"\((\d+)\)(?: (.*))?")


def _name(spec, names):
    """A function's name from `(id) name` or `(id)` (callgrind's compression)."""
    m = _NAMED.match(spec.strip())
    if not m:
        return spec.strip()
    if m.group(2) is not None:
        names[m.group(1)] = m.group(2)
    return names.get(m.group(1), "")


def copy_instructions(path):
    """Self instructions of the copy routines in one dump (one event, Ir).
    A cost line right after `calls=` is the callee's inclusive cost, not the
    current function's own, and is skipped."""
    names = {}
    total = 0
    counting = False
    after_call = False
    with open(path) as f:
        for line in f:
            if after_call:
                after_call = False
                continue
            if line.startswith("fn="):
                counting = bool(COPY_ROUTINE.search(_name(line[3:], names)))
            elif line.startswith("cfn="):
                _name(line[4:], names)
            elif line.startswith("calls="):
                after_call = True
            elif counting and line[:1] in "0123456789+-*":
                fields = line.split()
                if len(fields) >= 2:
                    total += int(fields[1])
    return total
