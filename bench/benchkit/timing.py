"""Time and allocations per call, measured in one process; and the latency
of single calls, timed one by one."""

import gc
import statistics
import time
from array import array

from .callgrind import WARMUP
from .paths import log


def timing(h, ops_, bindings, rounds, target_ms):
    clock = time.perf_counter_ns
    results = {}
    gc.disable()
    try:
        for op in ops_:
            bs = [b for b in op.bindings if b in bindings]
            runs = {b: h.runner(op, b) for b in bs}
            empty = h.empty(op)
            for run in [empty, *runs.values()]:
                run(WARMUP)
            floor_ns = float("inf")
            for _ in range(3):
                t0 = clock()
                runs["floor"](2000)
                floor_ns = max(min(floor_ns, (clock() - t0) / 2000), 1.0)
            n = max(500, int(target_ms * 1e6 / floor_ns))
            samples = {b: [] for b in bs}
            for r in range(rounds):
                order = bs[r % len(bs):] + bs[: r % len(bs)]
                t0 = clock()
                empty(n)
                e = clock() - t0
                for b in order:
                    t0 = clock()
                    runs[b](n)
                    samples[b].append((clock() - t0 - e) / n)
            results[op.name] = {b: statistics.median(s) for b, s in samples.items()}
            log(f"bench: timed {op.name} ({rounds} rounds of {n} calls)")
    finally:
        gc.enable()
    return results


def allocations(h, ops_, bindings, n=2000):
    results = {}
    gc.disable()
    try:
        for op in ops_:
            empty = h.empty(op)
            empty(WARMUP)
            h.ctl.count_allocations(True)
            empty(n)
            base = h.ctl.count_allocations(False)
            for b in op.bindings:
                if b not in bindings:
                    continue
                run = h.runner(op, b)
                run(WARMUP)
                h.ctl.count_allocations(True)
                run(n)
                results.setdefault(op.name, {})[b] = (h.ctl.count_allocations(False) - base) / n
    finally:
        gc.enable()
    return results


def latency_summary(ns):
    """p50, p99, p99.9 and max (ns) of per-call times, as benchctl.latencies returns them."""
    samples = array("q")
    samples.frombytes(ns)
    s = sorted(samples)
    last = len(s) - 1
    return {"calls": len(s), "p50": s[last // 2], "p99": s[round(0.99 * last)], "p99.9": s[round(0.999 * last)],
            "max": s[-1]}
