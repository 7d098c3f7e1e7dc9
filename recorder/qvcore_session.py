"""Reader of the session files that the recording core shim writes.

    python -m qvcore_session show FILE     # the timeline, one line per call or event
    python -m qvcore_session stats FILE    # latency and failures per core function, rate per event type
    python -m qvcore_session shim          # the path of qvcore_recorder.so, for LD_PRELOAD

Recording: preload the shim and name the file, e.g.::

    LD_PRELOAD=$(python -m qvcore_session shim) C_SDK_RECORD=1 \\
        C_SDK_RECORD_FILE=session.qvs python strategy.py

Both commands stream: the file is read frame by frame through a memory map
and never held in memory as a whole. A file whose writer died ends with a
torn frame at most; reading stops before it and says so on stderr.

From Python, ``Session(path)`` gives the header and iterates ``Frame``
objects (see their attributes); ``Core.replay(path)`` in qvcore_standin
replays a file against the stand-in core.
"""

import mmap
import os
import struct
import sys
import time
import zlib
from typing import Iterator, List, Optional, Tuple

__all__ = ["Frame", "Session", "SessionError", "shim_path", "main"]

MAGIC = b"\x89QVSESS\n"
VERSION = 2

CALL, CALL_OPEN, CALL_CLOSE, EVENT, EVENT_OPEN, EVENT_CLOSE, LOST = 1, 2, 3, 4, 5, 6, 7
KIND_NAMES = {CALL: "call", CALL_OPEN: "call-open", CALL_CLOSE: "call-close", EVENT: "event",
              EVENT_OPEN: "event-open", EVENT_CLOSE: "event-close"}
A_INT, A_DOUBLE, A_BOOL, A_TEXT, A_NULL, A_REDACTED, A_BUFFER, A_OUT, A_FN = range(1, 10)
R_VOID, R_INT, R_DOUBLE, R_TEXT, R_NULL, R_REDACTED = 0, 1, 2, 4, 5, 6
O_NONE, O_RESPONSE, O_TEXT = 0, 1, 2

_HEAD = struct.Struct("<8sHHIqqIH")
_HEAD_FIXED = struct.Struct("<IIBBHIqq")
_FIXED = struct.Struct("<BBHIqq")
_U8 = struct.Struct("<B")
_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_I64 = struct.Struct("<q")
_F64 = struct.Struct("<d")
_BUF = struct.Struct("<iB")
_RES = struct.Struct("<Bi")
_EVT = struct.Struct("<iB")


class SessionError(Exception):
    """The file is not a session file, or one this reader cannot read."""


class Redacted:
    """A secret text: only its length was recorded."""

    __slots__ = ("length", "text")

    def __init__(self, length: int, text: bytes):
        self.length, self.text = length, text

    def __eq__(self, other):
        return isinstance(other, Redacted) and other.length == self.length

    def __repr__(self):
        return self.text.decode()


class Buffer:
    """A request (void* req, int req_len): its length and bytes (None when unreadable)."""

    __slots__ = ("length", "data")

    def __init__(self, length: int, data: Optional[bytes]):
        self.length, self.data = length, data

    def __eq__(self, other):
        return isinstance(other, Buffer) and (other.length, other.data) == (self.length, self.data)

    def __repr__(self):
        return f"Buffer({self.length}, {self.data!r})"


class Pointer:
    """An out-parameter or a function pointer: whether it was null."""

    __slots__ = ("kind", "null")

    def __init__(self, kind: str, null: bool):
        self.kind, self.null = kind, null

    def __eq__(self, other):
        return isinstance(other, Pointer) and (other.kind, other.null) == (self.kind, self.null)

    def __repr__(self):
        return f"{self.kind}:NULL" if self.null else f"{self.kind}"


class Response:
    """The response a successful call wrote: its pointer's nullness, res_len and bytes."""

    __slots__ = ("null", "length", "data")

    def __init__(self, null: bool, length: int, data: Optional[bytes]):
        self.null, self.length, self.data = null, length, data

    def __eq__(self, other):
        return isinstance(other, Response) and (other.null, other.length, other.data) == (
            self.null, self.length, self.data)

    def __repr__(self):
        return f"Response({self.null}, {self.length}, {self.data!r})"


