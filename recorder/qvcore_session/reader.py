"""Reading a session file: the header and the frames.

The layout is docs/session-file.md's (recorder/session_format.h has the
constants). ``Session`` reads the header at once and walks the frames:
``walk`` gives each complete frame undecoded, ``frames`` decoded as
``Frame`` objects. The parts of a body are decoded by the functions of
``parts`` (``read_args``, ``read_result``, ``read_event``, ``read_lost``;
importable from here too), which the commands call on the frames they need.

A file may come from anywhere, so nothing in it is trusted: the header's
lengths must hold what they claim, a frame's body its fixed fields, and a
call frame must name a function the header lists. A file that breaks one
of these raises ``SessionError`` with one line that says where; a frame the
file ends inside of, or whose checksum fails, is torn: reading stops
before it (``Session.torn``), as it does when the nesting of calls and
events goes past what the commands follow (``Session.stop``).
"""

from __future__ import annotations

import contextlib
import mmap
import os
import struct
import zlib
from typing import Generator, Iterator, List, Optional, Tuple, Union

from .parts import (A_BOOL, A_BUFFER, A_DOUBLE, A_FN, A_INT, A_NULL, A_OUT, A_REDACTED, A_TEXT, BODY, FIXED,
                    FLAG_MSG_NULL, O_NONE, O_RESPONSE, O_TEXT, PREFIX, R_DOUBLE, R_INT, R_NULL, R_REDACTED, R_TEXT,
                    R_VOID, Malformed, SessionError, View, call_parts, event_msg, int_result, read_args,
                    read_event, read_lost, read_result, read_result_tagged, written_null)
from .status_functions import NOT_STATUS
from .values import Frame, Header

MAGIC = b"\x89QVSESS\n"
VERSIONS = (1, 2)

CALL, CALL_OPEN, CALL_CLOSE, EVENT, EVENT_OPEN, EVENT_CLOSE, LOST = 1, 2, 3, 4, 5, 6, 7
KIND_NAMES = {CALL: "call", CALL_OPEN: "call-open", CALL_CLOSE: "call-close", EVENT: "event",
              EVENT_OPEN: "event-open", EVENT_CLOSE: "event-close", LOST: "lost"}

# Functions whose int result is a value (a clock, a code, an identifier), not a status.

_HEAD = struct.Struct("<8sHHIqqIH")
_HEAD_FIXED = struct.Struct("<IIBBHIqq")
_PREFIX = struct.Struct("<II")
_U16 = struct.Struct("<H")
_RELEASE = 16 << 20  # bytes read between two releases of the pages behind

__all__ = ["MAGIC", "VERSIONS", "CALL", "CALL_OPEN", "CALL_CLOSE", "EVENT", "EVENT_OPEN", "EVENT_CLOSE", "LOST",
           "KIND_NAMES", "NOT_STATUS", "Session", "SessionError", "Malformed", "Span", "View", "PREFIX", "FIXED",
           "BODY", "FLAG_MSG_NULL", "A_INT", "A_DOUBLE", "A_BOOL", "A_TEXT", "A_NULL", "A_REDACTED", "A_BUFFER",
           "A_OUT", "A_FN", "R_VOID", "R_INT", "R_DOUBLE", "R_TEXT", "R_NULL", "R_REDACTED", "O_NONE",
           "O_RESPONSE", "O_TEXT", "read_args", "read_result", "read_result_tagged", "written_null", "int_result",
           "read_event", "event_msg", "read_lost", "call_parts"]


def _functions(rest: bytes, count: int, path: str) -> Tuple[List[str], int]:
    """The function names of the header (rest: what follows its fixed
    fields) and where they end."""
    names, p = [], 0
    for i in range(count):
        if p >= len(rest) or p + 1 + rest[p] > len(rest):
            raise SessionError(f"{path}: the header is malformed: its length ends inside function {i}'s name")
        n = rest[p]
        try:
            names.append(rest[p + 1:p + 1 + n].decode())
        except UnicodeDecodeError:
            raise SessionError(f"{path}: the header is malformed: function {i}'s name is not UTF-8") from None
        p += 1 + n
    return names, p


