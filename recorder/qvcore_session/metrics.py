"""metrics: a Prometheus exporter of followed session files, built with
prometheus_client. The names, labels and buckets below are documented in
docs/live.md and stay as they are: dashboards and alerts are written
against them. Labels take function names and event types only (never what
a request holds), and a pid for the process whose file it is."""

from __future__ import annotations

from bisect import bisect_left
import sys
import threading
import time
from typing import Dict, Iterator, List, Optional, Tuple

from .follow import POLL
from .live import Feed, File

# Buckets of qvcore_call_duration_seconds: the R5 preferred numbers (1, 1.6,
# 2.5, 4, 6.3) in each decade from 1 us to 10 s. Neighbours differ by 1.6x at
# most, so a quantile that histogram_quantile() interpolates lies in the bucket
# of the exact one.
BUCKETS: List[float] = [float(f"{m}e{d}") for d in range(-6, 1) for m in ("1", "1.6", "2.5", "4", "6.3")] + [10.0]
_BOUNDS_NS = [round(b * 1e9) for b in BUCKETS]

DEFAULT_LISTEN = "127.0.0.1:9464"


class _Fn:
    __slots__ = ("ok", "failed", "buckets", "sum_ns")

    def __init__(self) -> None:
        self.ok = self.failed = 0
        self.buckets = [0] * (len(BUCKETS) + 1)  # the last is +Inf's own
        self.sum_ns = 0


class _Process:
    """The figures of a pid: of each file it wrote (one that execs writes a second)."""

    __slots__ = ("pid", "functions", "events", "lost", "files")

    def __init__(self, pid: str):
        self.pid = pid
        self.functions: Dict[str, _Fn] = {}
        self.events: Dict[str, int] = {}
        self.lost = 0
        self.files: List[File] = []


class Totals:
    """What the feed told, per file followed (a process's), since the
    exporter started; read by the scrape under the lock the feed's poll holds."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.processes: Dict[str, _Process] = {}  # by pid
        self.of_file: Dict[File, _Process] = {}
        self.feed: Optional[Feed] = None  # its files are shown from the start, calls or none

    def _of(self, f: File) -> _Process:
        p = self.of_file.get(f)
        if p is None:
            pid = str(f.pid)
            p = self.processes.get(pid)
            if p is None:
                p = self.processes[pid] = _Process(pid)
            p.files.append(f)
            self.of_file[f] = p
        return p

    def calls(self, f: File, fn: str, durations: List[int], failures: int, end_ns: int) -> None:
        p = self.of_file.get(f) or self._of(f)
        c = p.functions.get(fn)
        if c is None:
            c = p.functions[fn] = _Fn()
        c.failed += failures
        c.ok += len(durations) - failures
        buckets, bounds = c.buckets, _BOUNDS_NS
        for ns in durations:
            buckets[bisect_left(bounds, ns)] += 1
        c.sum_ns += sum(durations)

    def events(self, f: File, type_: str, count: int, end_ns: int) -> None:
        events = (self.of_file.get(f) or self._of(f)).events
        events[type_] = events.get(type_, 0) + count

    def lost(self, f: File, frames: int, end_ns: int) -> None:
        self._of(f).lost += frames

    def collect(self) -> Iterator[object]:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily
        from prometheus_client.utils import floatToGoString

        calls = CounterMetricFamily("qvcore_calls", "Calls of core functions, by how they ended",
                                    labels=["pid", "function", "outcome"])
        durations = HistogramMetricFamily("qvcore_call_duration_seconds", "How long core function calls took",
                                          labels=["pid", "function"])
        events = CounterMetricFamily("qvcore_events", "Events delivered by the core, by type",
                                     labels=["pid", "type"])
        lost = CounterMetricFamily("qvcore_lost_frames", "Frames the recorder could not keep (a full buffer)",
                                   labels=["pid"])
        last = GaugeMetricFamily("qvcore_last_frame_timestamp_seconds",
                                 "When the last call or event recorded ended (Unix time)", labels=["pid"])
        up = GaugeMetricFamily("qvcore_recording_up", "1 while the process's recording is being written, else 0",
                               labels=["pid"])
        with self.lock:
            for f in self.feed.files.values() if self.feed is not None else ():
                self._of(f)
            for p in self.processes.values():
                for fn, c in sorted(p.functions.items()):
                    calls.add_metric([p.pid, fn, "ok"], c.ok)
                    calls.add_metric([p.pid, fn, "failed"], c.failed)
                    seen, cumulative = 0, []
                    for bound, n in zip(BUCKETS, c.buckets):
                        seen += n
                        cumulative.append((floatToGoString(bound), seen))
                    cumulative.append(("+Inf", seen + c.buckets[-1]))
                    durations.add_metric([p.pid, fn], cumulative, c.sum_ns / 1e9)
                for t, n in sorted(p.events.items()):
                    events.add_metric([p.pid, t], n)
                lost.add_metric([p.pid], p.lost)
                ends = [f.last_ns + f.clock_offset for f in p.files if f.last_ns]
                if ends:
                    last.add_metric([p.pid], max(ends) / 1e9)
                up.add_metric([p.pid], 1 if any(f.writing for f in p.files) else 0)
        yield from (calls, durations, events, lost, last, up)

    def describe(self) -> List[object]:
        return []  # unchecked: the families are made at each scrape


def listen_address(text: str) -> Tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT or :PORT (every address)."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise ValueError(f"--listen takes HOST:PORT, not {text!r}")
    host = host.strip("[]") or "0.0.0.0"
    return host, int(port)


def metrics(name: str, listen: str = DEFAULT_LISTEN, out=None) -> int:
    from prometheus_client import start_http_server
    from prometheus_client.core import CollectorRegistry

    out = out or sys.stderr
    host, port = listen_address(listen)
    totals = Totals()
    registry = CollectorRegistry(auto_describe=False)
    registry.register(totals)  # type: ignore[arg-type]
    feed = totals.feed = Feed(name, [totals])
    server = start_http_server(port, addr=host, registry=registry)
    # Port 0 takes a free port: say which.
    address = server[0].server_address if isinstance(server, tuple) else (host, port)
    where = f"[{address[0]!s}]" if ":" in str(address[0]) else str(address[0])
    print(f"qvcore_session: metrics of {name} on http://{where}:{address[1]}/metrics", file=out, flush=True)
    said = 0
    try:
        while True:
            with totals.lock:
                feed.poll()
            for note in feed.notes[said:]:
                print(f"qvcore_session: {note}", file=out, flush=True)
            said = len(feed.notes)
            time.sleep(POLL)
    except KeyboardInterrupt:
        return 0