class Frame:
    """One frame: ``kind`` (``CALL`` ... ``EVENT_CLOSE``), ``fn`` (the core
    function's name, calls only), ``thread``, ``start_ns`` (monotonic),
    ``duration_ns`` (-1 for OPEN frames), and as the kind has them ``args``
    (a tuple in C order), ``result`` (int, float, bytes, ``Redacted`` or
    None), ``output`` (``Response``, bytes/None for a written text, or
    None when nothing was read), ``msg`` and ``payload`` (bytes; None for a
    null data pointer) and ``data_len``. ``index`` counts frames from 0 and
    ``offset`` is the frame's byte position in the file."""

    __slots__ = ("index", "offset", "kind", "fn", "thread", "start_ns", "duration_ns", "args", "result",
                 "has_result", "output", "msg", "payload", "data_len", "frames", "lost_bytes", "depth")

    def __repr__(self):
        fields = ", ".join(f"{k}={getattr(self, k)!r}" for k in self.__slots__ if hasattr(self, k))
        return f"Frame({fields})"


class Header:
    __slots__ = ("version", "wall_ns", "mono_ns", "pid", "functions", "core_path", "size")


def _text(mv, p):
    (n,) = _U32.unpack_from(mv, p)
    p += 4
    return bytes(mv[p:p + n]), p + n + 1


def _args(mv, p, out):
    n = mv[p]
    p += 1
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
    return p


def _result(mv, p, fr):
    tag = mv[p]
    p += 1
    if tag == R_INT:
        fr.result = _I64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_DOUBLE:
        fr.result = _F64.unpack_from(mv, p)[0]
        p += 8
    elif tag == R_TEXT:
        fr.result, p = _text(mv, p)
    elif tag == R_REDACTED:
        (orig,) = _U32.unpack_from(mv, p)
        t, p = _text(mv, p + 4)
        fr.result = Redacted(orig, t)
    else:
        fr.result = None
    fr.has_result = tag != R_VOID
    out = mv[p]
    p += 1
    if out == O_RESPONSE:
        null, length = _RES.unpack_from(mv, p)
        p += 5
        data = None
        if not null and length > 0:
            data = bytes(mv[p:p + length])
            p += length
        fr.output = Response(bool(null), length, data)
    elif out == O_TEXT:
        tag = mv[p]
        p += 1
        fr.output = None
        if tag == A_TEXT:
            fr.output, p = _text(mv, p)
        fr.has_result = True
    else:
        fr.output = None
    return p


