"""Reading a session file: the header, the frames and their parts.

The layout is docs/session-file.md's (recorder/session_format.h has the
constants). Every command decodes a frame's parts through the functions
here: ``read_args``, ``read_result``, ``read_event`` and ``read_lost`` each
take the file's view and the offset where the part starts and return what
it holds and where it ends; ``Session.frames`` builds ``Frame`` objects
from them, and the commands call them on the frames they need.
"""

from __future__ import annotations

import contextlib
import mmap
import os
import struct
import zlib
from typing import Iterator, List, Optional, Tuple, Union

from .status_functions import NOT_STATUS
from .values import Arg, Buffer, Frame, Header, Output, Pointer, Redacted, Response, Result

MAGIC = b"\x89QVSESS\n"
VERSIONS = (1, 2)

CALL, CALL_OPEN, CALL_CLOSE, EVENT, EVENT_OPEN, EVENT_CLOSE, LOST = 1, 2, 3, 4, 5, 6, 7
KIND_NAMES = {CALL: "call", CALL_OPEN: "call-open", CALL_CLOSE: "call-close", EVENT: "event",
              EVENT_OPEN: "event-open", EVENT_CLOSE: "event-close", LOST: "lost"}
FLAG_MSG_NULL = 1
A_INT, A_DOUBLE, A_BOOL, A_TEXT, A_NULL, A_REDACTED, A_BUFFER, A_OUT, A_FN = range(1, 10)
R_VOID, R_INT, R_DOUBLE, R_TEXT, R_NULL, R_REDACTED = 0, 1, 2, 4, 5, 6
O_NONE, O_RESPONSE, O_TEXT = 0, 1, 2

# Functions whose int result is a value (a clock, a code, an identifier), not a status.

PREFIX = 8  # body_len:u32 adler32:u32
BODY = PREFIX + 24  # where a body's own fields start, from the frame's offset

_HEAD = struct.Struct("<8sHHIqqIH")
_HEAD_FIXED = struct.Struct("<IIBBHIqq")
_U32 = struct.Struct("<I")
_I64 = struct.Struct("<q")
_F64 = struct.Struct("<d")
_BUF = struct.Struct("<iB")
_RES = struct.Struct("<Bi")
_EVT = struct.Struct("<iB")
_LOST = struct.Struct("<QQI")
_RESULT_INT = struct.Struct("<Bq")
_RELEASE = 16 << 20  # bytes read between two releases of the pages behind

View = Union[memoryview, bytes]


class SessionError(Exception):
    """The file is not a session file, or one this reader cannot read."""


# ---- the parts of a body ------------------------------------------------------------


def _text(mv: View, p: int) -> Tuple[bytes, int]:
    (n,) = _U32.unpack_from(mv, p)
    p += 4
    return bytes(mv[p:p + n]), p + n + 1


def read_args(mv: View, p: int) -> Tuple[Tuple[Arg, ...], int]:
    """The arguments at p, in C order, and where they end."""
    n = mv[p]
    p += 1
    out: List[Arg] = []
    for _ in range(n):
        tag = mv[p]
        p += 1
        if tag == A_INT or tag == A_DOUBLE:
            out.append((_I64 if tag == A_INT else _F64).unpack_from(mv, p)[0])
            p += 8
        elif tag == A_BUFFER:
            length, readable = _BUF.unpack_from(mv, p)
            p += 5
            if readable:
                out.append(Buffer(length, bytes(mv[p:p + length])))
                p += length
            else:
                out.append(Buffer(length, None))
        elif tag == A_TEXT:
            t, p = _text(mv, p)
            out.append(t)
        elif tag == A_OUT or tag == A_FN:
            out.append(Pointer("out" if tag == A_OUT else "fn", mv[p] == 0))
            p += 1
        elif tag == A_BOOL:
            out.append(bool(mv[p]))
            p += 1
        elif tag == A_NULL:
            out.append(None)
        elif tag == A_REDACTED:
            (orig,) = _U32.unpack_from(mv, p)
            t, p = _text(mv, p + 4)
            out.append(Redacted(orig, t))
        else:
            raise SessionError(f"unknown argument tag {tag}")
    return tuple(out), p


