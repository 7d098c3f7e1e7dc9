"""Calls and events as text, the way show prints them (trace and record use
the same words)."""

from __future__ import annotations

import time
from typing import Optional, Sequence, Tuple

from .reader import NOT_STATUS, R_DOUBLE, R_INT, R_REDACTED, R_TEXT, R_VOID, written_null
from .values import Arg, Header, Buffer, Output, Pointer, Redacted, Response, Result


def short(b: bytes, limit: int = 40) -> str:
    if len(b) <= limit:
        return repr(bytes(b))
    return repr(bytes(b[:limit]))[:-1] + "...'"


def msg_text(m: Optional[bytes]) -> str:
    """An event's message type: its text quoted, or None for a null one."""
    return "None" if m is None else repr(bytes(m).decode("utf-8", "backslashreplace"))


def _scaled(n: int, unit: str, larger: Tuple[str, str, str]) -> str:
    """n in its unit below 10^4, else in the next thousandfold unit that keeps it under 10^4."""
    if n < 10_000:
        return f"{n} {unit}"
    for scale, name in zip((1e3, 1e6), larger):
        if n < scale * 10_000:
            return f"{n / scale:.1f} {name}"
    return f"{n / 1e9:.1f} {larger[2]}"


def duration(ns: int) -> str:
    return _scaled(ns, "ns", ("us", "ms", "s"))


def size(n: int) -> str:
    return _scaled(n, "B", ("kB", "MB", "GB"))


def arg_text(a: Arg) -> str:
    if isinstance(a, Buffer):
        return f"{short(a.data)} ({a.length} B)" if a.data is not None else f"{a.length} B"
    if isinstance(a, Pointer):
        return "NULL" if a.null else a.kind
    if isinstance(a, bytes):
        return short(a)
    if a is None:
        return "NULL"
    if isinstance(a, bool):
        return "True" if a else "False"
    if isinstance(a, Redacted):
        return a.text.decode("utf-8", "backslashreplace")
    return repr(a)


def args_text(args: Sequence[Arg]) -> str:
    return ", ".join(map(arg_text, args))


def result_text(name: str, tag: int, result: Result, output: Output) -> str:
    """A call's result and output, e.g. ``status 0  res 41 B`` (empty for a void call that wrote nothing)."""
    if tag == R_INT:
        text = f"-> {result!r}" if name in NOT_STATUS else f"status {result!r}"
    elif tag == R_VOID or tag < 0:
        text = ""
    elif tag == R_DOUBLE:
        text = f"-> {result!r}"
    elif tag == R_TEXT and isinstance(result, bytes):
        text = f"-> {short(result)}"
    elif tag == R_REDACTED and isinstance(result, Redacted):
        text = f"-> {result.text.decode('utf-8', 'backslashreplace')}"
    else:
        text = "-> NULL"
    if isinstance(output, Response) and not written_null(output):
        text += f"  res NULL, {output.length} B" if output.null else f"  res {output.length} B"
    elif isinstance(output, bytes):
        text += f"  -> {short(output)}"
    elif written_null(output):
        text += "  -> NULL"
    return text


def clock(wall_ns: int) -> str:
    """A wall-clock time of day, UTC, to the microsecond."""
    return f"{time.strftime('%H:%M:%S', time.gmtime(wall_ns // 1_000_000_000))}.{wall_ns // 1000 % 1_000_000:06d}"


def session_line(header: Header, first: Optional[int]) -> str:
    """The first line of show and stats: whose session, and the moment its
    first frame started, to the microsecond (the 0 of --from and --to in seconds)."""
    if first is None:
        when = f"started {time.strftime('%Y-%m-%d', time.gmtime(header.wall_ns // 1_000_000_000))} " \
               f"{clock(header.wall_ns)} UTC, no frames"
    else:
        at = first + header.wall_ns - header.mono_ns
        when = f"first frame {time.strftime('%Y-%m-%d', time.gmtime(at // 1_000_000_000))} {clock(at)} UTC (= --from 0)"
    return f"# session of pid {header.pid}, {when}, core {header.core_path or '?'}\n"