class Session:
    """A session file, read as a stream: ``header`` at once, frames by iterating.

    After the iteration, ``torn`` is None or (byte offset, why) for a last
    frame that is incomplete or damaged (reading stops there), and
    ``frame_count`` the number of complete frames read."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.torn: Optional[Tuple[int, str]] = None
        self.frame_count = 0
        with open(self.path, "rb") as f:
            head = f.read(_HEAD.size)
            if len(head) < _HEAD.size or head[:8] != MAGIC:
                raise SessionError(f"{self.path} is not a session file")
            magic, version, _flags, size, wall, mono, pid, count = _HEAD.unpack(head)
            if version not in (1, VERSION):
                raise SessionError(f"{self.path} is a session file of version {version}; this reader reads {VERSION}")
            rest = f.read(size - _HEAD.size)
            if len(rest) < size - _HEAD.size:
                raise SessionError(f"{self.path}: the header is incomplete")
        h = Header()
        h.version, h.wall_ns, h.mono_ns, h.pid, h.size = version, wall, mono, pid, size
        names, p = [], 0
        for _ in range(count):
            n = rest[p]
            names.append(rest[p + 1:p + 1 + n].decode())
            p += 1 + n
        (n,) = struct.unpack_from("<H", rest, p)
        h.core_path = rest[p + 2:p + 2 + n].decode(errors="replace")
        h.functions = names
        self.header = h

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def frames(self) -> Iterator[Frame]:
        """The frames in file order, decoded."""
        names = self.header.functions
        for mv, p, _end, kind, fn, thread, start, duration in self.spans():
            fr = Frame()
            fr.index, fr.offset = self.frame_count - 1, p
            fr.kind, fr.thread, fr.start_ns, fr.duration_ns = kind, thread, start, duration
            q = p + 32
            try:
                if kind == CALL or kind == CALL_OPEN or kind == CALL_CLOSE:
                    fr.fn = names[fn] if fn < len(names) else f"#{fn}"
                    args = []
                    if kind != CALL_OPEN:
                        q = _result(mv, q, fr)
                    else:
                        fr.result, fr.output, fr.has_result = None, None, False
                    if kind != CALL_CLOSE:
                        q = _args(mv, q, args)
                    fr.args = tuple(args)
                elif kind == EVENT or kind == EVENT_OPEN:
                    fr.fn = None
                    fr.msg, q = _text(mv, q)
                    fr.data_len, null = _EVT.unpack_from(mv, q)
                    q += 5
                    n = fr.data_len if not null and fr.data_len > 0 else 0
                    fr.payload = None if null else bytes(mv[q:q + n])
                elif kind == EVENT_CLOSE:
                    fr.fn = None
                elif kind == LOST:
                    fr.fn = None
                    fr.frames, fr.lost_bytes, fr.depth = struct.unpack_from("<QQI", mv, q)
                else:
                    raise SessionError(f"unknown frame kind {kind}")
            except (IndexError, struct.error) as e:
                raise SessionError(f"{self.path}: frame {fr.index} at byte {p} is malformed ({e})") from None
            yield fr

    def spans(self):
        """The complete frames, undecoded: (view, offset, end, kind, fn, thread,
        start_ns, duration_ns); the body's own fields start at offset + 32."""
        self.torn, self.frame_count = None, 0
        with open(self.path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size <= self.header.size:
                return
            with mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ) as mm:
                mv = memoryview(mm)
                try:
                    yield from self._walk(mv, size)
                finally:
                    mv.release()

    def _walk(self, mv, size):
        p = self.header.size
        head, adler32 = _HEAD_FIXED.unpack_from, zlib.adler32
        count = 0
        try:
            while p < size:
                if p + 32 > size:
                    self.torn = (p, "the file ends inside a frame's first bytes")
                    return
                length, check, kind, _, fn, thread, start, duration = head(mv, p)
                end = p + 8 + length
                if end > size:
                    self.torn = (p, f"the file ends inside a frame of {length} bytes")
                    return
                if length < 24 or adler32(mv[p + 8:end]) != check:
                    self.torn = (p, "a frame fails its checksum")
                    return
                count += 1
                self.frame_count = count
                yield mv, p, end, kind, fn, thread, start, duration
                p = end
        finally:
            self.frame_count = count


# ---- show -----------------------------------------------------------------------


def _short(b, limit=40):
    if len(b) <= limit:
        return repr(bytes(b))
    return repr(bytes(b[:limit]))[:-1] + "...'"


def _msg(m):
    return repr(bytes(m).decode("utf-8", "backslashreplace"))


def _args_text(mv, p):
    """The arguments at p as show prints them, and where they end."""
    n = mv[p]
    p += 1
    parts = []
    for _ in range(n):
        tag = mv[p]
        p += 1
        if tag == A_BUFFER:
            length, readable = _BUF.unpack_from(mv, p)
            p += 5
            if readable:
                parts.append(f"{_short(mv[p:p + min(length, 41)])} ({length} B)")
                p += length
            else:
                parts.append(f"{length} B")
        elif tag == A_OUT or tag == A_FN:
            parts.append(("out" if tag == A_OUT else "fn") if mv[p] else "NULL")
            p += 1
        elif tag == A_TEXT:
            (length,) = _U32.unpack_from(mv, p)
            parts.append(_short(mv[p + 4:p + 4 + min(length, 41)]))
            p += 5 + length
        elif tag == A_INT:
            parts.append(str(_I64.unpack_from(mv, p)[0]))
            p += 8
        elif tag == A_DOUBLE:
            parts.append(repr(_F64.unpack_from(mv, p)[0]))
            p += 8
        elif tag == A_BOOL:
            parts.append("True" if mv[p] else "False")
            p += 1
        elif tag == A_NULL:
            parts.append("NULL")
        elif tag == A_REDACTED:
            (length,) = _U32.unpack_from(mv, p + 4)
            parts.append(bytes(mv[p + 8:p + 8 + length]).decode())
            p += 9 + length
        else:
            raise SessionError(f"unknown argument tag {tag}")
    return ", ".join(parts), p


