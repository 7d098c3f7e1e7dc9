"""export: one row per call, event or gap of lost frames, for data tools.

OUT.parquet (Parquet), OUT.arrow (an Arrow IPC stream) or OUT.csv. Rows go
out in batches bounded in number and in bytes (each a Parquet row group),
in the order their calls and events end (an item inside another comes
before it; sort by seq for the file's order). Parquet and Arrow need pyarrow
(``pip install c_sdk[data]``); CSV needs nothing (bytes as hex there).
docs/session-data.md has the schema and queries.
"""

from __future__ import annotations

import csv
import datetime
import json
import math
import os
from typing import Any, Callable, Iterator, List, Optional, Tuple

from .limits import BATCH_BYTES, Memo
from .nesting import Items, item_error
from .output import create_like
from .reader import (BODY, CALL, EVENT, NOT_STATUS, R_INT, R_VOID, Malformed, Session, call_parts,
                     read_args, read_event)
from .render import result_text
from .show import report_torn
from .values import Arg, Buffer, Pointer, Redacted, Response

KINDS = {CALL: "call", EVENT: "event"}

# (name, arrow type, in CSV as) in the order of the columns; the bytes columns last.
COLUMNS: List[Tuple[str, str]] = [
    ("seq", "int64"), ("parent_seq", "int64"), ("depth", "int32"), ("kind", "string"), ("name", "string"),
    ("thread", "int64"), ("start_ns", "int64"), ("start_utc", "timestamp[ns, UTC]"), ("duration_ns", "int64"),
    ("status", "int64"), ("failed", "bool"), ("result", "string"), ("request_size", "int64"),
    ("response_size", "int64"), ("payload_size", "int64"), ("lost_frames", "int64"), ("lost_bytes", "int64"),
    ("args_json", "string"), ("request", "binary"), ("response", "binary"), ("payload", "binary"),
]
BYTES_COLUMNS = 3
# The texts that may hold a NUL (args_json is JSON, which escapes it).
_TEXTS = [i for i, (name, _) in enumerate(COLUMNS) if name in ("name", "result")]
_LARGE = [i for i, (name, _) in enumerate(COLUMNS) if name in ("name", "result", "args_json")] + \
    list(range(len(COLUMNS) - BYTES_COLUMNS, len(COLUMNS)))


def _json_value(a: Arg) -> Any:
    if isinstance(a, Buffer):
        return {"request_bytes": a.length} if a.data is not None else {"request_bytes": a.length, "readable": False}
    if isinstance(a, Pointer):
        return None if a.null else a.kind
    if isinstance(a, bytes):
        return a.decode("utf-8", "backslashreplace")
    if isinstance(a, Redacted):
        return a.text.decode("utf-8", "backslashreplace")
    if isinstance(a, float) and not math.isfinite(a):
        return repr(a)  # JSON has no inf or nan
    return a


def args_json(args: Tuple[Arg, ...]) -> str:
    return json.dumps([_json_value(a) for a in args], ensure_ascii=False, separators=(",", ":"))


_INT64_MIN, _INT64_END = -(1 << 63), 1 << 63


def rows(s: Session, with_bytes: bool = True) -> Iterator[Tuple[Any, ...]]:
    """The rows of a file, as tuples in COLUMNS' order (without the bytes
    columns when with_bytes is false), start_utc in ns since the epoch (None
    past what int64 holds, as a time or a count of a damaged file can be)."""
    names = s.header.functions
    status_fns = [n not in NOT_STATUS for n in names]
    offset = s.header.wall_ns - s.header.mono_ns
    items = Items(s)
    seen: Memo[bytes, Tuple[str, Optional[int], Optional[bytes]]] = Memo()
    for item in items:
        mv = items.view
        kind, start, dur = item.kind, item.start, item.duration
        head = (item.seq, item.parent, item.depth)
        at_utc = start + offset
        utc = at_utc if _INT64_MIN <= at_utc < _INT64_END else None
        try:
            if kind == CALL:
                fn = item.fn
                name = names[fn]
                args_at, args_end, tag, result, output = call_parts(mv, item.open_at, item.open_end, item.close_at,
                                                                    item.close_end)
                status = result if tag == R_INT and status_fns[fn] and isinstance(result, int) else None
                shown = None
                if tag >= 0 and tag != R_VOID and status is None:
                    shown = result_text(name, tag, result, None).removeprefix("-> ")
                response = output.data if isinstance(output, Response) else output if isinstance(output, bytes) \
                    else None
                response_size = (output.length if isinstance(output, Response)
                                 else len(output) if isinstance(output, bytes) else None)
                raw = mv[args_at:args_end].tobytes()
                known = seen.get(raw)  # requests repeat: their arguments decoded once
                if known is None:
                    args = read_args(mv, args_at, args_end)[0]
                    request = next((a for a in args if isinstance(a, Buffer)), None)
                    known = seen.put(raw, (args_json(args), request.length if request is not None else None,
                                           request.data if request is not None else None), len(raw))
                text, request_size, request_data = known
                row: Tuple[Any, ...] = head + (
                    "call", name, item.thread, start, utc, dur, status, bool(status), shown,
                    request_size, response_size, None, None, None, text)
                if with_bytes:
                    row += (request_data, response, None)
            elif kind == EVENT:
                at = item.open_at
                msg, data_len, payload, _ = read_event(mv, at + BODY, item.open_end, item.flags)
                name_ = None if msg is None else msg.decode("utf-8", "backslashreplace")
                row = head + ("event", name_, item.thread, start, utc, dur, None, False, None, None, None,
                              data_len, None, None, None)
                if with_bytes:
                    row += (None, None, payload)
            else:
                frames, size = item.lost_frames, item.lost_bytes
                row = head + ("lost", None, item.thread, start, utc, dur, None, False, None, None, None, None,
                              frames if frames < _INT64_END else None, size if size < _INT64_END else None, None)
                if with_bytes:
                    row += (None, None, None)
        except Malformed as e:
            raise item_error(s, item, e) from None
        yield row


