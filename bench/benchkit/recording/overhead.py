"""Instructions per call of operations a-f under callgrind, without the shim,
with it preloaded but off, and recording.

Threads are counted apart (--separate-threads=yes): the figure is the
calling thread's; what other threads of the recorded process do in the same
runs is reported apart. The shim's writer process (a child, followed with
--trace-children=yes) makes no dumps of its own, so its instructions are
its totals at exit, counted only inside its passes over the rings and its
writes: a run of each operation with M calls and one with 2M calls
(M = 10 N), (2M run - M run) / M.
"""

import gc
import os
import shutil
import subprocess
import sys
from collections import defaultdict

from ..callgrind import WARMUP, ensure_valgrind, measured_runs, per_call, read_dumps, valgrind_command
from ..paths import log
from .common import (LETTERS, MODES, NO_SHIM, OPS, OUT, RECORDING, SCRIPT, SHIM, SUBREAPER, build_benchctl, env_for,
                     said, say, wait_gone, writers)
from .copying import split_instructions

VALGRIND_OPTIONS = ["--separate-threads=yes", "--trace-children=yes"]
# In the writer's runs only its work on frames is counted: its passes over
# the rings (taking, checksumming, gathering) and its writes. What it does
# while it waits grows with time, not with frames.
WRITER_OPTIONS = VALGRIND_OPTIONS + ["--toggle-collect=*Drain::pass*", "--toggle-collect=*SessionFile::flush*"]
PARALLEL = 2  # callgrind processes at a time: the machine is shared
# The writer's runs make WRITER_SCALE times more calls than the calling
# thread's: its totals include whatever it does while idle, which grows with
# time, not with calls.
WRITER_SCALE = 10
WRITER_EXIT_SECONDS = 300


def runners(op_name):
    """(empty loop, the operation's loop) for c_sdk, each taking a number of calls."""
    import benchctl
    import c_sdk
    import ops
    import qvcore_standin

    core = qvcore_standin.Core()
    core.reset()
    core.log_enabled(False)
    c_sdk.py_qvi_set_data_callback(lambda t, p: None)
    op = ops.OPS_BY_NAME[op_name]
    return (ops.empty(op, benchctl.fire, benchctl.noop_address()),
            ops.runner(op, "c_sdk", c_sdk, benchctl.fire, core.callback_address()))


def worker(n, only=None):
    """Under callgrind. Without `only`: every operation a-f, N and 2N times
    between dumps. With `only`: that operation WARMUP + N times, no dumps (the
    writer's totals at exit are what is read)."""
    import benchctl

    gc.disable()
    if only:
        run = runners(only)[1]
        run(WARMUP + n)
    else:
        for name in OPS:
            empty, run = runners(name)
            measured_runs(benchctl.dump, name, [("empty", empty), ("op", run)], n)
    say({"pid": os.getpid(), "writers": writers(os.getpid())})


def _run_all(jobs, options=VALGRIND_OPTIONS):
    """Runs (directory, argv, env) jobs under callgrind, PARALLEL at a time;
    returns what each worker said. The output goes to files, not pipes: a
    writer process may hold what it inherited after the worker has ended."""
    out = [None] * len(jobs)
    for start in range(0, len(jobs), PARALLEL):
        procs = []
        for i in range(start, min(start + PARALLEL, len(jobs))):
            directory, argv, env = jobs[i]
            shutil.rmtree(directory, ignore_errors=True)
            os.makedirs(directory)
            output = open(directory + ".out", "w+")
            cmd = SUBREAPER + valgrind_command(directory, argv, options)
            procs.append((i, output, subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                                      stderr=subprocess.STDOUT)))
        for i, output, p in procs:
            with output:
                p.wait()
                output.seek(0)
                text = output.read()
            told = said(text)
            if p.returncode != 0 or not told:
                sys.exit(f"bench/recorder.py: a callgrind worker failed ({' '.join(jobs[i][1])}):\n{text}")
            out[i] = told[-1]
    return out


def _by_thread(directory, pid):
    """{thread: {label: instructions}} of the worker's labelled dumps, and
    of its calling thread {label: instructions in the copy routines} and
    {label: instructions of the shim's own code and clock reads}."""
    threads = defaultdict(dict)
    copies, own = {}, {}
    for d in read_dumps(directory):
        if d.pid == pid and d.label:
            threads[d.thread][d.label] = d.total
            if d.thread == 1:
                copies[d.label], own[d.label] = split_instructions(d.path, os.path.basename(SHIM))
    return threads, copies, own


