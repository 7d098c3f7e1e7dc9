"""bench/recorder.md: the figures of one run ("after") beside an earlier
run's ("before", bench/recorder-before.json), each table a column pair."""

from .common import LETTERS, NO_SHIM, OFF, OPS, RECORDING
from .latency import MODES as LATENCY_MODES
from .latency import PERCENTILES
from .overhead import added_copy

OFF_TARGET = 1.05  # the shim present but off, as a ratio to no shim
ADD_TARGET = 300  # what recording may add on the calling thread beyond the copy of what crossed


def _get(run, *keys):
    for k in keys:
        if not isinstance(run, dict) or k not in run:
            return None
        run = run[k]
    return run


def _pair(before, after, fmt):
    return [("–" if v is None else fmt(v)) for v in (before, after)]


def _row(cells):
    return "| " + " | ".join(cells) + " |"


def _head(first, *measures):
    cells = [first] + [f"{m}: {side}" for m in measures for side in ("before", "after")]
    return [_row(cells), "|" + "---|" * len(cells)]


def _ratio(run, op, mode):
    calls = _get(run, "overhead", "modes")
    if not calls:
        return None
    return calls[mode][op]["calling"] / calls[NO_SHIM][op]["calling"]


def _adds(run, op):
    calls = _get(run, "overhead", "modes")
    return None if not calls else calls[RECORDING][op]["calling"] - calls[NO_SHIM][op]["calling"]


def _off(v):
    return f"{v:.3f}× " + ("ok" if v <= OFF_TARGET else "**miss**")


def _copy(run, op):
    section = _get(run, "overhead")
    return None if not section else added_copy(section, op)


def _beyond(run, op):
    """The shim's own instructions and its clock reads, counted in the
    recording run itself (figures saved before they were: what recording
    adds less the copy routines)."""
    shim = _get(run, "overhead", "modes", RECORDING, op, "shim")
    if shim is not None:
        return shim
    adds, copy = _adds(run, op), _copy(run, op)
    return None if adds is None or copy is None else adds - copy


def calling_thread(before, after):
    lines = _head("operation", "no shim (Ir/call)", "shim off / no shim", "recording / no shim",
                  "recording adds (Ir/call)", "of which the copy routines", "beyond them")
    for op in OPS:
        cells = [f"{LETTERS[op]} `{op}`"]
        cells += _pair(*(_get(r, "overhead", "modes", NO_SHIM, op, "calling") for r in (before, after)),
                       lambda v: f"{v:.0f}")
        cells += _pair(*(_ratio(r, op, OFF) for r in (before, after)), _off)
        cells += _pair(*(_ratio(r, op, RECORDING) for r in (before, after)), lambda v: f"{v:.2f}×")
        cells += _pair(*(_adds(r, op) for r in (before, after)), lambda v: f"{v:.0f}")
        cells += _pair(*(_copy(r, op) for r in (before, after)), lambda v: f"{v:.0f}")
        cells += _pair(*(_beyond(r, op) for r in (before, after)),
                       lambda v: f"{v:.0f} " + ("ok" if v <= ADD_TARGET else "**miss**"))
        lines.append(_row(cells))
    return "\n".join(lines)


def _threads(run, op):
    if not _get(run, "overhead"):
        return None
    v = _get(run, "overhead", "modes", RECORDING, op, "threads")
    return "none" if v is None else f"{v:.0f}"


def _writer(run, op):
    if not _get(run, "overhead"):
        return None
    w = _get(run, "overhead", "writer")
    return "n/a (no writer process)" if w is None else f"{w[op]:.0f}"


def writer(before, after):
    lines = _head("operation", "other threads of the process (Ir/call)", "writer process (Ir/call)")
    for op in OPS:
        cells = [f"{LETTERS[op]} `{op}`"]
        cells += _pair(*(_threads(r, op) for r in (before, after)), str)
        cells += _pair(*(_writer(r, op) for r in (before, after)), str)
        lines.append(_row(cells))
    return "\n".join(lines)


def latency(before, after):
    lines = _head("mode", *(f"{p} (ns)" for p in PERCENTILES))
    for mode in LATENCY_MODES:
        figures = [_get(r, "latency", "modes", mode) for r in (before, after)]
        cells = [mode]
        for key in PERCENTILES:
            cells += [("–" if f is None else f if isinstance(f, str) else f"{f[key]:,}") for f in figures]
        lines.append(_row(cells))
    return "\n".join(lines)


def reader(before, after):
    lines = _head("", "frames", "MB", "recording (s)", "show (s)", "stats (s)")
    figures = [_get(r, "reader") for r in (before, after)]
    cells = ["session"]
    for key in ("frames", "mb", "record_s", "show_s", "stats_s"):
        cells += [("–" if f is None else f"{f.get(key, '–')}") for f in figures]
    lines.append(_row(cells))
    for side, f in zip(("before", "after"), figures):
        if f and "error" in f:
            lines.append(f"\n{side}: {f['error']}")
    return "\n".join(lines)


