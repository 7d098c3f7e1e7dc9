"""What followed session files are doing now: the figures that top shows
and metrics exports, kept as the frames come.

``Feed`` follows a name or a pattern (follow.Watch) and turns each file's
frames into calls, events and gaps (nesting.Items, a call inside which
events ran ending with its CLOSE frame). It tells its listeners what a
poll read, a function or an event type and a second at a time:
``calls(file, function, durations, failures, end_ns)``,
``events(file, type, count, end_ns)`` and ``lost(file, frames, end_ns)``,
end_ns being the latest end among them. Times are the recorded process's
monotonic clock, which is ours on the same machine. A call's failure is
stats' rule: a non-zero int result of a function that returns a status.

``Window`` keeps the last seconds of it, a second per slot, for top.
"""

from __future__ import annotations

import collections
from typing import Deque, Dict, Iterable, Iterator, List, Optional, Protocol, Tuple

from .follow import Follow, Watch
from .limits import MAX_KEYS
from .nesting import Item, Items
from .parts import _RESULT_INT
from .reader import (BODY, CALL, EVENT, LOST, NOT_STATUS, R_INT, Malformed, Session, SessionError, Span, event_msg,
                     int_result)
from .stats import _Latency

# An event type beyond the first this many of a file is counted as OTHER_TYPE: labels stay bounded.
MAX_TYPES = min(MAX_KEYS, 256)
OTHER_TYPE = "(other types)"


def type_text(msg: Optional[bytes]) -> str:
    return "None" if msg is None else bytes(msg).decode("utf-8", "backslashreplace")


class File:
    """A followed file as the feed knows it: its session's names and pid, where it stands."""

    def __init__(self, follow: Follow, session: Session):
        self.follow = follow
        self.session = session
        self.pid = session.header.pid
        self.names = session.header.functions
        self.status = [n not in NOT_STATUS for n in self.names]
        self.clock_offset = session.header.wall_ns - session.header.mono_ns
        self.items = Items(session)
        self.types: Dict[Optional[bytes], str] = {}
        self.last_ns = 0  # the latest end of a frame read (monotonic)
        self.finished = False

    @property
    def writing(self) -> bool:
        # Once finished, not writing, even when its Follow has gone on to a new file at the name.
        return not (self.finished or self.follow.ended)


class Listener(Protocol):
    def calls(self, f: File, fn: str, durations: List[int], failures: int, end_ns: int) -> None: ...

    def events(self, f: File, type_: str, count: int, end_ns: int) -> None: ...

    def lost(self, f: File, frames: int, end_ns: int) -> None: ...


