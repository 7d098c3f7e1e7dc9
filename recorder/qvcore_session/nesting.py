"""What was inside what: a nesting stack per thread, and the calls and events
of a file as items, each given when it ends.

Frames of different threads interleave in a file, so each thread keeps its
own stack of open items. A LOST frame trims its thread's stack to the depth
it names (a dropped CLOSE frame ended its item); a CLOSE frame whose item is
further down the stack ends it and those still open inside it (their CLOSE
frames were lost); one that matches no open item of its thread (its OPEN
frame was dropped) is passed over. Every frame costs O(1) (amortised: an
item leaves its stack once), and the stacks stay within limits.MAX_DEPTH per
thread and limits.MAX_OPEN in all: an OPEN frame beyond them stops the
reading there (``Session.stop``), as a torn frame does.
"""

from __future__ import annotations

from typing import Dict, Iterable, Iterator, List, Optional, Tuple

from .limits import MAX_DEPTH, MAX_KEYS, MAX_OPEN
from .reader import (BODY, CALL, CALL_CLOSE, CALL_OPEN, EVENT, EVENT_CLOSE, EVENT_OPEN, LOST, Malformed, Session,
                     SessionError, Span, event_msg, int_result, read_lost)


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
    frame for a complete one; ``close_at`` -1 without an end), ``open_end``
    and ``close_end`` where those frames end. ``result``
    is a call's int result (None for other results). A LOST item has
    ``lost_frames`` and ``lost_bytes``."""

    __slots__ = ("seq", "parent", "depth", "kind", "fn", "msg", "flags", "thread", "start", "duration", "until",
                 "open_at", "close_at", "open_end", "close_end", "result", "lost_frames", "lost_bytes", "mark")

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
    open_end: int
    close_end: int
    result: Optional[int]
    lost_frames: int
    lost_bytes: int
    mark: int  # for a command's own use


# How many of the first items of a stack a CLOSE frame that does not match
# the top looks through; those deeper are counted in Nesting.keys.
_SCANNED = 8


class Nesting:
    """The open items of each thread (a thread with none has no stack).

    A CLOSE frame that does not end the top item of its stack looks for its
    item among the first _SCANNED items and in ``keys``, which counts those
    deeper by (thread, kind, start): one that matches nothing costs O(1)
    however deep the stack, and the few-deep stacks of a recording cost no
    counting at all."""

    def __init__(self) -> None:
        self.stacks: Dict[int, List[Item]] = {}
        self.keys: Dict[Tuple[int, int, int], int] = {}
        self.open = 0
        # Items a CLOSE frame left open inside the one it ended, innermost first, for the caller to take.
        self.abandoned: List[Item] = []

    def push(self, item: Item) -> Optional[str]:
        """Opens item on its thread: sets its depth and parent and returns
        None, or why it cannot be followed (a limit), leaving it out."""
        thread = item.thread
        s = self.stacks.get(thread)
        if self.open >= MAX_OPEN:
            return f"more than {MAX_OPEN} calls and events are open at once, more than this reader follows"
        if s is None:
            s = self.stacks[thread] = []
            item.depth, item.parent = 0, None
        elif len(s) >= MAX_DEPTH:
            return f"thread {thread} nests calls and events more than {MAX_DEPTH} deep, deeper than this reader follows"
        else:
            item.depth, item.parent = len(s), s[-1].seq
            if item.depth >= _SCANNED:
                key = (thread, item.kind, item.start)
                self.keys[key] = self.keys.get(key, 0) + 1
        s.append(item)
        self.open += 1
        return None

    def _uncount(self, item: Item) -> None:
        """Forgets item (taken off its stack, at its depth), in keys if that is where it was counted."""
        self.open -= 1
        if item.depth >= _SCANNED:
            key = (item.thread, item.kind, item.start)
            n = self.keys[key]
            if n == 1:
                del self.keys[key]
            else:
                self.keys[key] = n - 1

    def close(self, thread: int, kind: int, start: int) -> Optional[Item]:
        """The item a CLOSE frame ends, taken off the stack, or None when none
        matches; those left open inside it go to ``abandoned``."""
        s = self.stacks.get(thread)
        if not s:
            return None
        want = CALL if kind == CALL_CLOSE else EVENT
        item = s[-1]
        if item.kind == want and item.start == start:  # as a rule
            s.pop()
            if item.depth >= _SCANNED:
                self._uncount(item)
            else:
                self.open -= 1
        elif (thread, want, start) in self.keys or any(i.kind == want and i.start == start for i in s[:_SCANNED]):
            while True:  # each item popped here leaves for good: amortised O(1)
                s.pop()
                self._uncount(item)
                if item.kind == want and item.start == start:
                    break
                self.abandoned.append(item)
                item = s[-1]
        else:
            return None
        if not s:
            del self.stacks[thread]
        return item

    def trim(self, thread: int, depth: int) -> List[Item]:
        """Trims a thread's stack to depth: the items taken off, innermost first."""
        s = self.stacks.get(thread)
        if not s or len(s) <= depth:
            return []
        gone = s[depth:]
        del s[depth:]
        for item in gone:
            self._uncount(item)
        if not s:
            del self.stacks[thread]
        gone.reverse()
        return gone

    def open_items(self) -> List[Item]:
        """Every item still open, innermost first per thread."""
        return [item for s in self.stacks.values() for item in reversed(s)]

    def clear(self) -> None:
        self.stacks.clear()
        self.keys.clear()
        self.open = 0