def _arrow_schema(with_bytes: bool) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    types = {"int64": pa.int64(), "int32": pa.int32(), "string": pa.string(), "bool": pa.bool_(),
             "binary": pa.binary(), "timestamp[ns, UTC]": pa.timestamp("ns", tz="UTC")}
    columns = COLUMNS if with_bytes else COLUMNS[:-BYTES_COLUMNS]
    return pa.schema([pa.field(name, types[t]) for name, t in columns])


def _arrow_writer(out: str, schema: Any) -> Tuple[Callable[[Any], None], Callable[[], None]]:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    if out.endswith(".parquet"):
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

        pw = pq.ParquetWriter(out, schema, compression="zstd")
        return pw.write_batch, pw.close
    sink = pa.OSFile(out, "wb")
    w = pa.ipc.new_stream(sink, schema)

    def close() -> None:
        w.close()
        sink.close()

    return w.write_batch, close


def export(path: str, out: str, with_bytes: bool = True, rows_per_group: int = 16384) -> None:
    suffix = os.path.splitext(out)[1]
    if suffix not in (".parquet", ".arrow", ".csv"):
        raise OSError(f"{out}: the output's name must end in .parquet, .arrow or .csv")
    s = Session(path)  # refuses what is not a session file before anything is written
    create_like(out, path)
    if suffix == ".csv":
        _export_csv(s, out, with_bytes)
        report_torn(s)
        return
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise OSError(f"{suffix[1:]} output needs pyarrow: pip install c_sdk[data] (or export to .csv)") from None
    schema = _arrow_schema(with_bytes)
    write, close = _arrow_writer(out, schema)
    width = len(schema)
    try:
        batch: List[Tuple[Any, ...]] = []
        written = size = 0
        for row in rows(s, with_bytes):
            batch.append(row)
            for i in _LARGE:  # the columns as large as the frame they come from
                v = row[i] if i < width else None
                if v is not None:
                    size += len(v)
            if len(batch) >= rows_per_group or size >= BATCH_BYTES:
                write(_batch(pa, schema, batch, width))
                written += len(batch)
                batch.clear()
                size = 0
        if batch or not written:  # a file without rows still has its schema
            write(_batch(pa, schema, batch, width))
    finally:
        close()
    report_torn(s)


def _batch(pa: Any, schema: Any, batch: List[Tuple[Any, ...]], width: int) -> Any:
    columns = list(zip(*batch)) if batch else [()] * width
    return pa.RecordBatch.from_arrays([pa.array(col, type=f.type) for col, f in zip(columns, schema)], schema=schema)


def _export_csv(s: Session, out: str, with_bytes: bool) -> None:
    columns = COLUMNS if with_bytes else COLUMNS[:-BYTES_COLUMNS]
    stamp = columns.index(("start_utc", "timestamp[ns, UTC]"))
    first_bytes = len(COLUMNS) - BYTES_COLUMNS
    epoch = datetime.datetime(1970, 1, 1)
    with open(out, "r+", newline="") as f:  # created by create_like, with the session's permissions
        w = csv.writer(f)
        w.writerow([name for name, _ in columns])
        for row in rows(s, with_bytes):
            r: List[Optional[object]] = list(row)
            ns = row[stamp]
            if ns is not None:
                r[stamp] = f"{(epoch + datetime.timedelta(seconds=ns // 10**9)).isoformat()}.{ns % 10**9:09d}Z"
            for i in range(first_bytes, len(r)):
                v = r[i]
                r[i] = v.hex() if isinstance(v, bytes) else v
            for i in _TEXTS:  # the csv module cannot write a NUL: as \\x00, the way undecodable bytes are
                v = r[i]
                if isinstance(v, str) and "\x00" in v:
                    r[i] = v.replace("\x00", "\\x00")
            w.writerow(["" if v is None else ("true" if v is True else "false" if v is False else v) for v in r])
