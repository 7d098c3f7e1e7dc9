"""top: a live view of what the recorded crossing does, refreshed every
second: per core function calls per second, failures, p50, p99 and max over
a sliding window; per event type events per second; frames lost; the time
since the last frame. Keys as in top: < and > move the sort column, a
column's key sorts by it, R reverses, q quits. --once prints one view as
text and exits."""

from __future__ import annotations

import contextlib
import os
import select
import sys
import time
from typing import Any, Iterator, List, Optional, TextIO

from .live import Feed, Window
from .render import duration

# (key, heading): the columns one can sort by, in their order on the screen.
COLUMNS = [("n", "core function"), ("c", "calls/s"), ("f", "failures"), ("5", "p50"), ("9", "p99"),
           ("m", "max"), ("t", "calls"), ("x", "failed")]
KEYS = {k: i for i, (k, _) in enumerate(COLUMNS)}
_SORT = [lambda r: r.name, lambda r: r.calls, lambda r: r.failures, lambda r: r.p50, lambda r: r.p99,
         lambda r: r.max, lambda r: r.total, lambda r: r.total_failures]


def _ago(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s ago"
    if seconds < 3600:
        return f"{seconds / 60:.0f} min ago"
    return f"{seconds / 3600:.1f} h ago"


class View:
    def __init__(self, name: str, window: int, sort: str = "c", reverse: bool = False):
        self.name = name
        self.window = Window(window)
        self.feed = Feed(name, [self.window])
        self.sort = KEYS[sort]
        self.reverse = reverse

    def key(self, ch: str) -> bool:
        """Takes a key; False for quit."""
        if ch in ("q", "Q", "\x03"):
            return False
        if ch in KEYS:
            self.sort = KEYS[ch]
        elif ch == "<":
            self.sort = max(0, self.sort - 1)
        elif ch == ">":
            self.sort = min(len(COLUMNS) - 1, self.sort + 1)
        elif ch in ("R", "r"):
            self.reverse = not self.reverse
        return True

    def render(self, now_mono: Optional[int] = None):  # -> rich renderable
        from rich.console import Group
        from rich.table import Table
        from rich.text import Text

        feed, w = self.feed, self.window
        writing = feed.writing()
        last = feed.last_ns()
        if now_mono is None:
            # A recording that has ended is shown as its last window was.
            now_mono = time.monotonic_ns() if writing or not last else last
        rows, events, lost = w.view(now_mono)
        covered = w.covered(now_mono)
        files = len(feed.files)
        since = _ago((time.monotonic_ns() - last) / 1e9) if last else "none yet"
        state = f"{files} file{'s' if files != 1 else ''}, {writing} being written" if files else \
            f"waiting for {self.name}"
        head = Text.assemble(("qvcore-session top ", "bold"), f"{self.name}   {state}   last frame {since}   ",
                             ("lost frames ", "bold"), f"{w.lost_total} ({lost} in the window)   ",
                             f"window {w.seconds} s")
        order = "descending" if (self.sort != 0) != self.reverse else "ascending"
        keys = Text(f"sorted by {COLUMNS[self.sort][1]} ({order}); keys: < > move, "
                    f"{' '.join(k for k, _ in COLUMNS)} pick, R reverses, q quits", style="dim")
        calls = Table(box=None, pad_edge=False, header_style="bold reverse", expand=False)
        for i, (_, heading) in enumerate(COLUMNS):
            label = heading + (" *" if i == self.sort else "")
            calls.add_column(label, justify="left" if i == 0 else "right", no_wrap=True)
        rows.sort(key=_SORT[self.sort], reverse=(self.sort != 0) != self.reverse)
        for r in rows:
            calls.add_row(r.name, f"{r.calls / covered:.1f}", str(r.failures),
                          duration(r.p50) if r.calls else "-", duration(r.p99) if r.calls else "-",
                          duration(r.max) if r.calls else "-", str(r.total), str(r.total_failures),
                          style="red" if r.failures else None)
        ev = Table(box=None, pad_edge=False, header_style="bold reverse")
        ev.add_column("event type", no_wrap=True)
        ev.add_column("events/s", justify="right")
        ev.add_column("events", justify="right")
        for t, (rate, total) in sorted(events.items(), key=lambda kv: (-kv[1][0], -kv[1][1], kv[0])):
            ev.add_row(t, f"{rate:.1f}", str(total))
        parts: List[Any] = [head, keys, Text(""), calls, Text("")]
        if events:
            parts.append(ev)
        for note in feed.notes[-3:]:
            parts.append(Text(note, style="yellow"))
        return Group(*parts)


@contextlib.contextmanager
def _keys(stream: TextIO) -> Iterator[Optional[int]]:
    """The terminal in cbreak mode (each key at once, no echo), or None without a terminal."""
    if not stream.isatty():
        yield None
        return
    import termios
    import tty

    fd = stream.fileno()
    saved = termios.tcgetattr(fd)
    try:
        tty.setcbreak(fd)
        yield fd
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def _console(out: TextIO):
    from rich.console import Console

    if out.isatty():
        return Console(file=out)
    # Text for a script or a file: no colours, and wide enough for long function names.
    return Console(file=out, width=int(os.environ.get("COLUMNS", "132")), no_color=True, highlight=False,
                   force_terminal=False)


def top(name: str, once: bool = False, window: int = 10, sort: str = "c", interval: float = 1.0,
        out: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    view = View(name, window, sort)
    console = _console(out)
    view.feed.poll()
    view.feed.poll()  # a file that did not grow since the first is asked whether its writer has ended
    if once:
        console.print(view.render())
        return 0
    from rich.live import Live

    try:
        with _keys(sys.stdin) as keys, Live(view.render(), console=console, screen=out.isatty(),
                                            auto_refresh=False, transient=False) as live:
            next_draw = time.monotonic() + interval
            while True:
                wait = min(0.1, max(0.0, next_draw - time.monotonic()))
                if keys is not None and select.select([keys], [], [], wait)[0]:
                    if not view.key(os.read(keys, 1).decode(errors="replace")):
                        return 0
                    live.update(view.render(), refresh=True)
                elif keys is None:
                    time.sleep(wait)
                view.feed.poll()
                if time.monotonic() >= next_draw:
                    live.update(view.render(), refresh=True)
                    next_draw += interval
    except KeyboardInterrupt:  # the way out when there is no keyboard to read (q otherwise)
        return 0
