"""Benchmark of the crossing: c_sdk against a hand-written floor and the usual
ways of writing the same binding (Cython, nanobind, pybind11, ctypes).

    python3.10 bench/run.py                       # everything; writes results.md / results.png
    python3.10 bench/run.py --only request_response --bindings c_sdk,floor
    python3.10 bench/run.py --only adapter_str --annotate          # + where c_sdk's instructions go
    python3.10 bench/run.py --list                                 # the operations
    python3.10 bench/run.py --builds wheel --bindings c_sdk --no-timing --no-alloc   # the wheel's module

Steps: (re)build c_sdk's dev build (build/dev), the wheel's build of the
module (build/bench-wheel: Zig's toolchain, the wheel's flags) and bench's own modules
(bench/out/build), check that every binding gives the same result and makes
the same single core call, count instructions per call under callgrind, time
the calls in interleaved rounds, count allocations per call, report. All
bindings call the one stand-in core that c_sdk loads, with its call log off.

Started with any CPython 3.10, the script creates bench/out/venv from
bench/requirements.txt on first use and re-runs itself there.
"""

import argparse
import json
import os
import sys

from . import results
from .annotate import annotate
from .building import bootstrap, build, in_bench_venv
from .callgrind import callgrind_worker, run_callgrind
from .paths import BENCH, IS_REFERENCE, MODULE_DIRS, OUT, ROOT, log
from .peers import Harness
from .report import platform_version, report
from .timing import allocations, timing


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--only", help="comma-separated operations (see --list); default: all")
    p.add_argument("--bindings", help="comma-separated bindings (the floor is always measured); default: all")
    p.add_argument("--annotate", nargs="?", const="c_sdk", metavar="BINDINGS",
                   help="print callgrind's per-function breakdown for these bindings "
                        "(default c_sdk; c_sdk@wheel: the wheel's build)")
    p.add_argument("--top", type=int, default=25, help="functions per breakdown (default 25)")
    p.add_argument("--list", action="store_true", help="list the operations and exit")
    p.add_argument("--no-build", action="store_true", help="do not rebuild c_sdk and the bench modules")
    p.add_argument("--builds", default="dev,wheel",
                   help="builds of c_sdk to count instructions of: dev (system compiler, all bindings), "
                        "wheel (the release wheels' Zig build, c_sdk and the floor); default: dev,wheel")
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--no-timing", action="store_true")
    p.add_argument("--no-alloc", action="store_true")
    p.add_argument("--calls", type=int, default=1000, help="N for callgrind's N/2N runs (default 1000)")
    p.add_argument("--rounds", type=int, default=31, help="interleaved timing rounds (default 31)")
    p.add_argument("--sample-ms", type=float, default=1.0, help="length of the floor's timed sample (default 1)")
    p.add_argument("--workers", type=int, default=max(1, min(2, os.cpu_count() or 1)),
                   help="parallel callgrind processes (default: 2)")
    p.add_argument("--write", action=argparse.BooleanOptionalAction, default=None,
                   help="write bench/results.md and results.png (default: only for a full run)")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--jobs", help=argparse.SUPPRESS)
    return p.parse_args()


def main():
    args = parse_args()
    if not in_bench_venv():
        bootstrap()
    if args.worker == "callgrind":
        return callgrind_worker(args)

    sys.path.insert(0, BENCH)
    import ops as ops_mod

    if args.list:
        for op in ops_mod.OPS:
            print(f"{op.name:22} {op.title}")
        return 0
    selected_ops = ops_mod.OPS
    if args.only:
        unknown = [o for o in args.only.split(",") if o not in ops_mod.OPS_BY_NAME]
        if unknown:
            sys.exit(f"unknown operation(s) {unknown}; --list shows them")
        selected_ops = [ops_mod.OPS_BY_NAME[o] for o in args.only.split(",")]
    bindings = ops_mod.BINDINGS
    if args.bindings:
        unknown = [b for b in args.bindings.split(",") if b not in ops_mod.BINDINGS]
        if unknown:
            sys.exit(f"unknown binding(s) {unknown}; choose from {ops_mod.BINDINGS}")
        bindings = [b for b in ops_mod.BINDINGS if b == "floor" or b in args.bindings.split(",")]
    builds = args.builds.split(",")
    unknown = [b for b in builds if b not in MODULE_DIRS]
    if unknown or not builds:
        sys.exit(f"unknown build(s) {unknown}; choose from {list(MODULE_DIRS)}")
    full = not args.only and not args.bindings and builds == list(MODULE_DIRS)
    write = args.write if args.write is not None else full and not (args.no_callgrind or args.no_timing)

    if not args.no_build:
        build(builds)
    h = Harness()
    log("bench: checking that every binding gives the same results and core calls")
    failures = h.check(selected_ops, bindings)
    if failures:
        sys.exit("bench: the bindings disagree:\n  " + "\n  ".join(failures))

    ir, files, by_build = {}, {}, {}
    if not args.no_callgrind:
        if "dev" in builds:
            ir, files = run_callgrind(selected_ops, bindings, args.calls, args.workers)
            by_build["dev"] = ir
        if "wheel" in builds:
            wheel_bindings = [b for b in bindings if b in ("floor", "c_sdk")]
            by_build["wheel"], wheel_files = run_callgrind(selected_ops, wheel_bindings, args.calls, args.workers,
                                                           "wheel")
            files.update({(op, f"{b}@wheel"): f for (op, b), f in wheel_files.items()})
    ns = {} if args.no_timing else timing(h, selected_ops, bindings, args.rounds, args.sample_ms)
    allocs = {} if args.no_alloc else allocations(h, selected_ops, bindings)

    text = report(selected_ops, bindings, ir, ns, allocs, by_build)
    print(text)
    for build_name, counts in by_build.items():
        for op in selected_ops:
            for b in ops_mod.BINDINGS:
                if b in counts.get(op.name, {}):
                    print(f"{op.name:22} {b:9} {build_name:5} {counts[op.name][b]:9.1f} Ir/call")
    if args.annotate and files:
        for op in selected_ops:
            for b in args.annotate.split(","):
                if (op.name, b) in files:
                    print(annotate(files, args.calls, op.name, b, args.top))
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump({"python": platform_version(), "instructions": ir, "instructions_by_build": by_build, "ns": ns,
                   "allocations": allocs}, f, indent=1)
    if not IS_REFERENCE:
        log(f"bench: wrote {os.path.relpath(OUT, ROOT)}/results.json; the next full run on CPython 3.10 "
            "shows it in results.md")
    elif write:
        results.write(selected_ops, bindings, text, ir, ns)
        log("bench: wrote bench/results.md and bench/results.png")
    return 0

