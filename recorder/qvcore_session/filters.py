"""The filters of show and stats: which calls and events they keep.

Each filter given must hold (--function and --event together keep the
calls of the one and the events of the other). A filter on what is known
when an item starts (its function or event type, thread, start time) is
told apart from one on what is known only when it ends (its status, its
duration), so that show can stream: it prints an item that passes the
first kind at once, one that needs the second when it ends.
"""

from __future__ import annotations

import argparse
import fnmatch
import math
import re
from typing import Dict, List, Optional, Sequence

from .limits import MEMO_ENTRIES, MEMO_KEY
from .reader import NOT_STATUS
from .values import Header

_DURATION = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*(ns|us|µs|ms|s)\s*$")
_UNITS = {"ns": 1, "us": 1_000, "µs": 1_000, "ms": 1_000_000, "s": 1_000_000_000}
_TIME_OF_DAY = re.compile(r"^\s*(\d{1,2}):(\d\d)(?::(\d\d)(?:\.(\d{1,9}))?)?\s*$")
DAY = 86_400_000_000_000
# The time forms --from and --to take, as help, errors and docs/session-data.md word them.
TIME_FORMS = "HH:MM[:SS[.fffffffff]] (UTC, as show prints it) or seconds from the first frame (2.5, 1e-4)"


def parse_duration(text: str) -> int:
    """'500us', '2ms', '1s', '10ns', '1.5ms' in ns."""
    m = _DURATION.match(text)
    if not m:
        raise ValueError(f"{text!r} is not a duration (a number and ns, us, ms or s: 500us, 2ms)")
    return round(float(m.group(1)) * _UNITS[m.group(2)])


def _seconds(text: str) -> Optional[float]:
    """A count of seconds in any of Python's float notations (3, 2.5, .5, 1e-4, +0), or None."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) and value >= 0 else None


def parse_time(text: str, header: Header, origin: Optional[int] = None) -> int:
    """HH:MM[:SS[.fffffffff]] (UTC, the time of day show prints; the first such
    moment from 12 hours before the session started) or seconds from origin
    (the session's first frame; the header's time when the file has none), as
    a time on the file's monotonic clock."""
    m = _TIME_OF_DAY.match(text)
    if m:
        h, mi, s, frac = int(m.group(1)), int(m.group(2)), int(m.group(3) or 0), m.group(4) or ""
        if h > 23 or mi > 59 or s > 59:
            raise ValueError(f"{text!r} is not a time of day")
        of_day = ((h * 60 + mi) * 60 + s) * 1_000_000_000 + int(frac.ljust(9, "0") or 0)
        wall = header.wall_ns - header.wall_ns % DAY + of_day
        if wall < header.wall_ns - DAY // 2:
            wall += DAY
        elif wall >= header.wall_ns + DAY // 2:
            wall -= DAY
        return wall - (header.wall_ns - header.mono_ns)
    seconds = _seconds(text)
    if seconds is not None:
        return (header.mono_ns if origin is None else origin) + round(seconds * 1e9)
    raise ValueError(f"{text!r} is neither a time of day nor seconds: {TIME_FORMS}")


