#!/usr/bin/env python3
"""What the recording core shim costs, and how fast its reader is.

    python3.10 bench/recorder.py overhead [--calls N]   # callgrind, operations a-f
    python3.10 bench/recorder.py reader [--frames N]    # show/stats on a file of N frames (default 10^6)

overhead: instructions per call under callgrind (N and 2N runs between two
dumps each, minus the empty loop, over N; as bench/run.py does) for c_sdk
from build/dev, without the shim, with the shim preloaded but off, and with
it recording; printed as Ir/call and as ratios to no shim, written to
bench/recorder.md. Operations a-f are bench/run.py's first six:

    a request_response   b request_response_kw   c adapter_bytes
    d adapter_str        e setter12              f event

reader: records a session of N frames (calls and events, through the shim)
and times `show` and `stats` on it, each writing to /dev/null.
Needs `make dev` first; overhead needs valgrind. Nothing here asserts a time.
"""

import argparse
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)
# The measuring method is bench/run.py's: its warm-up and its reading of the dumps.
from benchkit.callgrind import WARMUP, parse_dumps  # noqa: E402
ROOT = os.path.dirname(BENCH)
STAGE = os.path.join(ROOT, "build", "dev", "stage")
OUT = os.path.join(BENCH, "out", "recorder")
SHIM = os.path.join(STAGE, "qvcore_recorder.so")
OPS = ["request_response", "request_response_kw", "adapter_bytes", "adapter_str", "setter12", "event"]
LETTERS = dict(zip(OPS, "abcdef"))
MODES = ["no shim", "shim off", "recording"]


def paths():
    return [OUT, BENCH, os.path.join(ROOT, "standin", "qv"), os.path.join(ROOT, "standin", "python"), STAGE]


def build_benchctl():
    """bench/ctl/benchctl.c on its own (the callgrind client requests), without the peers' build."""
    os.makedirs(OUT, exist_ok=True)
    target = os.path.join(OUT, "benchctl" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(BENCH, "ctl", "benchctl.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", source, "-o",
                        target], check=True)


def env_for(mode, session):
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.pathsep.join(paths()))
    if mode != "no shim":
        env["LD_PRELOAD"] = SHIM
    if mode == "recording":
        env.update(C_SDK_RECORD="1", C_SDK_RECORD_FILE=session)
    return env


def worker(n):
    """Runs under callgrind: every operation a-f, N and 2N times between dumps."""
    import gc

    import benchctl
    import c_sdk
    import ops
    import qvcore_standin

    core = qvcore_standin.Core()
    core.reset()
    core.log_enabled(False)
    c_sdk.py_qvi_set_data_callback(lambda t, p: None)
    gc.disable()
    for name in OPS:
        op = ops.OPS_BY_NAME[name]
        if op.kind == "event":
            address, (msg, payload) = core.callback_address(), ops.EVENT
            run = lambda k, a=address, m=msg, p=payload: benchctl.fire(a, k, m, p)  # noqa: E731
            noop = benchctl.noop_address()
            empty = lambda k, a=noop, m=msg, p=payload: benchctl.fire(a, k, m, p)  # noqa: E731
        else:
            run = ops.python_runner(op.body("c_sdk"), op.make(c_sdk))
            empty = ops.EMPTY
        for label, loop in (("empty", empty), ("op", run)):
            loop(WARMUP)
            for k in (1, 2):
                benchctl.dump(f"{name}|{label}|reset")
                loop(k * n)
                benchctl.dump(f"{name}|{label}|{k}")


