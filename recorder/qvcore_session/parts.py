"""The parts of a frame's body: arguments, result and output, event, gap.

The layout is docs/session-file.md's (recorder/session_format.h has the
constants). ``read_args``, ``read_result``, ``read_event`` and
``read_lost`` each take the file's view, the offset where the part starts
and the end of its frame, and return what the part holds and where it
ends. A frame's checksum only says that its bytes are the ones written: a
file from elsewhere may still hold a frame whose parts claim more bytes
than the frame has, or tags the format does not know. Every length is
checked against the frame's end before anything is read or copied, so a
part never reaches into the next frame, and such a frame raises
``Malformed`` (a ``SessionError``) instead.
"""

from __future__ import annotations

import struct
from typing import List, Optional, Tuple, Union

from .values import Arg, Buffer, Output, Pointer, Redacted, Response, Result

FLAG_MSG_NULL = 1
A_INT, A_DOUBLE, A_BOOL, A_TEXT, A_NULL, A_REDACTED, A_BUFFER, A_OUT, A_FN = range(1, 10)
R_VOID, R_INT, R_DOUBLE, R_TEXT, R_NULL, R_REDACTED = 0, 1, 2, 4, 5, 6
O_NONE, O_RESPONSE, O_TEXT = 0, 1, 2

PREFIX = 8  # body_len:u32 adler32:u32
FIXED = 24  # kind flags fn thread start_ns duration_ns: the fields every body starts with
BODY = PREFIX + FIXED  # where a body's own fields start, from the frame's offset

_U32 = struct.Struct("<I")
_I64 = struct.Struct("<q")
_F64 = struct.Struct("<d")
_BUF = struct.Struct("<iB")
_RES = struct.Struct("<Bi")
_EVT = struct.Struct("<iB")
_LOST = struct.Struct("<QQI")
_RESULT_INT = struct.Struct("<Bq")

# Bytes of an argument's value after its tag, before any bytes of its own (a text's, a request's).
_ARG_FIXED = {A_INT: 8, A_DOUBLE: 8, A_BOOL: 1, A_TEXT: 4, A_NULL: 0, A_REDACTED: 8, A_BUFFER: 5, A_OUT: 1, A_FN: 1}
# The same for a result.
_RESULT_FIXED = {R_VOID: 0, R_INT: 8, R_DOUBLE: 8, R_TEXT: 4, R_NULL: 0, R_REDACTED: 8}

View = Union[memoryview, bytes]


class SessionError(Exception):
    """The file is not a session file, or one this reader cannot read."""


class Malformed(SessionError):
    """A frame whose parts contradict its length or the format, though its
    checksum holds. The commands give it the file and the frame it is in
    (``at``: the frame's offset, when the one that raised it knew it)."""

    at: Optional[int] = None


def _past(what: str) -> Malformed:
    return Malformed(f"{what} runs past the frame's end")


def _text(mv: View, p: int, end: int) -> Tuple[bytes, int]:
    if p + 4 > end:
        raise _past("a text's length")
    (n,) = _U32.unpack_from(mv, p)
    q = p + 4 + n
    if q >= end:  # the text and its NUL
        raise _past(f"a text of {n} bytes")
    return bytes(mv[p + 4:q]), q + 1


def read_args(mv: View, p: int, end: int) -> Tuple[Tuple[Arg, ...], int]:
    """The arguments at p, in C order, and where they end."""
    if p >= end:
        raise _past("the argument count")
    n = mv[p]
    p += 1
    out: List[Arg] = []
    for i in range(n):
        tag = mv[p] if p < end else -1
        need = _ARG_FIXED.get(tag)
        if need is None:
            raise _past(f"argument {i + 1} of {n}") if p >= end else Malformed(f"argument tag {tag} is unknown")
        p += 1
        if p + need > end:
            raise _past(f"argument {i + 1} of {n}")
        if tag == A_INT or tag == A_DOUBLE:
            out.append((_I64 if tag == A_INT else _F64).unpack_from(mv, p)[0])
            p += 8
        elif tag == A_BUFFER:
            length, readable = _BUF.unpack_from(mv, p)
            p += 5
            if readable:
                if length < 0 or p + length > end:
                    raise _past(f"a request of {length} bytes")
                out.append(Buffer(length, bytes(mv[p:p + length])))
                p += length
            else:
                out.append(Buffer(length, None))
        elif tag == A_TEXT:
            t, p = _text(mv, p, end)
            out.append(t)
        elif tag == A_OUT or tag == A_FN:
            out.append(Pointer("out" if tag == A_OUT else "fn", mv[p] == 0))
            p += 1
        elif tag == A_BOOL:
            out.append(bool(mv[p]))
            p += 1
        elif tag == A_NULL:
            out.append(None)
        else:  # A_REDACTED
            (orig,) = _U32.unpack_from(mv, p)
            t, p = _text(mv, p + 4, end)
            out.append(Redacted(orig, t))
    return tuple(out), p