class Items:
    """The calls, events and gaps of a session, each as it ends.

    Iterating yields ``Item`` objects in the order they end (an item inside
    another comes before it); items whose end is not in the file come when
    the gap or the CLOSE frame that lost it is reached, or at the end. While
    iterating, ``view`` is the file's memory, for decoding an item's frames;
    after it, ``last_ns`` is the latest time in the file."""

    def __init__(self, session: Session):
        self.session = session
        self.view: memoryview = memoryview(b"")
        self.last_ns = 0
        self.index = -1  # the number of the last frame taken
        self.nesting = Nesting()

    def __iter__(self) -> Iterator[Item]:
        with self.session.mapped() as mv:
            self.view = mv
            yield from self.take(self.session.walk(mv))
            yield from self.finish()
            self.view = memoryview(b"")

    def take(self, spans: Iterable[Span]) -> Iterator[Item]:
        """The items that end in spans (complete frames from ``Session.walk``,
        resumed where the last took off when a file is followed); those still
        open stay open for the next."""
        nesting = self.nesting
        stacks = nesting.stacks
        abandoned = nesting.abandoned
        last = self.last_ns
        index = self.index
        p = 0
        view = self.view
        try:
            for mv, p, end, kind, flags, fn, thread, start, duration in spans:
                index += 1
                if mv is not view:
                    self.view = view = mv
                if kind == CALL or kind == EVENT:
                    item = Item()
                    s = stacks.get(thread)
                    if s:
                        item.depth, item.parent = len(s), s[-1].seq
                    else:
                        item.depth, item.parent = 0, None
                    item.seq, item.thread, item.start, item.flags, item.open_at, item.close_at = index, thread, \
                        start, flags, p, p
                    item.open_end = item.close_end = end
                    item.duration = duration
                    if kind == CALL:
                        item.kind, item.fn, item.msg, item.result = CALL, fn, None, int_result(mv, p + BODY, end)
                    else:
                        item.kind, item.fn, item.msg, item.result = EVENT, 0, event_msg(mv, p + BODY, end, flags), None
                    end_ns = start + duration
                    if end_ns > last:
                        last = end_ns
                    yield item
                elif kind == CALL_OPEN or kind == EVENT_OPEN:
                    item = Item()
                    item.seq, item.thread, item.start, item.flags, item.open_at, item.open_end = index, thread, \
                        start, flags, p, end
                    if kind == CALL_OPEN:
                        item.kind, item.fn, item.msg = CALL, fn, None
                    else:
                        item.kind, item.fn, item.msg = EVENT, 0, event_msg(mv, p + BODY, end, flags)
                    why = nesting.push(item)
                    if why is not None:
                        self.session.stop(p, index, why)
                        break
                elif kind == CALL_CLOSE or kind == EVENT_CLOSE:
                    item_ = nesting.close(thread, kind, start)
                    if item_ is None:
                        continue
                    end_ns = start + duration
                    if end_ns > last:
                        last = end_ns
                    if abandoned:
                        yield from self._unfinished(abandoned, end_ns)
                        abandoned.clear()
                    item_.close_at, item_.close_end, item_.duration = p, end, duration
                    item_.result = int_result(mv, p + BODY, end) if kind == CALL_CLOSE else None
                    yield item_
                elif kind == LOST:
                    frames, size, depth = read_lost(mv, p + BODY, end)
                    end_ns = start + duration
                    if end_ns > last:
                        last = end_ns
                    yield from self._unfinished(nesting.trim(thread, depth), end_ns)
                    s = stacks.get(thread)
                    item = Item()
                    item.seq, item.thread, item.start, item.flags = index, thread, start, flags
                    item.depth, item.parent = (len(s), s[-1].seq) if s else (0, None)
                    item.kind, item.fn, item.msg, item.duration, item.result = LOST, 0, None, duration, None
                    item.open_at = item.close_at = p
                    item.open_end = item.close_end = end
                    item.lost_frames, item.lost_bytes = frames, size
                    yield item
        except Malformed as e:
            raise self.session.malformed(p, e, index) from None
        finally:
            self.last_ns, self.index = last, index

    def finish(self) -> Iterator[Item]:
        """The items still open, whose end is not in the file: after its last frame."""
        yield from self._unfinished(self.nesting.open_items(), self.last_ns)
        self.nesting.clear()

    @staticmethod
    def _unfinished(items: List[Item], until: int) -> Iterator[Item]:
        """Items whose end is not in the file, the latest they can have ended being until."""
        for gone in items:
            gone.duration, gone.until, gone.close_at, gone.close_end, gone.result = None, until, -1, -1, None
            yield gone