def read_result_tagged(mv: View, p: int) -> Tuple[int, Result, Output, int]:
    """The result and output at p: (result tag, result, output, end)."""
    tag = mv[p]
    p += 1
    result: Result = None
    if tag == R_INT:
        result = _I64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_DOUBLE:
        result = _F64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_TEXT:
        result, p = _text(mv, p)
    elif tag == R_REDACTED:
        (orig,) = _U32.unpack_from(mv, p)
        t, p = _text(mv, p + 4)
        result = Redacted(orig, t)
    out = mv[p]
    p += 1
    output: Output = None
    if out == O_RESPONSE:
        null, length = _RES.unpack_from(mv, p)
        p += 5
        data = None
        if not null and length > 0:
            data = bytes(mv[p:p + length])
            p += length
        output = Response(bool(null), length, data)
    elif out == O_TEXT:
        text_tag = mv[p]
        p += 1
        output = _TEXT_WRITTEN
        if text_tag == A_TEXT:
            output, p = _text(mv, p)
    return tag, result, output, p


# A char** out-parameter the call left null, as read_result_tagged gives it (read_result gives None).
_TEXT_WRITTEN = Response(True, -1, None)


def read_result(mv: View, p: int) -> Tuple[Result, bool, Output, int]:
    """The result and output at p: (result, has_result, output, end)."""
    tag, result, output, p = read_result_tagged(mv, p)
    if output is _TEXT_WRITTEN:
        return result, True, None, p
    return result, tag != R_VOID or type(output) is bytes, output, p


def written_null(output: Output) -> bool:
    """Whether output (from read_result_tagged) is a char** left null."""
    return output is _TEXT_WRITTEN


def int_result(mv: View, p: int) -> Optional[int]:
    """The int result at p (a status, or a value), or None for another kind of result."""
    if mv[p] != R_INT:
        return None
    return int(_RESULT_INT.unpack_from(mv, p)[1])


def read_event(mv: View, p: int, flags: int, copy: bool = True) -> Tuple[Optional[bytes], int, Optional[bytes], int]:
    """An event at p: (msg, or None for a null msg_type; data_len; payload,
    or None for null data (b"" for data not copied, copy false); end)."""
    msg, p = _text(mv, p)
    data_len, null = _EVT.unpack_from(mv, p)
    p += 5
    n = data_len if not null and data_len > 0 else 0
    payload = None if null else bytes(mv[p:p + n]) if copy else b""
    return (None if flags & FLAG_MSG_NULL else msg), data_len, payload, p + n


def event_msg(mv: View, p: int, flags: int) -> Optional[bytes]:
    """The message type alone of the event at p."""
    if flags & FLAG_MSG_NULL:
        return None
    (n,) = _U32.unpack_from(mv, p)
    return bytes(mv[p + 4:p + 4 + n])


def read_lost(mv: View, p: int) -> Tuple[int, int, int]:
    """A LOST frame's (frames, bytes, depth)."""
    frames, size, depth = _LOST.unpack_from(mv, p)
    return int(frames), int(size), int(depth)


# ---- the file -------------------------------------------------------------------------

# (view, offset, end, kind, flags, fn, thread, start_ns, duration_ns): a complete frame, undecoded.
Span = Tuple[memoryview, int, int, int, int, int, int, int, int]


