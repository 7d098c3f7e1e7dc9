"""Instructions per call under callgrind.

An operation runs N and 2N times (after WARMUP runs), each run between two
callgrind dumps; its cost per call is (2N run - N run) - (the same for the
empty loop), over N. bench/run.py's workers and bench/recorder.py's share
the loop (measured_runs), the valgrind command and the reading of the dumps.
"""

import os
import shutil
import subprocess
import sys
from collections import namedtuple

from .paths import OUT, RUN_SCRIPT, log

WARMUP = 1500  # above the 1024 runs after which CPython 3.10 caches a code object's global/attribute lookups
CLIENT_REQUEST = "desc: Trigger: Client Request: "


def measured_runs(dump, prefix, runs, n):
    """Each (label, run) of runs: WARMUP calls, then N and 2N calls, each
    between two dumps labelled prefix|label|reset and prefix|label|k."""
    for label, run in runs:
        run(WARMUP)
        for k in (1, 2):
            # A dump resets every counter (a zero request leaves the
            # per-function costs), so each measured run sits between two.
            dump(f"{prefix}|{label}|reset")
            run(k * n)
            dump(f"{prefix}|{label}|{k}")


def ensure_valgrind(hint="pass --no-callgrind"):
    if shutil.which("valgrind") is None:
        sys.exit(f"bench: valgrind is not installed (apt-get install valgrind), or {hint}")


def valgrind_command(directory, argv, options=()):
    """callgrind on argv, one output file per process (and thread, with
    --separate-threads=yes) in directory."""
    return ["valgrind", "--tool=callgrind", f"--callgrind-out-file={directory}/cg.%p", "--dump-instr=no",
            "--collect-jumps=no", *options, *argv]


Dump = namedtuple("Dump", "label total path pid thread")


def read_dumps(directory):
    """Every dump in directory: its label (None for the one written at exit),
    total instructions, file, process and thread (1 unless the threads were
    counted apart)."""
    found = []
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        label = total = pid = None
        thread = 1
        with open(path) as f:
            for line in f:
                if line.startswith(CLIENT_REQUEST):
                    label = line[len(CLIENT_REQUEST):].strip()
                elif line.startswith("pid:"):
                    pid = int(line.split()[1])
                elif line.startswith("thread:"):
                    thread = int(line.split()[1])
                elif line.startswith("summary:"):
                    total = int(line.split()[1])
                    break
        if total is not None:
            found.append(Dump(label, total, path, pid, thread))
    return found


def parse_dumps(directory, thread=1):
    """{label: (total, file)} of one thread's labelled dumps (the main thread's by default)."""
    return {d.label: (d.total, d.path) for d in read_dumps(directory) if d.label and d.thread == thread}


def per_call(totals, prefix, label, n, missing=None):
    """(2N run - N run) - (the same for the empty loop), over N; totals:
    {dump label: instructions}. A dump missing from totals counts as
    `missing` when one is given (a thread that did not exist then)."""
    def get(key):
        return totals[key] if missing is None else totals.get(key, missing)

    def run(which):
        return get(f"{prefix}|{which}|2") - get(f"{prefix}|{which}|1")

    return (run(label) - run("empty")) / n


def callgrind_worker(args):
    """Runs under valgrind: per job, the operation N and 2N times, each
    between two dumps of callgrind's counters; the empty loop per operation
    the same way."""
    import gc

    from .peers import Harness

    h = Harness()
    ops_by_name = h.ops.OPS_BY_NAME
    jobs = [j.split(":") for j in args.jobs.split(",")]
    gc.disable()
    for op_name in dict.fromkeys(o for o, _ in jobs):
        op = ops_by_name[op_name]
        runs = [("empty", h.empty(op))] + [(b, h.runner(op, b)) for o, b in jobs if o == op_name]
        measured_runs(h.ctl.dump, op_name, runs, args.calls)


def run_callgrind(ops_, bindings, n, workers, c_sdk_build="dev"):
    ensure_valgrind()
    jobs = [(op.name, b) for op in ops_ for b in op.bindings if b in bindings]
    weight = {"ctypes": 12, "pybind11": 4, "nanobind": 3, "cython": 3}
    lanes = [[] for _ in range(max(1, min(workers, len(jobs))))]
    loads = [0] * len(lanes)
    for job in sorted(jobs, key=lambda j: -weight.get(j[1], 2)):
        i = loads.index(min(loads))
        lanes[i].append(job)
        loads[i] += weight.get(job[1], 2)
    directory = os.path.join(OUT, "callgrind" if c_sdk_build == "dev" else f"callgrind-{c_sdk_build}")
    shutil.rmtree(directory, ignore_errors=True)
    procs = []
    for i, lane in enumerate(lanes):
        lane_dir = os.path.join(directory, f"w{i}")
        os.makedirs(lane_dir)
        cmd = valgrind_command(lane_dir, [sys.executable, RUN_SCRIPT, "--worker", "callgrind",
                                          "--jobs", ",".join(f"{o}:{b}" for o, b in lane), "--calls", str(n)])
        env = dict(os.environ, PYTHONHASHSEED="0", BENCH_C_SDK_BUILD=c_sdk_build)
        procs.append((subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env),
                      lane_dir))
    log(f"bench: callgrind, {len(jobs)} measurements in {len(procs)} processes ({c_sdk_build} build of c_sdk)")
    results, files = {}, {}
    for p, lane_dir in procs:
        output = p.communicate()[0]
        if p.returncode != 0:
            sys.stderr.write(output)
            sys.exit("bench: a callgrind worker failed")
        dumps = parse_dumps(lane_dir)
        totals = {label: total for label, (total, _) in dumps.items()}
        for (op_name, b) in {tuple(k.split("|")[:2]) for k in dumps if k.count("|") == 2}:
            if b == "empty":
                continue
            results.setdefault(op_name, {})[b] = per_call(totals, op_name, b, n)
            files[(op_name, b)] = tuple(dumps[f"{op_name}|{x}|{k}"][1] for x in (b, "empty") for k in (1, 2))
    return results, files
