"""show: the timeline, one line per frame, indented by nesting, streamed.

With filters, an item that passes is printed with all it did inside, and
the calls and events it is inside with it (their opening and closing
lines), so that the context stays readable. A call or event whose
filters need its end (--failed, --slower-than) and that had frames inside
is printed when it ends: its opening line, then its end line.
"""

from __future__ import annotations

import sys
import time
from typing import Callable, Dict, List, Optional, Sequence, TextIO, Tuple

from .filters import Filter
from .nesting import Gaps, Item, Nesting
from .reader import (BODY, CALL, CALL_CLOSE, CALL_OPEN, EVENT, EVENT_CLOSE, EVENT_OPEN, LOST, Session, event_msg,
                     int_result,
                     read_args, read_event, read_lost, read_result_tagged)
from .render import args_text, clock, duration, msg_text, result_text, size

PRINTED, INSIDE, CANDIDATE = 1, 2, 4


def show(path: str, out: Optional[TextIO] = None, flt: Optional[Filter] = None, filters: Sequence[str] = ()) -> None:
    out = out or sys.stdout
    s = Session(path)
    h = s.header
    flt = flt or Filter(h)
    started = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(h.wall_ns // 1_000_000_000))
    out.write(f"# session of pid {h.pid}, started {started} UTC, core {h.core_path or '?'}\n")
    if filters:
        out.write(f"# only {' '.join(filters)}\n")
    offset = h.wall_ns - h.mono_ns
    name = s.name
    lines: List[str] = []
    second, prefix = -1, ""
    seen_args: Dict[bytes, str] = {}
    seen_events: Dict[Tuple[Optional[bytes], bool, int], str] = {}
    nesting = Nesting()
    stack = nesting.stack
    stacks = nesting.stacks
    no_stack: List[Item] = []
    gaps = Gaps()
    filtering = flt.active

    def emit(at: int, thread: int, depth: int, text: str) -> None:
        nonlocal second, prefix
        t = at + offset
        sec = t // 1_000_000_000
        if sec != second:
            second = sec
            prefix = time.strftime("%H:%M:%S", time.gmtime(sec))
        lines.append(f"{prefix}.{t // 1000 % 1_000_000:06d} {thread:>7} {'  ' * depth}{text}\n")
        if len(lines) >= 4096:
            out.write("".join(lines))
            lines.clear()

    def args_of(q: int, end: int) -> str:
        raw = mv[q:end].tobytes()  # sessions repeat their requests: format each once
        text = seen_args.get(raw)
        if text is None:
            text = args_text(read_args(mv, q)[0])
            if len(seen_args) > 8192:
                seen_args.clear()
            seen_args[raw] = text
        return text

    def event_line(p: int, flags: int, tail: str) -> str:
        msg, data_len, payload, _ = read_event(mv, p + BODY, flags, copy=False)
        key = (msg, payload is None, data_len)
        text = seen_events.get(key)
        if text is None:
            if len(seen_events) > 8192:
                seen_events.clear()
            text = seen_events[key] = f"event {msg_text(msg)} {'NULL' if payload is None else data_len} B  "
        return text + tail

    def opening(item: Item) -> str:
        if item.kind == CALL:
            return f"{name(item.fn)}({args_text(read_args(mv, item.open_at + BODY)[0])})  ..."
        return event_line(item.open_at, item.flags, "...")

    def context(items: List[Item]) -> None:
        for item in items:
            if not item.mark & PRINTED:
                item.mark |= PRINTED
                emit(item.start, item.thread, item.depth, opening(item))

    with s.mapped() as mv:
        for _mv, p, end, kind, flags, fn, thread, start, dur in s.walk(mv):
            q = p + BODY
            if kind == CALL or kind == EVENT:
                st = stacks.get(thread) or no_stack
                if filtering and not (st and st[-1].mark & INSIDE):
                    if kind == CALL:
                        ok = flt.call_starts(fn, thread, start) and (
                            not flt.at_end or flt.call_ends(fn, dur, int_result(mv, q)))
                    else:
                        ok = flt.event_starts(event_msg(mv, q, flags), thread, start) and flt.event_ends(dur)
                    if not ok:
                        continue
                    context(st)
                if kind == CALL:
                    tag, result, output, q = read_result_tagged(mv, q)
                    fname = name(fn)
                    res = result_text(fname, tag, result, output)
                    text = f"{fname}({args_of(q, end)})  {res}  {duration(dur)}" if res else \
                        f"{fname}({args_of(q, end)})  {duration(dur)}"
                else:
                    text = event_line(p, flags, duration(dur))
                emit(start, thread, len(st), text)
            elif kind == CALL_OPEN or kind == EVENT_OPEN:
                st = stack(thread)
                item = Item()
                item.kind = CALL if kind == CALL_OPEN else EVENT
                item.fn, item.flags, item.thread, item.start, item.open_at, item.depth = fn, flags, thread, start, p, \
                    len(st)
                item.mark = 0
                if not filtering or (st and st[-1].mark & INSIDE):
                    item.mark = PRINTED | INSIDE
                else:
                    if kind == CALL_OPEN:
                        ok = flt.call_starts(fn, thread, start)
                    else:
                        ok = flt.event_starts(event_msg(mv, q, flags), thread, start)
                    if ok and not flt.at_end:
                        context(st)
                        item.mark = PRINTED | INSIDE
                    elif ok:
                        item.mark = CANDIDATE
                if item.mark & PRINTED:
                    emit(start, thread, item.depth, opening(item))
                st.append(item)
            elif kind == CALL_CLOSE or kind == EVENT_CLOSE:
                closed = nesting.close(thread, kind, start)
                if closed is None:
                    continue
                if not closed.mark & PRINTED:
                    if not closed.mark & CANDIDATE:
                        continue
                    if kind == CALL_CLOSE:
                        ok = flt.call_ends(fn, dur, int_result(mv, q))
                    else:
                        ok = flt.event_ends(dur)
                    if not ok:
                        continue
                    context(stack(thread) + [closed])
                if kind == CALL_CLOSE:
                    fname = name(fn)
                    tag, result, output, _ = read_result_tagged(mv, q)
                    res = result_text(fname, tag, result, output)
                    text = f"end {fname}  {res}  {duration(dur)}" if res else f"end {fname}  {duration(dur)}"
                else:
                    text = f"end event  {duration(dur)}"
                emit(start + dur, thread, closed.depth, text)
            elif kind == LOST:
                frames, lost_bytes, depth = read_lost(mv, q)
                gaps.add(thread, frames, lost_bytes, s.frame_count - 1, p, start)
                st = stack(thread)
                if flt.thread_and_time(thread, start):
                    context(st)
                    emit(start, thread, len(st), f"lost {frames} frames ({size(lost_bytes)}) over {duration(dur)}: "
                                                 "the recorder's buffer was full")
                nesting.trim(thread, depth)
            else:
                emit(start, thread, len(stack(thread)), f"frame of unknown kind {kind} ({end - p} bytes)")
    out.write("".join(lines))
    report_gaps(s, gaps, lambda line: print(line, file=sys.stderr))
    report_torn(s)


def report_gaps(s: Session, gaps: Gaps, say: Callable[[str], None]) -> None:
    """One line per thread that lost frames: how many, and where the first gap was."""
    off = s.header.wall_ns - s.header.mono_ns
    for thread, (count, frames, lost_bytes, index, offset, start) in sorted(gaps.threads.items()):
        say(f"qvcore_session: {s.path}: thread {thread} lost {frames} frames ({size(lost_bytes)}) in {count} "
            f"gap{'s' if count != 1 else ''}, the first at frame {index} (byte {offset}, {clock(start + off)})")


def report_torn(s: Session) -> None:
    if s.torn is not None:
        print(f"qvcore_session: {s.path}: stopped at byte {s.torn[0]} after {s.frame_count} frames: "
              f"{s.torn[1]} (a torn last frame)", file=sys.stderr)