def overhead(n):
    build_benchctl()
    results = {}
    procs = []
    for i, mode in enumerate(MODES):
        directory = os.path.join(OUT, f"callgrind-{i}")
        subprocess.run(["rm", "-rf", directory], check=True)
        os.makedirs(directory)
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={directory}/cg.%p", "--dump-instr=no",
               "--collect-jumps=no", sys.executable, os.path.abspath(__file__), "worker", "--calls", str(n)]
        session = os.path.join(OUT, "overhead.qvs")
        procs.append((mode, directory, subprocess.Popen(cmd, env=env_for(mode, session), stdout=subprocess.PIPE,
                                                        stderr=subprocess.STDOUT, text=True)))
        if len(procs) == 2 or i == len(MODES) - 1:  # two at a time: the machine is shared
            for mode_, directory_, p in procs:
                output = p.communicate()[0]
                if p.returncode != 0:
                    sys.exit(f"{mode_}: the callgrind worker failed:\n{output}")
                d = {label: total for label, (total, _) in parse_dumps(directory_).items()}
                results[mode_] = {op: ((d[f"{op}|op|2"] - d[f"{op}|op|1"]) - (d[f"{op}|empty|2"] - d[f"{op}|empty|1"]))
                                  / n for op in OPS}
            procs = []
    lines = ["| operation | no shim (Ir/call) | shim off | recording | recording adds (Ir/call) |",
             "|---|---|---|---|---|"]
    for op in OPS:
        base = results["no shim"][op]
        off, rec = results["shim off"][op], results["recording"][op]
        row = f"| {LETTERS[op]} `{op}` | {base:.0f} | {off / base:.3f}x | {rec / base:.2f}x | {rec - base:.0f} |"
        lines.append(row)
    table = "\n".join(lines)
    print(table)
    results = os.path.join(BENCH, "recorder.md")
    reader_part = ""
    if os.path.exists(results):
        old = open(results).read()
        reader_part = old[old.index("\n## The reader"):] if "\n## The reader" in old else ""
    with open(results, "w") as f:
        f.write("# The recording core shim: instructions per call\n\n"
                f"`python3.10 bench/recorder.py overhead --calls {n}` (callgrind, c_sdk from build/dev, the stand-in "
                "core with its call log off). Ratios to the same call without the shim.\n\n" + table + "\n"
                + reader_part)


RECORD = r"""
import sys, c_sdk, qvcore_standin
core = qvcore_standin.Core()
core.log_enabled(False)
core.set_response("qvi_history_ticks_pb", b"r" * 40)
c_sdk.py_qvi_set_data_callback(lambda t, p: None)
frames, batch = int(sys.argv[1]), 1000
req = b"SHSE.600000,2024-01-02 09:30:00,2024-01-02 15:00:00"
done = 0
while done < frames:
    for i in range(batch // 2):
        core.queue_event(b"tick", b"p" * 60)
    for i in range(batch // 2 - 1):
        c_sdk.py_qvi_history_ticks_pb(req)
    c_sdk.qvi_poll()
    done += batch
"""


def reader(frames):
    with tempfile.TemporaryDirectory(prefix="c_sdk-reader-") as tmp:
        path = os.path.join(tmp, "big.qvs")
        t = time.perf_counter()
        subprocess.run([sys.executable, "-c", RECORD, str(frames)], env=env_for("recording", path), check=True)
        recorded = time.perf_counter() - t
        sys.path[:0] = paths()
        import qvcore_session

        count = sum(1 for _ in qvcore_session.Session(path))
        size = os.path.getsize(path)
        lines = [f"recorded {count} frames, {size / 1e6:.1f} MB ({size / count:.0f} bytes a frame) in {recorded:.1f} s"]
        for command in ("show", "stats"):
            t = time.perf_counter()
            with open(os.devnull, "w") as null:
                subprocess.run([sys.executable, "-m", "qvcore_session", command, path], stdout=null, check=True,
                               env=env_for("no shim", path))
            lines.append(f"{command}: {time.perf_counter() - t:.1f} s for {count} frames")
        print("\n".join(lines))
    # The figures go below the overhead table, replacing those of an earlier run.
    results = os.path.join(BENCH, "recorder.md")
    text = open(results).read() if os.path.exists(results) else "# The recording core shim\n"
    text = text.split("\n## The reader")[0].rstrip("\n")
    with open(results, "w") as f:
        f.write(text + "\n\n## The reader\n\n`python3.10 bench/recorder.py reader` (calls and events, half each; "
                "wall-clock time on a shared machine):\n\n" + "\n".join(f"- {line}" for line in lines) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("what", choices=["overhead", "reader", "worker"])
    ap.add_argument("--calls", type=int, default=1000)
    ap.add_argument("--frames", type=int, default=1_000_000)
    args = ap.parse_args()
    if args.what == "worker":
        sys.path[:0] = paths()
        return worker(args.calls)
    if not os.path.exists(SHIM):
        sys.exit("bench/recorder.py: no build/dev/stage/qvcore_recorder.so: run `make dev` first")
    return overhead(args.calls) if args.what == "overhead" else reader(args.frames)


if __name__ == "__main__":
    sys.exit(main())
