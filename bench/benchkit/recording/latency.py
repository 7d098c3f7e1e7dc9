"""Wall-clock time of single request-response calls, one by one: no shim,
the shim off, recording, and recording while the writer process is stopped.

Each mode runs in a process of its own. It warms up, says it is ready and
waits; the process measuring it stops the writer (SIGSTOP on the recorded
process's child named qvrec-writer) when the mode asks for it, tells it to
go, and resumes the writer (SIGCONT) once the calls are timed. benchctl
times each call in C (the clock read right before and after the call).
"""

import gc
import os
import subprocess
import sys
import tempfile

from ..paths import log
from ..timing import latency_summary
from .common import (NO_SHIM, OFF, RECORDING, SCRIPT, SUBREAPER, build_benchctl, env_for, resume, said, say, stop,
                     wait_complete, wait_for_writers)

WRITER_STOPPED = RECORDING + ", writer stopped"
MODES = [NO_SHIM, OFF, RECORDING, WRITER_STOPPED]
NO_WRITER = "n/a (no writer process)"
REQUEST = b"SHSE.600000,2024-01-02 09:30:00,2024-01-02 15:00:00"  # 51 bytes, as operation a
RESPONSE = bytes(range(256))
WARMUP = 10_000


def worker(n):
    """Warms up, says "ready", and times n calls when told "go" on stdin."""
    import benchctl
    import c_sdk
    import qvcore_standin

    core = qvcore_standin.Core()
    core.reset()
    core.log_enabled(False)
    core.set_response("qvi_history_ticks_pb", RESPONSE)
    f = c_sdk.py_qvi_history_ticks_pb
    if f(REQUEST) != (0, RESPONSE):
        sys.exit(f"bench/recorder.py: the stand-in answered {f(REQUEST)!r}")
    benchctl.latencies(f, (REQUEST,), WARMUP)
    say({"ready": os.getpid()})
    if sys.stdin.readline().strip() != "go":
        return
    gc.disable()
    figures = latency_summary(benchctl.latencies(f, (REQUEST,), n))
    # What the two clock reads and a call of a builtin take by themselves.
    figures["floor_p50"] = latency_summary(benchctl.latencies(len, (REQUEST,), WARMUP))["p50"]
    say(figures)


def _one(mode, n, session):
    """The figures of one mode, or NO_WRITER."""
    env = env_for(mode, session)
    p = subprocess.Popen(SUBREAPER + [sys.executable, SCRIPT, "worker", "latency", "--latency-calls", str(n)], env=env,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    stopped = []
    try:
        ready = said(p.stdout.readline())
        if not ready:
            p.wait()
            sys.exit(f"bench/recorder.py: the {mode} worker did not start")
        pid = ready[0]["ready"]
        if mode == WRITER_STOPPED:
            stopped = wait_for_writers(pid)
            if not stopped:
                p.stdin.write("skip\n")
                p.stdin.flush()
                p.wait()
                return NO_WRITER
            for w in stopped:
                stop(w)
        p.stdin.write("go\n")
        p.stdin.flush()
        told = said(p.stdout.readline())
    finally:
        for w in stopped:
            resume(w)
    if p.wait() != 0 or not told:
        sys.exit(f"bench/recorder.py: the {mode} worker failed")
    figures = told[0]
    wait_complete(session)
    if os.path.exists(session):
        figures["file_mb"] = round(os.path.getsize(session) / 1e6, 1)
    return figures


def measure(n):
    """{mode: {"calls", "p50", "p99", "p99.9", "max" (ns), "file_mb"} or NO_WRITER}."""
    build_benchctl()
    results = {}
    with tempfile.TemporaryDirectory(prefix="c_sdk-latency-") as tmp:
        for i, mode in enumerate(MODES):
            log(f"bench/recorder.py: latency, {n} calls, {mode}")
            results[mode] = _one(mode, n, os.path.join(tmp, f"latency-{i}.qvs"))
    return {"calls": n, "request_bytes": len(REQUEST), "response_bytes": len(RESPONSE), "modes": results,
            "clock": _clocksource()}


def _clocksource():
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            return f.read().strip()
    except OSError:
        return "unknown"


PERCENTILES = ["p50", "p99", "p99.9", "max"]


def table(result):
    lines = ["| mode | " + " | ".join(f"{p} (ns)" for p in PERCENTILES) + " |", "|---|---|---|---|---|"]
    for mode in MODES:
        m = result["modes"].get(mode)
        if isinstance(m, dict):
            lines.append(f"| {mode} | " + " | ".join(f"{m[p]:,}" for p in PERCENTILES) + " |")
        else:
            lines.append(f"| {mode} | {m or '–'} | | | |")
    return "\n".join(lines)