def item_error(session: Session, item: Item, e: Malformed) -> SessionError:
    """The one-line error for a malformed frame of item: the frame that
    raised it when known (a CLOSE frame), else its first."""
    at = e.at if e.at is not None else item.open_at
    return session.malformed(at, e, item.seq if at == item.open_at else None)


# The row of Gaps that counts the threads beyond limits.MAX_KEYS together (thread ids are never negative).
OTHER_THREADS = -1


class Gaps:
    """The LOST frames of a file, per thread: how many gaps, frames and
    bytes, and where the first was. Threads beyond the first
    limits.MAX_KEYS are counted together, as OTHER_THREADS."""

    def __init__(self) -> None:
        # thread -> [gaps, frames, bytes, first frame number, its offset, its start_ns]
        self.threads: Dict[int, List[int]] = {}

    def add(self, thread: int, frames: int, size: int, index: int, offset: int, start: int) -> None:
        t = self.threads.get(thread)
        if t is None and len(self.threads) >= MAX_KEYS:
            thread = OTHER_THREADS
            t = self.threads.get(thread)
        if t is None:
            self.threads[thread] = [1, frames, size, index, offset, start]
        else:
            t[0] += 1
            t[1] += frames
            t[2] += size

    def total(self) -> int:
        return sum(t[1] for t in self.threads.values())

    def rows(self) -> List[Tuple[str, List[int]]]:
        """(who, [gaps, frames, bytes, first frame, its offset, its start_ns]) by thread, the others last."""
        return [("other threads" if thread == OTHER_THREADS else f"thread {thread}", t)
                for thread, t in sorted(self.threads.items(), key=lambda kv: (kv[0] == OTHER_THREADS, kv[0]))]
