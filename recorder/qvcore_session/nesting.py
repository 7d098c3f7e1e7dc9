"""What was inside what: a nesting stack per thread, and the calls and events
of a file as items, each given when it ends.

Frames of different threads interleave in a file, so each thread keeps its
own stack of open items. A LOST frame trims its thread's stack to the depth
it names (a dropped CLOSE frame ended its item); a CLOSE frame that matches
no open item of its thread (its OPEN frame was dropped) is passed over.
"""

from __future__ import annotations

from typing import Dict, Iterator, List, Optional

from .reader import (BODY, CALL, CALL_CLOSE, CALL_OPEN, EVENT, EVENT_CLOSE, EVENT_OPEN, LOST, Session, event_msg,
                     int_result, read_lost)


class Item:
    """A call, an event or a gap of lost frames.

    ``seq`` is the number of the frame that starts it (its OPEN frame, or
    its only frame), ``parent`` the ``seq`` of the item it is inside on the
    same thread (None at the top) and ``depth`` how deep it is. ``kind`` is
    ``CALL``, ``EVENT`` or ``LOST``; ``fn`` the function's index (calls),
    ``msg`` the message type (events; None for a null one). ``duration`` is
    None when the item's end is not in the file: then ``until`` is the
    latest it can have ended (the end of the gap that lost its CLOSE frame,
    or the last time in the file). ``open_at`` and ``close_at`` are the
    offsets of the frames holding its arguments and its result (the same
    frame for a complete one; ``close_at`` -1 without an end). ``result``
    is a call's int result (None for other results). A LOST item has
    ``lost_frames`` and ``lost_bytes``."""

    __slots__ = ("seq", "parent", "depth", "kind", "fn", "msg", "flags", "thread", "start", "duration", "until",
                 "open_at", "close_at", "result", "lost_frames", "lost_bytes", "mark")

    seq: int
    parent: Optional[int]
    depth: int
    kind: int
    fn: int
    msg: Optional[bytes]
    flags: int
    thread: int
    start: int
    duration: Optional[int]
    until: int
    open_at: int
    close_at: int
    result: Optional[int]
    lost_frames: int
    lost_bytes: int
    mark: int  # for a command's own use


class Nesting:
    """The open items of each thread."""

    def __init__(self) -> None:
        self.stacks: Dict[int, List[Item]] = {}

    def stack(self, thread: int) -> List[Item]:
        s = self.stacks.get(thread)
        if s is None:
            s = self.stacks[thread] = []
        return s

    def close(self, thread: int, kind: int, start: int) -> Optional[Item]:
        """The item a CLOSE frame ends, taken off the stack (with any left
        open inside it), or None when none matches."""
        s = self.stacks.get(thread)
        if not s:
            return None
        want = CALL if kind == CALL_CLOSE else EVENT
        top = s[-1]
        if top.kind == want and top.start == start:
            return s.pop()
        for i in range(len(s) - 2, -1, -1):
            if s[i].kind == want and s[i].start == start:
                item = s[i]
                del s[i:]
                return item
        return None

    def trim(self, thread: int, depth: int) -> List[Item]:
        """Trims a thread's stack to depth: the items taken off, innermost first."""
        s = self.stacks.get(thread)
        if not s or len(s) <= depth:
            return []
        gone = s[depth:]
        del s[depth:]
        gone.reverse()
        return gone

    def open_items(self) -> List[Item]:
        """Every item still open, innermost first per thread."""
        return [item for s in self.stacks.values() for item in reversed(s)]


class Items:
    """The calls, events and gaps of a session, each as it ends.

    Iterating yields ``Item`` objects in the order they end (an item inside
    another comes before it); items whose end is not in the file come when
    the gap that lost it is reached, or at the end. While iterating,
    ``view`` is the file's memory, for decoding an item's frames; after it,
    ``last_ns`` is the latest time in the file."""

    def __init__(self, session: Session):
        self.session = session
        self.view: memoryview = memoryview(b"")
        self.last_ns = 0
        self.nesting = Nesting()

    def __iter__(self) -> Iterator[Item]:
        with self.session.mapped() as mv:
            self.view = mv
            yield from self._items(mv)
            self.view = memoryview(b"")

    def _items(self, mv: memoryview) -> Iterator[Item]:
        nesting = self.nesting
        stacks = nesting.stacks
        last = 0
        index = -1
        for _mv, p, _end, kind, flags, fn, thread, start, duration in self.session.walk(mv):
            index += 1
            if kind == CALL or kind == EVENT:
                item = Item()
                s = stacks.get(thread)
                if s:
                    item.depth, item.parent = len(s), s[-1].seq
                else:
                    item.depth, item.parent = 0, None
                item.seq, item.thread, item.start, item.flags, item.open_at, item.close_at = index, thread, start, \
                    flags, p, p
                item.duration = duration
                if kind == CALL:
                    item.kind, item.fn, item.msg, item.result = CALL, fn, None, int_result(mv, p + BODY)
                else:
                    item.kind, item.fn, item.msg, item.result = EVENT, 0, event_msg(mv, p + BODY, flags), None
                end = start + duration
                if end > last:
                    last = end
                yield item
            elif kind == CALL_OPEN or kind == EVENT_OPEN:
                s = nesting.stack(thread)
                item = Item()
                item.seq, item.depth, item.thread, item.start, item.flags = index, len(s), thread, start, flags
                item.parent = s[-1].seq if s else None
                item.open_at = p
                if kind == CALL_OPEN:
                    item.kind, item.fn, item.msg = CALL, fn, None
                else:
                    item.kind, item.fn, item.msg = EVENT, 0, event_msg(mv, p + BODY, flags)
                s.append(item)
            elif kind == CALL_CLOSE or kind == EVENT_CLOSE:
                item_ = nesting.close(thread, kind, start)
                if item_ is None:
                    continue
                item_.close_at, item_.duration = p, duration
                item_.result = int_result(mv, p + BODY) if kind == CALL_CLOSE else None
                end = start + duration
                if end > last:
                    last = end
                yield item_
            elif kind == LOST:
                frames, size, depth = read_lost(mv, p + BODY)
                end = start + duration
                if end > last:
                    last = end
                for gone in nesting.trim(thread, depth):
                    gone.duration, gone.until, gone.close_at, gone.result = None, end, -1, None
                    yield gone
                s = nesting.stack(thread)
                item = Item()
                item.seq, item.depth, item.thread, item.start, item.flags = index, len(s), thread, start, flags
                item.parent = s[-1].seq if s else None
                item.kind, item.fn, item.msg, item.duration, item.result = LOST, 0, None, duration, None
                item.open_at = item.close_at = p
                item.lost_frames, item.lost_bytes = frames, size
                yield item
        self.last_ns = last
        for gone in nesting.open_items():
            gone.duration, gone.until, gone.close_at, gone.result = None, last, -1, None
            yield gone
        nesting.stacks.clear()


class Gaps:
    """The LOST frames of a file, per thread: how many gaps, frames and
    bytes, and where the first was."""

    def __init__(self) -> None:
        # thread -> [gaps, frames, bytes, first frame number, its offset, its start_ns]
        self.threads: Dict[int, List[int]] = {}

    def add(self, thread: int, frames: int, size: int, index: int, offset: int, start: int) -> None:
        t = self.threads.get(thread)
        if t is None:
            self.threads[thread] = [1, frames, size, index, offset, start]
        else:
            t[0] += 1
            t[1] += frames
            t[2] += size

    def total(self) -> int:
        return sum(t[1] for t in self.threads.values())