def read_result_tagged(mv: View, p: int, end: int) -> Tuple[int, Result, Output, int]:
    """The result and output at p: (result tag, result, output, end)."""
    result: Result
    if p + 10 <= end and mv[p] == R_INT:  # a status, as a rule: its value and the output's tag are there
        tag, result = _RESULT_INT.unpack_from(mv, p)
        p += 9
    else:
        tag, result, p = _other_result(mv, p, end)
    out = mv[p]
    p += 1
    if out == O_NONE:
        return tag, result, None, p
    output: Output
    if out == O_RESPONSE:
        if p + 5 > end:
            raise _past("the response")
        null, length = _RES.unpack_from(mv, p)
        p += 5
        data = None
        if not null and length > 0:
            if p + length > end:
                raise _past(f"a response of {length} bytes")
            data = bytes(mv[p:p + length])
            p += length
        output = Response(bool(null), length, data)
    elif out == O_TEXT:
        text_tag = mv[p] if p < end else -1
        p += 1
        if text_tag == A_TEXT:
            output, p = _text(mv, p, end)
        elif text_tag == A_NULL:
            output = _TEXT_WRITTEN
        else:
            raise _past("the written text") if text_tag < 0 else Malformed(f"written text tag {text_tag} is unknown")
    else:
        raise Malformed(f"output tag {out} is unknown")
    return tag, result, output, p


def _other_result(mv: View, p: int, end: int) -> Tuple[int, Result, int]:
    """A result other than an int with room after it: (tag, result, where
    its output's tag is, which the frame is checked to hold)."""
    tag = mv[p] if p < end else -1
    need = _RESULT_FIXED.get(tag)
    if need is None:
        raise _past("the result") if p >= end else Malformed(f"result tag {tag} is unknown")
    p += 1
    if p + need >= end:  # the value, then the output's tag
        raise _past("the result")
    result: Result = None
    if tag == R_INT:
        result = _I64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_DOUBLE:
        result = _F64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_TEXT:
        result, p = _text(mv, p, end)
    elif tag == R_REDACTED:
        (orig,) = _U32.unpack_from(mv, p)
        t, p = _text(mv, p + 4, end)
        result = Redacted(orig, t)
    if p >= end:
        raise _past("the output")
    return tag, result, p


# A char** out-parameter the call left null, as read_result_tagged gives it (read_result gives None).
_TEXT_WRITTEN = Response(True, -1, None)


def read_result(mv: View, p: int, end: int) -> Tuple[Result, bool, Output, int]:
    """The result and output at p: (result, has_result, output, end)."""
    tag, result, output, p = read_result_tagged(mv, p, end)
    if output is _TEXT_WRITTEN:
        return result, True, None, p
    return result, tag != R_VOID or type(output) is bytes, output, p


def written_null(output: Output) -> bool:
    """Whether output (from read_result_tagged) is a char** left null."""
    return output is _TEXT_WRITTEN


def int_result(mv: View, p: int, end: int) -> Optional[int]:
    """The int result at p (a status, or a value), or None for another kind of result."""
    if p + 9 <= end:
        return int(_RESULT_INT.unpack_from(mv, p)[1]) if mv[p] == R_INT else None
    if p < end and mv[p] != R_INT:
        return None  # a shorter result (void, null): not an int
    raise _past("the result")


def read_event(mv: View, p: int, end: int, flags: int,
               copy: bool = True) -> Tuple[Optional[bytes], int, Optional[bytes], int]:
    """An event at p: (msg, or None for a null msg_type; data_len; payload,
    or None for null data (b"" for data not copied, copy false); end)."""
    msg, p = _text(mv, p, end)
    if p + 5 > end:
        raise _past("the event's data length")
    data_len, null = _EVT.unpack_from(mv, p)
    p += 5
    n = data_len if not null and data_len > 0 else 0
    if p + n > end:
        raise _past(f"an event's data of {n} bytes")
    payload = None if null else bytes(mv[p:p + n]) if copy else b""
    return (None if flags & FLAG_MSG_NULL else msg), data_len, payload, p + n


def event_msg(mv: View, p: int, end: int, flags: int) -> Optional[bytes]:
    """The message type alone of the event at p."""
    if flags & FLAG_MSG_NULL:
        return None
    if p + 4 <= end:  # _text's checks, without its call: this runs for every event
        q = p + 4 + _U32.unpack_from(mv, p)[0]
        if q < end:
            return bytes(mv[p + 4:q])
    return _text(mv, p, end)[0]  # raises


def read_lost(mv: View, p: int, end: int) -> Tuple[int, int, int]:
    """A LOST frame's (frames, bytes, depth)."""
    if p + _LOST.size > end:
        raise _past("the gap's counts")
    frames, size, depth = _LOST.unpack_from(mv, p)
    return int(frames), int(size), int(depth)


def call_parts(mv: View, open_at: int, open_end: int, close_at: int,
               close_end: int) -> Tuple[int, int, int, Result, Output]:
    """Where a call's arguments are, and its result: (args_start, args_end,
    result tag, result, output), from its complete frame (open_at ==
    close_at) or from its OPEN and CLOSE frames (each given with its end);
    the tag is -1 when the close is not in the file (close_at -1).
    read_args(mv, args_start, args_end) decodes the arguments; the bytes
    between the two offsets are the same for the same arguments."""
    if close_at < 0:
        return open_at + BODY, open_end, -1, None, None
    try:
        tag, result, output, q = read_result_tagged(mv, close_at + BODY, close_end)
    except Malformed as e:
        e.at = close_at
        raise
    return q if open_at == close_at else open_at + BODY, open_end, tag, result, output