class Feed:
    """The frames of the files of a name or a pattern, to listeners."""

    def __init__(self, name: str, listeners: List[Listener]):
        self.watch = Watch(name)
        self.listeners = listeners
        self.files: Dict[Follow, File] = {}
        self.notes: List[str] = []

    @staticmethod
    def _type(f: File, msg: Optional[bytes]) -> str:
        t = f.types.get(msg)
        if t is None:
            t = type_text(msg) if len(f.types) < MAX_TYPES else OTHER_TYPE
            if len(f.types) < 2 * MAX_TYPES:  # those beyond are looked up anew each time
                f.types[msg] = t
        return t

    def _file(self, follow: Follow) -> Optional[File]:
        f = self.files.get(follow)
        if f is None or f.session is not follow.session:  # new, or a new file at the name
            if follow.session is None:
                return None
            f = self.files[follow] = File(follow, follow.session)
        return f

    def poll(self) -> None:
        """Reads what every file gained since the last poll."""
        w = self.watch
        w.scan()
        for path, follow in list(w.files.items()):
            try:
                if follow.retired and not follow.renewed():
                    continue
                if not follow.ready():  # not there yet, or its header still being written
                    continue
                f = self._file(follow)
                assert f is not None
                self._read(f, follow.poll())
                if follow.ended and not f.finished:
                    f.finished = True
                    self._take(f, f.items.finish())
                if follow.renewed():
                    self.files.pop(follow, None)
                elif f.finished:
                    follow.retire()
            except (OSError, SessionError) as e:
                self.notes.append(str(e).removeprefix("qvcore_session: "))
                follow.close()
                del w.files[path]
                self.files.pop(follow, None)
            self.notes.extend(w.notes + follow.notes)
            w.notes.clear()
            follow.notes.clear()

    def _read(self, f: File, spans: Iterator[Span]) -> None:
        """The frames of f since the last poll. A call or an event of one frame
        (nearly all of them) is counted from here, by function or type and
        second, and told to the listeners once per poll; the frames that open,
        close or lose something go through f's nesting."""
        names, status, items, types = f.names, f.status, f.items, f.types
        calls: Dict[Tuple[int, int], List[int]] = {}  # (function, second) -> [latest end, failures, durations...]
        events: Dict[Tuple[str, int], List[int]] = {}  # (type, second) -> [latest end, count]
        unpack, r_int = _RESULT_INT.unpack_from, R_INT
        last = f.last_ns
        p = 0
        try:
            try:
                for span in spans:
                    mv, p, end, kind, flags, fn, _thread, start, dur = span
                    if kind == CALL:
                        e = start + dur
                        key = (fn, e // 1_000_000_000)
                        a = calls.get(key)
                        if a is None:
                            a = calls[key] = [e, 0]
                        elif e > a[0]:
                            a[0] = e
                        a.append(dur)
                        if status[fn]:
                            q = p + BODY
                            if q + 9 <= end and mv[q] == r_int:
                                if unpack(mv, q)[1]:
                                    a[1] += 1
                            elif int_result(mv, q, end):  # not an int (None), or a short frame (raises)
                                a[1] += 1
                    elif kind == EVENT:
                        e = start + dur
                        msg = event_msg(mv, p + BODY, end, flags)
                        t = types.get(msg)
                        if t is None:
                            t = self._type(f, msg)
                        key2 = (t, e // 1_000_000_000)
                        b = events.get(key2)
                        if b is None:
                            events[key2] = [e, 1]
                        else:
                            b[1] += 1
                            if e > b[0]:
                                b[0] = e
                    else:
                        items.last_ns = f.last_ns = last
                        self._take(f, items.take((span,)))
                        last = f.last_ns
                        continue
                    if e > last:
                        last = e
            except Malformed as why:
                raise f.session.malformed(p, why) from None
        finally:
            f.last_ns = items.last_ns = max(last, f.last_ns)
            for li in self.listeners:
                for (fn, _), a in calls.items():
                    li.calls(f, names[fn], a[2:], a[1], a[0])
                for (t, _), b in events.items():
                    li.events(f, t, b[1], b[0])

    def _take(self, f: File, items: Iterable[Item]) -> None:
        """Items of the nesting reader (calls and events that had frames inside, gaps)."""
        names, status, listeners = f.names, f.status, self.listeners
        last = f.last_ns
        for item in items:
            kind, start, dur = item.kind, item.start, item.duration
            end = start + dur if dur is not None else item.until
            if end > last:
                last = end
            if kind == CALL:
                if dur is None:
                    continue  # its end is not in the file
                fn = item.fn
                failed = bool(item.result) and status[fn]
                for li in listeners:
                    li.calls(f, names[fn], [dur], int(failed), end)
            elif kind == EVENT:
                t = self._type(f, item.msg)
                for li in listeners:
                    li.events(f, t, 1, end)
            elif kind == LOST:
                for li in listeners:
                    li.lost(f, item.lost_frames, end)
        f.last_ns = last

    def last_ns(self) -> int:
        return max((f.last_ns for f in self.files.values()), default=0)

    def writing(self) -> int:
        return sum(1 for f in self.files.values() if f.writing)


class _Second:
    __slots__ = ("at", "calls", "events", "lost")

    def __init__(self, at: int):
        self.at = at
        self.calls: Dict[str, _Latency] = {}
        self.events: Dict[str, int] = {}
        self.lost = 0


class Row:
    """One function's figures over a window."""

    __slots__ = ("name", "calls", "failures", "p50", "p99", "max", "total", "total_failures")

    def __init__(self, name: str):
        self.name = name
        self.calls = self.failures = self.p50 = self.p99 = self.max = 0
        self.total = self.total_failures = 0


class Window:
    """The last ``seconds`` of calls, events and gaps, a slot per second of
    the recording's clock, and totals since the start."""

    def __init__(self, seconds: int = 10):
        self.seconds = seconds
        self.slots: Deque[_Second] = collections.deque()
        self.totals: Dict[str, List[int]] = {}  # function -> [calls, failures]
        self.event_totals: Dict[str, int] = {}
        self.lost_total = 0
        self.first_ns = 0  # the end of the first frame seen

    def _slot(self, end_ns: int) -> Optional[_Second]:
        if not self.first_ns or end_ns < self.first_ns:
            self.first_ns = end_ns
        at = end_ns // 1_000_000_000
        slots = self.slots
        if slots and slots[-1].at == at:
            return slots[-1]
        if slots and at < slots[-1].at:  # another thread's or file's frame, a little behind
            for s in reversed(slots):
                if s.at == at:
                    return s
            if at <= slots[-1].at - self.seconds:
                return None
            s = _Second(at)  # rare: keep the slots in order
            slots.append(s)
            self.slots = collections.deque(sorted(slots, key=lambda x: x.at))
            return s
        s = _Second(at)
        slots.append(s)
        while slots[0].at <= at - self.seconds:
            slots.popleft()
        return s

    def calls(self, f: File, fn: str, durations: List[int], failures: int, end_ns: int) -> None:
        t = self.totals.get(fn)
        if t is None:
            t = self.totals[fn] = [0, 0]
        t[0] += len(durations)
        t[1] += failures
        s = self._slot(end_ns)
        if s is not None:
            lat = s.calls.get(fn)
            if lat is None:
                lat = s.calls[fn] = _Latency()
            for ns in durations:
                lat.add(ns)
            lat.other_failures += failures

    def events(self, f: File, type_: str, count: int, end_ns: int) -> None:
        self.event_totals[type_] = self.event_totals.get(type_, 0) + count
        s = self._slot(end_ns)
        if s is not None:
            s.events[type_] = s.events.get(type_, 0) + count

    def lost(self, f: File, frames: int, end_ns: int) -> None:
        self.lost_total += frames
        s = self._slot(end_ns)
        if s is not None:
            s.lost += frames

    def covered(self, now_ns: int) -> float:
        """The seconds of the window that the recording covers (its start may be later)."""
        if not self.first_ns:
            return float(self.seconds)
        return max(1.0, min(float(self.seconds), (now_ns - self.first_ns) / 1e9))

    def view(self, now_ns: int) -> Tuple[List[Row], Dict[str, Tuple[float, int]], int]:
        """Per function its row, per event type (events per second, total),
        and the frames lost, over the window that ends at now_ns."""
        since = now_ns // 1_000_000_000 - self.seconds
        merged: Dict[str, _Latency] = {}
        events: Dict[str, int] = {}
        lost = 0
        for s in self.slots:
            if s.at <= since:
                continue
            for fn, lat in s.calls.items():
                m = merged.get(fn)
                if m is None:
                    m = merged[fn] = _Latency()
                m.count += lat.count
                m.other_failures += lat.other_failures
                m.max = max(m.max, lat.max)
                for b, n in lat.buckets.items():
                    m.buckets[b] = m.buckets.get(b, 0) + n
            for t, n in s.events.items():
                events[t] = events.get(t, 0) + n
            lost += s.lost
        rows = []
        for fn, (total, failures) in self.totals.items():
            r = Row(fn)
            r.total, r.total_failures = total, failures
            m = merged.get(fn)
            if m is not None and m.count:
                r.calls, r.failures, r.max = m.count, m.other_failures, m.max
                r.p50, r.p99 = m.percentile(50), m.percentile(99)
            rows.append(r)
        covered = self.covered(now_ns)
        rates = {t: (events.get(t, 0) / covered, n) for t, n in self.event_totals.items()}
        return rows, rates, lost