def _result_text(mv, p, fn):
    """The result and output at p as show prints them, and where they end."""
    tag = mv[p]
    p += 1
    if tag == R_INT:
        v = _I64.unpack_from(mv, p)[0]
        text = f"-> {v}" if fn in _NOT_STATUS else f"status {v}"
        p += 8
    elif tag == R_VOID:
        text = ""
    elif tag == R_DOUBLE:
        text = f"-> {_F64.unpack_from(mv, p)[0]!r}"
        p += 8
    elif tag == R_TEXT:
        (n,) = _U32.unpack_from(mv, p)
        text = f"-> {_short(mv[p + 4:p + 4 + min(n, 41)])}"
        p += 5 + n
    elif tag == R_REDACTED:
        (n,) = _U32.unpack_from(mv, p + 4)
        text = f"-> {bytes(mv[p + 8:p + 8 + n]).decode()}"
        p += 9 + n
    else:
        text = "-> NULL"
    out = mv[p]
    p += 1
    if out == O_RESPONSE:
        null, length = _RES.unpack_from(mv, p)
        p += 5
        text += f"  res NULL, {length} B" if null else f"  res {length} B"
        if not null and length > 0:
            p += length
    elif out == O_TEXT:
        if mv[p] == A_TEXT:
            (n,) = _U32.unpack_from(mv, p + 1)
            text += f"  -> {_short(mv[p + 5:p + 5 + min(n, 41)])}"
            p += 6 + n
        else:
            text += "  -> NULL"
            p += 1
    return text, p


def _duration(ns):
    if ns < 10_000:
        return f"{ns} ns"
    if ns < 10_000_000:
        return f"{ns / 1000:.1f} us"
    if ns < 10_000_000_000:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.1f} s"


