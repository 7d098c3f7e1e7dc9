"""show: the timeline, one line per frame, indented by nesting, streamed.

With filters, an item that passes is printed with all it did inside, and
the calls and events it is inside with it (their opening and closing
lines), so that the context stays readable. A call or event whose
filters need its end (--failed, --slower-than) and that had frames inside
is printed when it ends: its opening line, then its end line.
"""

from __future__ import annotations

import contextlib
import sys
import time
from typing import Callable, List, Optional, Sequence, TextIO, Tuple

from .filters import Filter
from .follow import Follow
from .limits import OUT_CHARS, Memo
from .nesting import Gaps, Item, Nesting
from .reader import (BODY, CALL, CALL_CLOSE, CALL_OPEN, EVENT, EVENT_CLOSE, EVENT_OPEN, LOST, Malformed, Session,
                     event_msg, int_result, read_args, read_event, read_lost, read_result_tagged)
from .render import args_text, clock, duration, msg_text, result_text, session_line, size

PRINTED, INSIDE, CANDIDATE = 1, 2, 4
_NO_STACK: List[Item] = []


def show(path: str, out: Optional[TextIO] = None, flt: Optional[Filter] = None, filters: Sequence[str] = (),
         follow: Optional[Follow] = None) -> None:
    """follow: the file is read as its writer grows it, to the writer's end."""
    out = out or sys.stdout
    s = Session(path) if follow is None else follow.started()
    h = s.header
    flt = flt or Filter(h)
    out.write(session_line(h, s.first_start()))
    if filters:
        out.write(f"# only {' '.join(filters)}\n")
    offset = h.wall_ns - h.mono_ns
    name = s.name
    lines: List[str] = []
    pending = 0  # characters in lines
    second, prefix = -1, ""
    seen_args: Memo[bytes, str] = Memo()
    seen_events: Memo[Tuple[Optional[bytes], bool, int], str] = Memo()
    nesting = Nesting()
    stacks = nesting.stacks
    gaps = Gaps()
    filtering = flt.active

    def emit(at: int, thread: int, depth: int, text: str) -> None:
        nonlocal second, prefix, pending
        t = at + offset
        sec = t // 1_000_000_000
        if sec != second:
            second = sec
            prefix = time.strftime("%H:%M:%S", time.gmtime(sec))
        line = f"{prefix}.{t // 1000 % 1_000_000:06d} {thread:>7} {'  ' * depth}{text}\n"
        lines.append(line)
        pending += len(line)
        if pending >= OUT_CHARS:
            out.write("".join(lines))
            lines.clear()
            pending = 0

    def args_of(q: int, end: int) -> str:
        raw = mv[q:end].tobytes()  # sessions repeat their requests: format each once
        text = seen_args.get(raw)
        return text if text is not None else seen_args.put(raw, args_text(read_args(mv, q, end)[0]), len(raw))

    def event_line(p: int, end: int, flags: int, tail: str) -> str:
        msg, data_len, payload, _ = read_event(mv, p + BODY, end, flags, copy=False)
        key = (msg, payload is None, data_len)
        text = seen_events.get(key)
        if text is None:
            text = seen_events.put(key, f"event {msg_text(msg)} {'NULL' if payload is None else data_len} B  ",
                                   len(msg or b""))
        return text + tail

    def opening(item: Item) -> str:
        at = item.open_at
        try:
            if item.kind == CALL:
                return f"{name(item.fn)}({args_text(read_args(mv, at + BODY, item.open_end)[0])})  ..."
            return event_line(at, item.open_end, item.flags, "...")
        except Malformed as e:  # an OPEN frame is decoded only when it is printed, maybe much later
            raise s.malformed(at, e, item.seq) from None

    def context(items: List[Item]) -> None:
        """Prints the opening lines of the items not printed yet. Those printed
        are the first of a stack (what encloses a printed item is printed), so
        only the last few are looked at: O(1) a frame, amortised."""
        i = len(items)
        while i and not items[i - 1].mark & PRINTED:
            i -= 1
        for item in items[i:]:
            item.mark |= PRINTED
            emit(item.start, item.thread, item.depth, opening(item))

    def idle() -> None:  # a follower waits for more: what is read so far is shown now
        nonlocal pending
        out.write("".join(lines))
        out.flush()
        lines.clear()
        pending = 0

    p = 0
    with contextlib.ExitStack() as mapped:
        if follow is None:
            mv = mapped.enter_context(s.mapped())
            spans = s.walk(mv)
        else:
            mv, spans = memoryview(b""), follow.spans(idle)
        try:
            for mv, p, end, kind, flags, fn, thread, start, dur in spans:
                q = p + BODY
                if kind == CALL or kind == EVENT:
                    st = stacks.get(thread) or _NO_STACK
                    if filtering and not (st and st[-1].mark & INSIDE):
                        if kind == CALL:
                            ok = flt.call_starts(fn, thread, start) and (
                                not flt.at_end or flt.call_ends(fn, dur, int_result(mv, q, end)))
                        else:
                            ok = flt.event_starts(event_msg(mv, q, end, flags), thread, start) and flt.event_ends(dur)
                        if not ok:
                            continue
                        context(st)
                    if kind == CALL:
                        tag, result, output, q = read_result_tagged(mv, q, end)
                        fname = name(fn)
                        res = result_text(fname, tag, result, output)
                        text = f"{fname}({args_of(q, end)})  {res}  {duration(dur)}" if res else \
                            f"{fname}({args_of(q, end)})  {duration(dur)}"
                    else:
                        text = event_line(p, end, flags, duration(dur))
                    emit(start, thread, len(st), text)
                elif kind == CALL_OPEN or kind == EVENT_OPEN:
                    st = stacks.get(thread) or _NO_STACK
                    item = Item()
                    item.kind = CALL if kind == CALL_OPEN else EVENT
                    item.seq = s.frame_count - 1
                    item.fn, item.flags, item.thread, item.start, item.open_at, item.open_end = fn, flags, thread, \
                        start, p, end
                    item.mark = 0
                    if not filtering or (st and st[-1].mark & INSIDE):
                        item.mark = PRINTED | INSIDE
                    else:
                        if kind == CALL_OPEN:
                            ok = flt.call_starts(fn, thread, start)
                        else:
                            ok = flt.event_starts(event_msg(mv, q, end, flags), thread, start)
                        if ok and not flt.at_end:
                            context(st)
                            item.mark = PRINTED | INSIDE
                        elif ok:
                            item.mark = CANDIDATE
                    why = nesting.push(item)
                    if why is not None:
                        s.stop(p, item.seq, why)
                        break
                    if item.mark & PRINTED:
                        emit(start, thread, item.depth, opening(item))
                elif kind == CALL_CLOSE or kind == EVENT_CLOSE:
                    closed = nesting.close(thread, kind, start)
                    if closed is None:
                        continue
                    nesting.abandoned.clear()  # their ends are not in the file: they have no end line
                    if not closed.mark & PRINTED:
                        if not closed.mark & CANDIDATE:
                            continue
                        if kind == CALL_CLOSE:
                            ok = flt.call_ends(fn, dur, int_result(mv, q, end))
                        else:
                            ok = flt.event_ends(dur)
                        if not ok:
                            continue
                        context(stacks.get(thread) or _NO_STACK)
                        context([closed])
                    if kind == CALL_CLOSE:
                        fname = name(fn)
                        tag, result, output, _ = read_result_tagged(mv, q, end)
                        res = result_text(fname, tag, result, output)
                        text = f"end {fname}  {res}  {duration(dur)}" if res else f"end {fname}  {duration(dur)}"
                    else:
                        text = f"end event  {duration(dur)}"
                    emit(start + dur, thread, closed.depth, text)
                elif kind == LOST:
                    frames, lost_bytes, depth = read_lost(mv, q, end)
                    gaps.add(thread, frames, lost_bytes, s.frame_count - 1, p, start)
                    st = stacks.get(thread) or _NO_STACK
                    if flt.thread_and_time(thread, start):
                        context(st)
                        emit(start, thread, len(st), f"lost {frames} frames ({size(lost_bytes)}) over "
                                                     f"{duration(dur)}: the recorder's buffer was full")
                    nesting.trim(thread, depth)
                else:
                    emit(start, thread, len(stacks.get(thread) or _NO_STACK),
                         f"frame of unknown kind {kind} ({end - p} bytes)")
        except Malformed as e:
            raise s.malformed(p, e, s.frame_count - 1) from None
        finally:
            out.write("".join(lines))  # what was read before a malformed frame, too
    report_gaps(s, gaps, lambda line: print(line, file=sys.stderr))
    report_torn(s)


def report_gaps(s: Session, gaps: Gaps, say: Callable[[str], None]) -> None:
    """One line per thread that lost frames: how many, and where the first gap was."""
    off = s.header.wall_ns - s.header.mono_ns
    for who, (count, frames, lost_bytes, index, offset, start) in gaps.rows():
        say(f"qvcore_session: {s.path}: {who} lost {frames} frames ({size(lost_bytes)}) in {count} "
            f"gap{'s' if count != 1 else ''}, the first at frame {index} (byte {offset}, {clock(start + off)})")


def report_torn(s: Session) -> None:
    if s.torn is not None:
        what = "" if s.over_limit else " (a torn last frame)"
        print(f"qvcore_session: {s.path}: stopped at byte {s.torn[0]} after {s.frame_count} frames: "
              f"{s.torn[1]}{what}", file=sys.stderr)