class Filter:
    """The filters of one command, bound to a file's header."""

    def __init__(self, header: Header, functions: Sequence[str] = (), event: Optional[str] = None,
                 failed: bool = False, threads: Sequence[int] = (), since: Optional[str] = None,
                 until: Optional[str] = None, slower_than: Optional[str] = None, origin: Optional[int] = None):
        names = header.functions
        self.any_function = not functions and event is None
        self.fns = {i for i, n in enumerate(names) if any(fnmatch.fnmatchcase(n, g) for g in functions)}
        self.event = event
        self.any_event = event is None and not functions and not failed
        self.failed = failed
        self.status_fns = {i for i, n in enumerate(names) if n not in NOT_STATUS}
        self.threads = set(threads)
        self.functions = list(functions)
        self.since = parse_time(since, header, origin) if since is not None else None
        self.until = parse_time(until, header, origin) if until is not None else None
        self.slower = parse_duration(slower_than) if slower_than is not None else None
        self.at_end = failed or self.slower is not None
        self.active = bool(functions or event is not None or failed or threads or self.since is not None
                           or self.until is not None or self.slower is not None)
        self._events: Dict[Optional[bytes], bool] = {}
        self.event_matched = False  # whether any event's type matched --event, for unmatched()
        self._names = names

    def unmatched(self) -> List[str]:
        """The --function globs that match none of the session's function
        names, and --event if no event's type matched it (once read)."""
        out = [f"--function {g}" for g in self.functions
               if not any(fnmatch.fnmatchcase(n, g) for n in self._names)]
        if self.event is not None and not self.event_matched:
            out.append(f"--event {self.event}")
        return out

    def thread_and_time(self, thread: int, start: int) -> bool:
        """Whether a frame of this thread at this time passes the thread and time filters."""
        if self.threads and thread not in self.threads:
            return False
        if self.since is not None and start < self.since:
            return False
        return self.until is None or start <= self.until

    def call_starts(self, fn: int, thread: int, start: int) -> bool:
        """A call passes what is known at its start."""
        return (self.any_function or fn in self.fns) and self.thread_and_time(thread, start)

    def event_starts(self, msg: Optional[bytes], thread: int, start: int) -> bool:
        """An event passes what is known at its start."""
        if not self.any_event:
            if self.event is None:
                return False
            ok = self._events.get(msg)
            if ok is None:
                text = "None" if msg is None else msg.decode("utf-8", "backslashreplace")
                ok = fnmatch.fnmatchcase(text, self.event)
                if len(self._events) >= MEMO_ENTRIES:  # a file may hold any number of types
                    self._events.clear()
                if msg is None or len(msg) <= MEMO_KEY:
                    self._events[msg] = ok
            if not ok:
                return False
            self.event_matched = True
        return not self.failed and self.thread_and_time(thread, start)

    def call_ends(self, fn: int, duration: Optional[int], result: Optional[int]) -> bool:
        """A call that passed at its start passes what is known at its end."""
        if self.failed and not (result is not None and result != 0 and fn in self.status_fns):
            return False
        return self.slower is None or (duration is not None and duration > self.slower)

    def event_ends(self, duration: Optional[int]) -> bool:
        return self.slower is None or (duration is not None and duration > self.slower)


def add_arguments(ap: argparse.ArgumentParser) -> None:
    g = ap.add_argument_group("filters (each given must hold)")
    g.add_argument("--function", action="append", default=[], metavar="GLOB",
                   help="calls of core functions matching GLOB (qvi_place_order*); repeatable")
    g.add_argument("--event", metavar="TYPE", help="events of this message type (a glob; None: a null type)")
    g.add_argument("--failed", action="store_true", help="calls whose status is other than success (0)")
    g.add_argument("--thread", action="append", type=int, default=[], metavar="TID",
                   help="this thread's calls and events (its kernel thread id, as show prints it); repeatable")
    g.add_argument("--from", dest="since", metavar="T",
                   help=f"what starts at T or later: {TIME_FORMS}")
    g.add_argument("--to", dest="until", metavar="T", help="what starts at T or earlier (as --from)")
    g.add_argument("--slower-than", metavar="D", help="what took longer than D: 500us, 2ms, 1s, 10ns")


def from_arguments(args: argparse.Namespace, header: Header, origin: Optional[int] = None) -> Filter:
    return Filter(header, args.function, args.event, args.failed, args.thread, args.since, args.until,
                  args.slower_than, origin)


def describe(args: argparse.Namespace) -> List[str]:
    """The filters given, as the command line said them."""
    out = [f"--function {g}" for g in args.function]
    for flag, value in (("--event", args.event), ("--from", args.since), ("--to", args.until),
                        ("--slower-than", args.slower_than)):
        if value is not None:
            out.append(f"{flag} {value}")
    out += [f"--thread {t}" for t in args.thread]
    if args.failed:
        out.append("--failed")
    return out