class Session:
    """A session file, read as a stream: ``header`` at once, frames by iterating.

    After the iteration, ``torn`` is None or (byte offset, why) for a last
    frame that is incomplete or damaged (reading stops there), and
    ``frame_count`` the number of complete frames read."""

    def __init__(self, path: Union[str, "os.PathLike[str]"]):
        self.path = os.fspath(path)
        self.torn: Optional[Tuple[int, str]] = None
        self.frame_count = 0
        with open(self.path, "rb") as f:
            head = f.read(_HEAD.size)
            if len(head) < _HEAD.size or head[:8] != MAGIC:
                raise SessionError(f"{self.path} is not a session file")
            _magic, version, _flags, size, wall, mono, pid, count = _HEAD.unpack(head)
            if version not in VERSIONS:
                raise SessionError(f"{self.path} is a session file of version {version}; "
                                   f"this reader reads versions {VERSIONS[0]} to {VERSIONS[-1]}")
            rest = f.read(size - _HEAD.size)
            if len(rest) < size - _HEAD.size:
                raise SessionError(f"{self.path}: the header is incomplete")
        h = Header()
        h.version, h.wall_ns, h.mono_ns, h.pid, h.size = version, wall, mono, pid, size
        names, p = [], 0
        try:
            for _ in range(count):
                n = rest[p]
                names.append(rest[p + 1:p + 1 + n].decode())
                p += 1 + n
            (n,) = struct.unpack_from("<H", rest, p)
        except (IndexError, struct.error):
            raise SessionError(f"{self.path}: the header is malformed") from None
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

    def frames(self) -> Iterator[Frame]:
        """The frames in file order, decoded."""
        for mv, p, _end, kind, flags, fn, thread, start, duration in self.spans():
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
                        fr.result, fr.has_result, fr.output, q = read_result(mv, q)
                    else:
                        fr.result, fr.output, fr.has_result = None, None, False
                    if kind != CALL_CLOSE:
                        fr.args, q = read_args(mv, q)
                elif kind == EVENT or kind == EVENT_OPEN:
                    fr.msg, fr.data_len, fr.payload, q = read_event(mv, q, flags)
                elif kind == LOST:
                    fr.lost_frames, fr.lost_bytes, fr.depth = read_lost(mv, q)
                elif kind != EVENT_CLOSE:
                    raise SessionError(f"unknown frame kind {kind}")
            except (IndexError, struct.error) as e:
                raise SessionError(f"{self.path}: frame {fr.index} at byte {p} is malformed ({e})") from None
            yield fr

    def spans(self) -> Iterator[Span]:
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

    def walk(self, mv: memoryview) -> Iterator[Span]:
        """The complete frames in mv (from ``mapped``), as ``spans`` gives them."""
        size = len(mv)
        p = self.header.size
        head, adler32 = _HEAD_FIXED.unpack_from, zlib.adler32
        count = 0
        release = _RELEASE
        self.torn, self.frame_count = None, 0
        try:
            while p < size:
                if p + BODY > size:
                    self.torn = (p, "the file ends inside a frame's first bytes")
                    return
                length, check, kind, flags, fn, thread, start, duration = head(mv, p)
                end = p + PREFIX + length
                if end > size:
                    self.torn = (p, f"the file ends inside a frame of {length} bytes")
                    return
                if length < 24 or adler32(mv[p + PREFIX:end]) != check:
                    self.torn = (p, "a frame fails its checksum")
                    return
                count += 1
                self.frame_count = count
                yield mv, p, end, kind, flags, fn, thread, start, duration
                p = end
                if p >= release:
                    release = self._release(p)
        finally:
            self.frame_count = count


def call_parts(mv: View, open_at: int, close_at: int) -> Tuple[int, int, int, Result, Output]:
    """Where a call's arguments are, and its result: (args_start, args_end,
    result tag, result, output), from its complete frame (open_at ==
    close_at) or from its OPEN and CLOSE frames; the tag is -1 when the
    close is not in the file (close_at -1). read_args(mv, args_start)
    decodes the arguments; the bytes between the two offsets are the same
    for the same arguments."""
    (length,) = _U32.unpack_from(mv, open_at)
    end = open_at + PREFIX + length
    if open_at == close_at:
        tag, result, output, q = read_result_tagged(mv, close_at + BODY)
        return q, end, tag, result, output
    if close_at < 0:
        return open_at + BODY, end, -1, None, None
    tag, result, output, _ = read_result_tagged(mv, close_at + BODY)
    return open_at + BODY, end, tag, result, output