def _children_total(directory, told):
    """Instructions of every process but the worker (its writer), at their exit."""
    wait_gone(told["writers"], WRITER_EXIT_SECONDS)
    return sum(d.total for d in read_dumps(directory) if d.pid != told["pid"] and not d.label)


def measure(n):
    """{"modes": {mode: {op: {"calling": Ir/call, "threads": Ir/call or None}}},
    "writer": {op: Ir/call} or None, "writer_processes": bool}."""
    ensure_valgrind("install it to measure the shim's overhead")
    build_benchctl()
    session = os.path.join(OUT, "overhead.qvs")
    base = os.path.join(OUT, "callgrind")
    jobs = [(os.path.join(base, f"mode-{i}"), [sys.executable, SCRIPT, "worker", "overhead", "--calls", str(n)],
             env_for(mode, session)) for i, mode in enumerate(MODES)]
    log(f"bench/recorder.py: callgrind, operations a-f, {len(MODES)} modes")
    told = _run_all(jobs)
    modes = {}
    for mode, (directory, _, _), t in zip(MODES, jobs, told):
        threads, copies, own = _by_thread(directory, t["pid"])
        others = [th for th in threads if th != 1]
        modes[mode] = {op: {"calling": per_call(threads[1], op, "op", n), "copy": per_call(copies, op, "op", n),
                            "shim": per_call(own, op, "op", n),
                            "threads": sum(per_call(threads[th], op, "op", n, missing=0) for th in others)
                            if others else None} for op in OPS}
    recording = told[MODES.index(RECORDING)]
    writer_processes = bool(recording["writers"]) or any(
        d.pid != recording["pid"] for d in read_dumps(jobs[MODES.index(RECORDING)][0]))
    writer = None
    if writer_processes:
        log(f"bench/recorder.py: callgrind, the writer process: each operation {WRITER_SCALE}N and {2 * WRITER_SCALE}N "
            "times")
        wjobs = [(os.path.join(base, f"writer-{op}-{k}"),
                  [sys.executable, SCRIPT, "worker", "overhead", "--calls", str(k * n * WRITER_SCALE), "--only", op],
                  env_for(RECORDING, os.path.join(OUT, f"writer-{op}-{k}.qvs"))) for op in OPS for k in (1, 2)]
        wtold = _run_all(wjobs, WRITER_OPTIONS)
        totals = [_children_total(directory, t) for (directory, _, _), t in zip(wjobs, wtold)]
        writer = {op: (totals[2 * i + 1] - totals[2 * i]) / (n * WRITER_SCALE) for i, op in enumerate(OPS)}
    return {"calls": n, "modes": modes, "writer": writer, "writer_processes": writer_processes}


def table(result):
    """The figures of one run as a table that can be pasted."""
    lines = ["| operation | no shim (Ir/call) | shim off | recording: calling thread | recording adds | "
             "of which the copy routines | the shim's own and its clock reads | other threads | writer process |",
             "|---|---|---|---|---|---|---|---|---|"]
    m = result["modes"]
    for op in OPS:
        base, off, rec = (m[mode][op]["calling"] for mode in MODES)
        copy = added_copy(result, op)
        threads = m[RECORDING][op]["threads"]
        writer = result.get("writer")
        lines.append(f"| {LETTERS[op]} `{op}` | {base:.0f} | {off / base:.3f}× | {rec / base:.2f}× | "
                     f"{rec - base:.0f} | {'–' if copy is None else f'{copy:.0f}'} | "
                     f"{m[RECORDING][op].get('shim', 0):.0f} | "
                     f"{'–' if threads is None else f'{threads:.0f}'} | "
                     f"{'n/a' if writer is None else f'{writer[op]:.0f}'} |")
    return "\n".join(lines)


def added_copy(result, op):
    """What recording adds in the copy routines on the calling thread (None
    for figures saved before it was measured)."""
    m = result["modes"]
    if "copy" not in m[RECORDING][op]:
        return None
    return m[RECORDING][op]["copy"] - m[NO_SHIM][op]["copy"]