def follower(before, after):
    lines = _head("", "frames", "a second", "CPU (s)", "CPU a frame (us)", "worst lag (s)", "done after (s)")
    figures = [_get(r, "follower") for r in (before, after)]
    cells = ["follower"]
    for key in ("frames", "rate", "cpu_s", "cpu_us_per_frame", "worst_lag_s", "end_lag_s"):
        cells += [("–" if f is None else f"{f.get(key, '–')}") for f in figures]
    lines.append(_row(cells))
    return "\n".join(lines)


def _floor(*runs):
    for run in runs:
        for m in (_get(run, "latency", "modes") or {}).values():
            if isinstance(m, dict) and "floor_p50" in m:
                return m["floor_p50"]
    return "–"


def _measured(run, name):
    section = _get(run, name)
    return "not measured" if not section else f"{section['revision']}, {section['date']}"


def _provenance(before, after):
    rows = ["| figures | before: commit, date | after: commit, date |", "|---|---|---|"]
    notes = []
    for name in ("overhead", "latency", "reader", "follower"):
        rows.append(_row([name, _measured(before, name), _measured(after, name)]))
        notes += [f"- {side}, {name}: {_get(run, name, 'note')}" for side, run in (("before", before), ("after", after))
                  if _get(run, name, "note")]
    return "\n".join(rows + ([""] + notes if notes else []))


def render(before, after):
    lat = _get(after, "latency") or _get(before, "latency") or {}
    return f"""# The recording core shim: what it costs

`make bench-recorder` (`python3.10 bench/recorder.py all --before bench/recorder-before.json`)
measures c_sdk from build/dev with the stand-in core (its call log off) and
writes this file: this run's figures ("after") beside those kept in
`bench/recorder-before.json` ("before"). `python3.10 bench/recorder.py
markdown --before A.json --after B.json` writes it again from two saved runs
(a run's own are in `bench/out/recorder/results.json`).

{_provenance(before, after)}

## Instructions per call on the calling thread

Callgrind with `--separate-threads=yes --trace-children=yes`, operations a-f
of `bench/run.py`, each N and 2N times between two dumps, minus the empty
loop, over N; the figure is the calling thread's alone. Ratios are to the
same call without the shim, counted in another process: a count can move
by 1-2% from one run to the next (the allocator's state), a recording one
also with when the shim writes. Targets: the shim present but off within
{OFF_TARGET:.2f}× of no shim; recording adds on the calling thread the copy of
what crossed plus at most {ADD_TARGET} instructions.

"Of which the copy routines" is what recording adds inside the C library's
memcpy, memmove and strlen (their own instructions, read from the same
dumps). "Beyond them" is what the shim executes itself, with its clock
reads, counted in the recording run alone: it moves with nothing but the
shim, while "recording adds" is a difference between two processes and
also moves with the interpreter's state (by 1-2%). It is judged against the
target. The stores of a tag and a number for each scalar argument count as
beyond, though they are that argument's copy. Under valgrind no vDSO is mapped, so each of the
two clock reads per call or event is counted as glibc's system call path
(about 10 instructions); on the machine itself a vDSO read costs more, and
is in the latencies below.

{calling_thread(before, after)}

## What recording costs elsewhere

What the recorded process's other threads execute during the same runs, and
the shim's writer process (`qvrec-writer`, a grandchild the measured process
adopts as a child subreaper): its instructions inside its passes over the
rings and its writes (callgrind's `--toggle-collect`), in a run of M calls
and in one of 2M calls (M = 10 N), the difference over M. What it does
while it waits for frames is left out: it grows with time, not with frames.
A shim that records on the calling thread has neither.

{writer(before, after)}

## Latency of a request-response call

`py_qvi_history_ticks_pb(req)` with a {lat.get("request_bytes", 51)}-byte request and a \
{lat.get("response_bytes", 256)}-byte response, {lat.get("calls", 10**6):,} calls
timed one by one in C (`benchctl.latencies`: CLOCK_MONOTONIC, clock source
{lat.get("clock", "unknown")}, read right before and right after each call),
after 10^4 warm-up calls, the collector off.
"writer stopped": the writer process is sent SIGSTOP before the calls and
SIGCONT after them. Each figure includes the two clock reads; with a call
of `len(req)` between them instead, the p50 is {_floor(after, before)} ns. Wall-clock
times on a machine shared with other jobs: the maximum is mostly the
scheduler's; nothing here is a test.

{latency(before, after)}

## The reader

`python3.10 bench/recorder.py reader`: a session of calls and events, half
each, recorded through the shim; then `show` and `stats` on it, each writing
to /dev/null (wall-clock times).

{reader(before, after)}

## The follower

`python3.10 bench/recorder.py follower`: the same strategy, recorded as fast
as its one thread calls, while a process of its own follows the file as
`qvcore-session metrics` does (the follower of `top` and `show --follow` is the
same reader). Its CPU a frame, the most it fell behind the end of a call or
event, and how long after the recorded process ended it had read the last
frame (it polls every 0.1 s).

{follower(before, after)}
"""
