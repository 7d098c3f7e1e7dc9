"""The tables of bench/run.py's report."""

import glob
import json
import os
import platform
import subprocess
from importlib.metadata import version

from .paths import BENCH, BUILD_TITLES, MODULE_DIRS, WHEEL_TOLERANCE


TITLES = {"floor": "floor", "c_sdk": "c_sdk", "cython": "Cython", "nanobind": "nanobind", "pybind11": "pybind11",
          "ctypes": "ctypes / plain class", "dict": "dict"}


def verdict(op, ratios, peers):
    c = ratios.get("c_sdk")
    if c is None:
        return ""
    misses = []
    if op.target is not None and c > op.target:
        misses.append(f"target {op.target:.2f}×")
    beaten_by = [TITLES[p] for p in peers if p in ratios and ratios[p] <= c]
    if beaten_by:
        misses.append("not below " + ", ".join(beaten_by))
    return "ok" if not misses else "**miss**: " + "; ".join(misses)


def table(ops_, bindings, data, unit, fmt_abs, with_targets):
    import ops as ops_mod

    cols = [b for b in ops_mod.BINDINGS if b in bindings and b != "floor"]
    head = ["operation", f"floor ({unit})"]
    for b in cols:
        head.append(TITLES[b])
        if b == "c_sdk" and with_targets:
            head.append("c_sdk target")
    if with_targets and "c_sdk" in cols:
        head.append("c_sdk verdict")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for op in ops_:
        row = data.get(op.name)
        if not row or "floor" not in row:
            continue
        floor = row["floor"]
        ratios = {b: row[b] / floor for b in row if floor > 0}
        cells = [op.title + (" (floor: positional)" if op.overrides.get("floor") else ""), fmt_abs(floor)]
        for b in cols:
            cells.append(f"{ratios[b]:.2f}×" if b in ratios else "–")
            if b == "c_sdk" and with_targets:
                cells.append(f"≤ {op.target:.2f}×" if op.target else "below peers")
        if with_targets and "c_sdk" in cols:
            cells.append(verdict(op, ratios, ops_mod.PEERS))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def alloc_table(ops_, bindings, data):
    import ops as ops_mod

    cols = [b for b in ops_mod.BINDINGS if b in bindings]
    lines = ["| operation | " + " | ".join(TITLES[b] for b in cols) + " |", "|" + "---|" * (len(cols) + 1)]
    for op in ops_:
        row = data.get(op.name, {})
        if row:
            lines.append(f"| {op.title} | " + " | ".join(f"{row[b]:.2f}" if b in row else "–" for b in cols) + " |")
    return "\n".join(lines)


def versions():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    vg = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    return (f"CPython {platform.python_version()}, {vg}, {cpu}; Cython {version('Cython')}, "
            f"nanobind {version('nanobind')}, pybind11 {version('pybind11')}")


def builds_table(ops_, by_build):
    """c_sdk/floor per build of the module, and how much further from the
    floor the wheel's build is than the dev build's."""
    builds = [b for b in MODULE_DIRS if b in by_build]
    head = ["operation"] + [f"{BUILD_TITLES[b]}: floor (Ir), c_sdk" for b in builds]
    compare = builds == ["dev", "wheel"]
    if compare:
        head += ["wheel / dev", f"verdict (≤ +{WHEEL_TOLERANCE:.0%})"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for op in ops_:
        rows = [by_build[b].get(op.name, {}) for b in builds]
        if not all("floor" in r and "c_sdk" in r for r in rows):
            continue
        ratios = [r["c_sdk"] / r["floor"] for r in rows]
        cells = [op.title] + [f"{r['floor']:.0f}, {q:.3f}×" for r, q in zip(rows, ratios)]
        if compare:
            change = ratios[1] / ratios[0] - 1
            # Inclusive: exactly 3% further is within the target, whatever the float rounding.
            cells += [f"{change:+.1%}", "ok" if change <= WHEEL_TOLERANCE + 1e-9 else "**miss**"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def report(ops_, bindings, ir, ns, allocs, by_build=None):
    parts = []
    if ir:
        parts += ["## Instructions per call (callgrind), as a ratio to the floor\n",
                  table(ops_, bindings, ir, "Ir", lambda v: f"{v:.0f}", True), ""]
    if by_build and len(by_build) > 1 or by_build and "dev" not in by_build:
        parts += ["## The two builds of c_sdk: instructions per call, as a ratio to the floor\n",
                  builds_table(ops_, by_build), ""]
    if ns:
        parts += ["## Time per call (median of interleaved rounds), as a ratio to the floor\n",
                  table(ops_, bindings, ns, "ns", lambda v: f"{v:.1f}", False), ""]
    if allocs:
        parts += ["## Allocations per call (every allocator domain)\n", alloc_table(ops_, bindings, allocs), ""]
    return "\n".join(parts)


def other_interpreters(ops_, ir):
    """c_sdk's ratio to the floor on this interpreter and on each other one
    measured into bench/out-X.Y, side by side, with how much further from the
    floor each is (a ratio of ratios)."""
    others = []
    for path in sorted(glob.glob(os.path.join(BENCH, "out-*", "results.json"))):
        with open(path) as f:
            data = json.load(f)
        if data.get("instructions") and data.get("python"):
            others.append(data)
    if not ir or not others:
        return ""
    mine = platform_version()
    head = ["operation", f"CPython {mine}"]
    for o in others:
        head += [f"CPython {o['python']}", f"{o['python']} / {mine}"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for op in ops_:
        row = ir.get(op.name, {})
        if "c_sdk" not in row or not row.get("floor"):
            continue
        base = row["c_sdk"] / row["floor"]
        cells = [op.title, f"{base:.2f}×"]
        for o in others:
            other = o["instructions"].get(op.name, {})
            if "c_sdk" in other and other.get("floor"):
                ratio = other["c_sdk"] / other["floor"]
                cells += [f"{ratio:.2f}×", f"{ratio / base:.3f}"]
            else:
                cells += ["–", "–"]
        lines.append("| " + " | ".join(cells) + " |")
    return ("## c_sdk's instructions per call as a ratio to the floor, interpreter by interpreter\n\n"
            "Each interpreter's floor is the same hand-written C built for it and measured in the same run "
            "as c_sdk; the last column says how much further from its floor c_sdk is there than here.\n\n"
            + "\n".join(lines) + "\n\n" + NEWER_INTERPRETERS)


NEWER_INTERPRETERS = """Where c_sdk is further from its floor on a newer interpreter, the floor has
moved, not c_sdk. The newer interpreters' specialising `CALL` runs the
interpreter's own builtin-function objects (the floor's `METH_FASTCALL`
functions) through an inline path, without the generic vectorcall dispatch
that 3.10 charges them (`cfunction_vectorcall_FASTCALL` and the result check,
some 35 instructions a call), while a call of any other callable type (c_sdk's
function objects, Cython's and nanobind's alike) still takes the generic path
(`CALL_NON_PY_GENERAL`). c_sdk's own functions cost what they cost on 3.10
(`--annotate`: the same instructions in `invoke`, `pair_result` and the cached
module-attribute reads, which use a dict watcher there instead of the version
tag), and its absolute count per call is lower on 3.14 than on 3.10 for every
call but `qvi_now()`; the peers move by as much or more.
"""


def platform_version():
    return platform.python_version()