def show(path, out=sys.stdout):
    s = Session(path)
    h = s.header
    started = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(h.wall_ns // 1_000_000_000))
    out.write(f"# session of pid {h.pid}, started {started} UTC, core {h.core_path or '?'}\n")
    offset = h.wall_ns - h.mono_ns
    names = h.functions
    depth = {}
    lines = []
    second, prefix = None, ""
    seen_args, seen_msgs = {}, {}
    for mv, p, end, kind, fn, thread, start, duration in s.spans():
        at = start + duration if kind == CALL_CLOSE or kind == EVENT_CLOSE else start
        t = at + offset
        sec = t // 1_000_000_000
        if sec != second:
            second = sec
            prefix = time.strftime("%H:%M:%S", time.gmtime(sec))
        d = depth.get(thread, 0)
        if kind == CALL_CLOSE or kind == EVENT_CLOSE:
            d -= 1
            depth[thread] = d
        elif kind == CALL_OPEN or kind == EVENT_OPEN:
            depth[thread] = d + 1
        q = p + 32
        if kind == CALL:
            name = names[fn]
            result, q = _result_text(mv, q, name)
            raw = mv[q:end].tobytes()  # sessions repeat their requests: format each once
            args = seen_args.get(raw)
            if args is None:
                args = _args_text(mv, q)[0]
                if len(seen_args) > 8192:
                    seen_args.clear()
                seen_args[raw] = args
            line = f"{name}({args})  {result}  {_duration(duration)}" if result else \
                f"{name}({args})  {_duration(duration)}"
        elif kind == EVENT:
            (n,) = _U32.unpack_from(mv, q)
            data_len, null = _EVT.unpack_from(mv, q + 5 + n)
            raw = mv[q + 4:q + 4 + n].tobytes()
            msg = seen_msgs.get(raw)
            if msg is None:
                msg = seen_msgs[raw] = _msg(raw)
            line = f"event {msg} {'NULL' if null else data_len} B  {_duration(duration)}"
        elif kind == CALL_OPEN:
            line = f"{names[fn]}({_args_text(mv, q)[0]})  ..."
        elif kind == CALL_CLOSE:
            result = _result_text(mv, q, names[fn])[0]
            line = f"end {names[fn]}  {result}  {_duration(duration)}" if result else \
                f"end {names[fn]}  {_duration(duration)}"
        elif kind == EVENT_OPEN:
            (n,) = _U32.unpack_from(mv, q)
            data_len, null = _EVT.unpack_from(mv, q + 5 + n)
            line = f"event {_msg(mv[q + 4:q + 4 + n])} {'NULL' if null else data_len} B  ..."
        else:
            line = f"end event  {_duration(duration)}"
        lines.append(f"{prefix}.{t // 1000 % 1_000_000:06d} {thread:>7} {'  ' * d}{line}\n")
        if len(lines) >= 4096:
            out.write("".join(lines))
            lines.clear()
    out.write("".join(lines))
    _report_torn(s)


def _report_torn(s):
    if s.torn is not None:
        print(f"qvcore_session: {s.path}: stopped at byte {s.torn[0]} after {s.frame_count} frames: "
              f"{s.torn[1]} (a torn last frame)", file=sys.stderr)


# ---- stats ------------------------------------------------------------------------


class _Latency:
    """Count, failures and a log-scale histogram (buckets 1/64 wide, so a
    percentile is exact to within 1.6%) of one function's durations."""

    __slots__ = ("count", "failures", "buckets", "max")

    def __init__(self):
        self.count, self.failures, self.buckets, self.max = 0, {}, {}, 0

    def add(self, ns):
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

    def percentile(self, q):
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


_RESULT_INT = struct.Struct("<Bq")


def stats(path, out=sys.stdout):
    s = Session(path)
    names = s.header.functions
    calls = {}
    events = {}
    first = last = None
    result = _RESULT_INT.unpack_from
    not_status = {i for i, n in enumerate(names) if n in _NOT_STATUS}
    for mv, p, _end, kind, fn, _thread, start, duration in s.spans():
        if kind == CALL or kind == CALL_CLOSE:
            lat = calls.get(fn)
            if lat is None:
                lat = calls[fn] = _Latency()
            lat.add(duration)
            if mv[p + 32] == R_INT and fn not in not_status:
                status = result(mv, p + 32)[1]
                if status != 0:
                    lat.failures[status] = lat.failures.get(status, 0) + 1
        elif kind == EVENT or kind == EVENT_OPEN:
            (n,) = _U32.unpack_from(mv, p + 32)
            msg = bytes(mv[p + 36:p + 36 + n])
            events[msg] = events.get(msg, 0) + 1
            if first is None:
                first = start
            last = start
    out.write(f"{'core function':<44} {'calls':>9} {'p50':>10} {'p99':>10} {'max':>10}  failures\n")
    for fn in sorted(calls, key=lambda k: (-calls[k].count, names[k])):
        lat = calls[fn]
        fails = ", ".join(f"{n} x status {st}" for st, n in sorted(lat.failures.items(), key=lambda i: -i[1]))
        out.write(f"{names[fn]:<44} {lat.count:>9} {_duration(lat.percentile(50)):>10} "
                  f"{_duration(lat.percentile(99)):>10} {_duration(lat.max):>10}  {fails or '-'}\n")
    span = (last - first) / 1e9 if first is not None and last > first else 0.0
    out.write(f"\n{'event type':<44} {'events':>9} {'per second':>12}\n")
    for msg in sorted(events, key=lambda k: (-events[k], k)):
        rate = f"{events[msg] / span:.1f}" if span > 0 else "-"
        out.write(f"{_msg(msg):<44} {events[msg]:>9} {rate:>12}\n")
    _report_torn(s)


# Functions whose int result is a value (a clock, a code, an identifier), not a status.
_NOT_STATUS = {"qvi_now", "qvi_get_stop_error_code", "qvi_user_timer", "qvi_smart_reorder"}


def shim_path() -> str:
    """The recording shim installed next to this module."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "qvcore_recorder.so")


def main(argv: Optional[List[str]] = None) -> int:
    import argparse

    ap = argparse.ArgumentParser(prog="python -m qvcore_session", description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="command", required=True)
    for name, text in (("show", "the timeline, one line per call or event"),
                       ("stats", "per core function count, failures and latency; per event type count and rate")):
        sp = sub.add_parser(name, help=text)
        sp.add_argument("file")
    sub.add_parser("shim", help="print the path of the recording shim")
    args = ap.parse_args(argv)
    if args.command == "shim":
        print(shim_path())
        return 0
    try:
        (show if args.command == "show" else stats)(args.file)
    except (OSError, SessionError) as e:
        print(f"qvcore_session: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
