"""stats: per core function its calls, failures by status and latency (p50,
p99, max); per event type its count and rate; per thread the frames it
lost. Streamed: the latencies go into histograms, never into lists, and
the tables of event types and failure statuses keep limits.MAX_KEYS keys
(beyond them, new ones are counted together as "other")."""

from __future__ import annotations

import itertools
import signal
import sys
from typing import Dict, Iterable, Optional, Sequence, TextIO

from .filters import Filter
from .limits import KeyBudget
from .follow import Follow
from .nesting import Gaps, Item, Items
from .reader import CALL, EVENT, LOST, NOT_STATUS, Session
from .render import clock, duration, msg_text, session_line, size
from .show import report_torn


class _Latency:
    """Count, failures and a log-scale histogram (buckets 1/64 wide, so a
    percentile is exact to within 1.6%) of one function's durations. A
    percentile is the nearest rank's (the ceil(n * q / 100)-th smallest
    duration), rounded up to its bucket's upper bound, never above the
    maximum; values under 128 ns are exact."""

    __slots__ = ("count", "failures", "other_failures", "buckets", "max")

    def __init__(self) -> None:
        self.count = 0
        self.failures: Dict[int, int] = {}
        self.other_failures = 0  # of statuses beyond what the tables keep
        self.buckets: Dict[int, int] = {}
        self.max = 0

    def add(self, ns: int) -> None:
        self.count += 1
        if ns > self.max:
            self.max = ns
        if ns < 128:
            b = ns if ns > 0 else 0
        else:
            e = ns.bit_length() - 7
            b = (e << 6) + (ns >> e)
        bk = self.buckets
        bk[b] = bk.get(b, 0) + 1

    def percentile(self, q: float) -> int:
        rank = max(1, -(-self.count * q // 100))
        seen = 0
        for b in sorted(self.buckets):
            seen += self.buckets[b]
            if seen >= rank:
                if b < 128:
                    return b
                e = (b >> 6) - 1
                return min(self.max, (((b & 63) + 65) << e) - 1)
        return self.max


class Tally:
    """What a pass over a file (with its filters) counted."""

    def __init__(self) -> None:
        self.calls: Dict[int, _Latency] = {}
        self.unfinished = 0  # calls and events whose end is not in the file
        self.events: Dict[Optional[bytes], int] = {}
        self.other_events = 0  # of types beyond what the table keeps
        self.first_event: Optional[int] = None
        self.last_event = 0
        self.first = 0
        self.last = 0
        self.gaps = Gaps()

    def call_count(self) -> int:
        return sum(lat.count for lat in self.calls.values())

    def failure_count(self) -> int:
        return sum(sum(lat.failures.values()) + lat.other_failures for lat in self.calls.values())

    def event_count(self) -> int:
        return sum(self.events.values()) + self.other_events


def tally(s: Session, flt: Optional[Filter] = None, items: Optional[Iterable[Item]] = None) -> Tally:
    """items: those of a followed file (else the file's, read once)."""
    flt = flt or Filter(s.header)
    t = Tally()
    status_fns = {i for i, n in enumerate(s.header.functions) if n not in NOT_STATUS}
    calls, events = t.calls, t.events
    active = flt.active
    first = 1 << 63
    last = 0
    first_event = 1 << 63
    last_event = 0
    statuses, types = KeyBudget(), KeyBudget()
    for item in Items(s) if items is None else items:
        kind, start, dur = item.kind, item.start, item.duration
        if start < first:
            first = start
        end = start + dur if dur is not None else item.until
        if end > last:
            last = end
        if kind == CALL:
            fn = item.fn
            if active and not (flt.call_starts(fn, item.thread, start) and flt.call_ends(fn, dur, item.result)):
                continue
            if dur is None:
                t.unfinished += 1
                continue
            lat = calls.get(fn)
            if lat is None:
                lat = calls[fn] = _Latency()
            lat.add(dur)
            status = item.result
            if status and fn in status_fns:
                failures = lat.failures
                n = failures.get(status)
                if n is not None:
                    failures[status] = n + 1
                elif statuses.take(8):
                    failures[status] = 1
                else:
                    lat.other_failures += 1
        elif kind == EVENT:
            msg = item.msg
            if active and not (flt.event_starts(msg, item.thread, start) and flt.event_ends(dur)):
                continue
            if dur is None:
                t.unfinished += 1
            n = events.get(msg)
            if n is not None:
                events[msg] = n + 1
            elif types.take(len(msg) if msg is not None else 0):
                events[msg] = 1
            else:
                t.other_events += 1
            if start < first_event:
                first_event = start
            if start > last_event:
                last_event = start
        elif kind == LOST and flt.thread_and_time(item.thread, start):
            t.gaps.add(item.thread, item.lost_frames, item.lost_bytes, item.seq, item.open_at, start)
    if events:
        t.first_event, t.last_event = first_event, last_event
    if last:
        t.first = first
    t.last = last
    return t


def stats(path: str, out: Optional[TextIO] = None, flt: Optional[Filter] = None, filters: Sequence[str] = (),
          follow: Optional[Follow] = None) -> None:
    """follow: the file is read as its writer grows it; the figures are
    printed at the writer's end, or at Ctrl-C for what was read by then."""
    out = out or sys.stdout
    s = Session(path) if follow is None else follow.started()
    names = s.name
    out.write(session_line(s.header, s.first_start()))
    interrupted = False
    if follow is None:
        t = tally(s, flt)
    else:
        def stop(_sig: int, _frame: object) -> None:
            nonlocal interrupted
            interrupted = True

        previous = signal.signal(signal.SIGINT, stop)
        try:
            it = Items(s)
            t = tally(s, flt, itertools.chain(it.take(follow.spans(stop=lambda: interrupted)), it.finish()))
        finally:
            signal.signal(signal.SIGINT, previous)
    if filters:
        out.write(f"# only {' '.join(filters)}\n")
    if interrupted:
        out.write("# followed until interrupted\n")
    calls = t.calls
    out.write(f"{'core function':<44} {'calls':>9} {'p50':>10} {'p99':>10} {'max':>10}  failures\n")
    for fn in sorted(calls, key=lambda k: (-calls[k].count, names(k))):
        lat = calls[fn]
        counts = [f"{n} x status {st}" for st, n in sorted(lat.failures.items(), key=lambda i: -i[1])]
        if lat.other_failures:
            counts.append(f"{lat.other_failures} x other statuses")
        fails = ", ".join(counts)
        out.write(f"{names(fn):<44} {lat.count:>9} {duration(lat.percentile(50)):>10} "
                  f"{duration(lat.percentile(99)):>10} {duration(lat.max):>10}  {fails or '-'}\n")
    first = t.first_event
    span = (t.last_event - first) / 1e9 if first is not None and t.last_event > first else 0.0
    out.write(f"\n{'event type':<44} {'events':>9} {'per second':>12}\n")
    events = t.events
    for msg in sorted(events, key=lambda k: (-events[k], k is not None, k or b"")):
        rate = f"{events[msg] / span:.1f}" if span > 0 else "-"
        out.write(f"{msg_text(msg):<44} {events[msg]:>9} {rate:>12}\n")
    if t.other_events:
        rate = f"{t.other_events / span:.1f}" if span > 0 else "-"
        out.write(f"{'(other types)':<44} {t.other_events:>9} {rate:>12}\n")
    if t.unfinished:
        out.write(f"\n{t.unfinished} calls or events have no end in the file (left out of the latencies)\n")
    if t.gaps.threads:
        off = s.header.wall_ns - s.header.mono_ns
        out.write(f"\n{'lost frames (a full buffer)':<28} {'gaps':>6} {'frames':>9} {'bytes':>10}  first gap\n")
        for who, (count, frames, lost, index, offset, start) in t.gaps.rows():
            out.write(f"{who:<28} {count:>6} {frames:>9} {size(lost):>10}  "
                      f"{clock(start + off)}, frame {index} (byte {offset})\n")
    report_torn(s)