# ---- the file -------------------------------------------------------------------------

# (view, offset, end, kind, flags, fn, thread, start_ns, duration_ns): a complete frame, undecoded.
Span = Tuple[memoryview, int, int, int, int, int, int, int, int]


class Session:
    """A session file, read as a stream: ``header`` at once, frames by iterating.

    After the iteration, ``torn`` is None or (byte offset, why) for where
    reading stopped early: a last frame that is incomplete or damaged, or
    (``over_limit``) nesting deeper than the commands follow; and
    ``frame_count`` the number of complete frames read before it."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], fd: Optional[int] = None):
        """fd: the file already open (read through a copy of it), path then only names it."""
        self.path = os.fspath(path)
        self.torn: Optional[Tuple[int, str]] = None
        self.over_limit = False
        self.frame_count = 0
        self.position = 0  # where the last walk stopped: the end of its last complete frame
        with open(self.path, "rb") if fd is None else os.fdopen(os.dup(fd), "rb") as f:
            f.seek(0)
            head = f.read(_HEAD.size)
            if len(head) < _HEAD.size or head[:8] != MAGIC:
                raise SessionError(f"{self.path} is not a session file")
            _magic, version, _flags, size, wall, mono, pid, count = _HEAD.unpack(head)
            if version not in VERSIONS:
                raise SessionError(f"{self.path} is a session file of version {version}; "
                                   f"this reader reads versions {VERSIONS[0]} to {VERSIONS[-1]}")
            if size < _HEAD.size + _U16.size:
                raise SessionError(f"{self.path}: the header is malformed: its length ({size} bytes) is shorter "
                                   f"than its fixed fields ({_HEAD.size + _U16.size} bytes)")
            if size > os.fstat(f.fileno()).st_size:
                raise SessionError(f"{self.path}: the header is incomplete")
            # Only as much as the names and the path can take: the length is the file's word.
            rest = f.read(min(size, _HEAD.size + count * 256 + _U16.size + 0xFFFF) - _HEAD.size)
        names, p = _functions(rest, count, self.path)
        if p + _U16.size > len(rest) or p + _U16.size + _U16.unpack_from(rest, p)[0] > len(rest):
            raise SessionError(f"{self.path}: the header is malformed: its length ends inside the core's path")
        (n,) = _U16.unpack_from(rest, p)
        h = Header()
        h.version, h.wall_ns, h.mono_ns, h.pid, h.size = version, wall, mono, pid, size
        h.core_path = rest[p + 2:p + 2 + n].decode(errors="replace")
        h.functions = names
        self.header = h
        self._map: Optional[mmap.mmap] = None

    def _release(self, p: int) -> int:
        """Gives back the pages of the file read so far (they stay in the page
        cache and come back on the next touch): a day's file then never takes
        more than a few of its megabytes of this process's memory."""
        if self._map is not None and hasattr(self._map, "madvise"):
            self._map.madvise(mmap.MADV_DONTNEED, 0, p - p % mmap.PAGESIZE)
        return p + _RELEASE

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def name(self, fn: int) -> str:
        names = self.header.functions
        return names[fn] if fn < len(names) else f"#{fn}"

    def malformed(self, offset: int, why: object, index: Optional[int] = None) -> SessionError:
        """The error for the frame at offset (its number, when known): one line, naming the file."""
        frame = f"frame {index} at byte {offset}" if index is not None else f"the frame at byte {offset}"
        return SessionError(f"{self.path}: {frame} is malformed: {why}")

    def stop(self, offset: int, index: int, why: str) -> None:
        """Reading stops before frame ``index`` at offset, which is sound but
        nested deeper than the commands follow: reported as a torn frame is."""
        self.torn, self.frame_count, self.over_limit = (offset, why), index, True

    @staticmethod
    def _unsound(length: int, fn: int, functions: int) -> str:
        if length < FIXED:
            return f"its body of {length} bytes is shorter than the {FIXED} bytes every body starts with"
        return f"it names function {fn}, beyond the {functions} the header lists"

    def frames(self) -> Iterator[Frame]:
        """The frames in file order, decoded."""
        for mv, p, end, kind, flags, fn, thread, start, duration in self.spans():
            fr = Frame()
            fr.index, fr.offset = self.frame_count - 1, p
            fr.kind, fr.flags, fr.thread, fr.start_ns, fr.duration_ns = kind, flags, thread, start, duration
            q = p + BODY
            fr.fn = None
            try:
                if kind == CALL or kind == CALL_OPEN or kind == CALL_CLOSE:
                    fr.fn = self.name(fn)
                    fr.args = ()
                    if kind != CALL_OPEN:
                        fr.result, fr.has_result, fr.output, q = read_result(mv, q, end)
                    else:
                        fr.result, fr.output, fr.has_result = None, None, False
                    if kind != CALL_CLOSE:
                        fr.args, q = read_args(mv, q, end)
                elif kind == EVENT or kind == EVENT_OPEN:
                    fr.msg, fr.data_len, fr.payload, q = read_event(mv, q, end, flags)
                elif kind == LOST:
                    fr.lost_frames, fr.lost_bytes, fr.depth = read_lost(mv, q, end)
                elif kind != EVENT_CLOSE:
                    raise Malformed(f"its kind {kind} is unknown")
            except Malformed as e:
                raise self.malformed(p, e, fr.index) from None
            yield fr

    def first_start(self) -> Optional[int]:
        """When the file's first complete frame started (monotonic ns), or None
        without one: where the seconds of --from and --to count from."""
        spans = self.spans()
        try:
            first = next(spans, None)
        finally:
            spans.close()
        return None if first is None else first[7]

    def spans(self) -> Generator[Span, None, None]:
        """The complete frames, undecoded: (view, offset, end, kind, flags, fn,
        thread, start_ns, duration_ns); the body's own fields start at offset + BODY."""
        with self.mapped() as mv:
            yield from self.walk(mv)

    @contextlib.contextmanager
    def mapped(self) -> Iterator[memoryview]:
        """The whole file as memory (mapped, not read), for ``walk``."""
        with open(self.path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size <= self.header.size:
                yield memoryview(b"")
                return
            with mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ) as mm:
                if hasattr(mm, "madvise"):
                    mm.madvise(mmap.MADV_SEQUENTIAL)
                mv = memoryview(mm)
                self._map = mm
                try:
                    yield mv
                finally:
                    self._map = None
                    mv.release()

    def walk(self, mv: memoryview, resume: Optional[int] = None, count: int = 0) -> Iterator[Span]:
        """The complete frames in mv (from ``mapped``), as ``spans`` gives them.

        A frame is complete when the file holds all of it and its checksum
        holds; its body must then hold its fixed fields and, for a call, name
        a function of the header (else SessionError). ``frame_count`` counts
        the frames given so far. A follower resumes at ``resume``, the
        ``position`` of its last walk, with the ``count`` of frames before it."""
        size = len(mv)
        p = self.header.size if resume is None else resume
        head, adler32 = _HEAD_FIXED.unpack_from, zlib.adler32
        functions = len(self.header.functions)
        release = p + _RELEASE
        self.torn, self.frame_count, self.over_limit, self.position = None, count, False, p
        while p < size:
            if p + BODY <= size:
                length, check, kind, flags, fn, thread, start, duration = head(mv, p)
            elif p + PREFIX <= size:  # a short frame at the end: its fields are checked below
                (length, check), kind, flags, fn, thread, start, duration = _PREFIX.unpack_from(mv, p), 0, 0, 0, 0, 0, 0
            else:
                self.torn = (p, "the file ends inside a frame's first bytes")
                return
            end = p + PREFIX + length
            if end > size:
                self.torn = (p, f"the file ends inside a frame of {length} bytes")
                return
            if adler32(mv[p + PREFIX:end]) != check:
                self.torn = (p, "a frame fails its checksum")
                return
            if length < 24 or (fn >= functions and kind <= 3 and kind >= 1):  # FIXED; CALL to CALL_CLOSE
                raise self.malformed(p, self._unsound(length, fn, functions), count)
            count += 1
            self.frame_count = count
            yield mv, p, end, kind, flags, fn, thread, start, duration
            p = self.position = end
            if p >= release:
                release = self._release(p)
