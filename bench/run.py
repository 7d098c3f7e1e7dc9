#!/usr/bin/env python3
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
import glob
import os
import re
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
# The reference interpreter writes results.md and the chart; any other one
# (3.14, run in the chroot: `make bench PYTHON_VERSION=3.14` there) measures
# into a directory of its own, whose results.json the reference run shows
# beside its own figures.
REFERENCE = (3, 10)
MINOR = "%d.%d" % sys.version_info[:2]
OUT = os.path.join(BENCH, "out" if sys.version_info[:2] == REFERENCE else "out-" + MINOR)
VENV = os.path.join(OUT, "venv")
VENV_PY = os.path.join(VENV, "bin", "python")
REQUIREMENTS = os.path.join(BENCH, "requirements.txt")
CHART_REQUIREMENTS = os.path.join(BENCH, "requirements-chart.txt")
C_SDK_BUILD = os.path.join(ROOT, "build", "dev" if sys.version_info[:2] == REFERENCE else "dev-" + MINOR)
STAGE = os.path.join(C_SDK_BUILD, "stage")
PEER_BUILD = os.path.join(OUT, "build")
PEER_STAGE = os.path.join(PEER_BUILD, "stage")
CORE_PATH = os.path.join(STAGE, "zadiv3-e.so")
# The module as the release wheels build it (cmake/zig-toolchain.cmake, Release),
# measured in a folder of its own next to the dev build's core: the core is
# the user's (the real one replaces the stand-in), so only the module differs.
SUFFIX = "" if sys.version_info[:2] == REFERENCE else "-" + MINOR
WHEEL_BUILD = os.path.join(ROOT, "build", "bench-wheel" + SUFFIX)
WHEEL_MODULE_DIR = os.path.join(WHEEL_BUILD, "module")
MODULE_DIRS = {"dev": STAGE, "wheel": WHEEL_MODULE_DIR}
BUILD_TITLES = {"dev": "dev build (system g++, libstdc++)", "wheel": "wheel build (Zig's clang, static libc++)"}
# How much further from the floor the wheel's module may be than the dev build's.
WHEEL_TOLERANCE = 0.03


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# ---- environment -----------------------------------------------------------------


def in_bench_venv():
    return os.path.realpath(sys.prefix) == os.path.realpath(VENV)


def bootstrap():
    """Creates/updates the bench venv and re-runs this script inside it."""
    if sys.version_info[:2] < REFERENCE:
        sys.exit(f"bench/run.py needs CPython 3.10 or newer, not {sys.version.split()[0]}")
    stamp = os.path.join(VENV, "requirements.installed")
    wanted_files = [REQUIREMENTS] + ([CHART_REQUIREMENTS] if sys.version_info[:2] == REFERENCE else [])
    wanted = "".join(open(p).read() for p in wanted_files)
    if not os.path.exists(VENV_PY):
        log("bench: creating", os.path.relpath(VENV, ROOT))
        subprocess.run([sys.executable, "-m", "venv", VENV], check=True)
    installed = open(stamp).read() if os.path.exists(stamp) else None
    if installed != wanted:
        log("bench: installing", os.path.relpath(REQUIREMENTS, ROOT))
        pip_pin = os.path.join(ROOT, "requirements-pip.txt")
        subprocess.run([VENV_PY, "-m", "pip", "install", "--quiet", "--upgrade", "-r", pip_pin], check=True)
        for p in wanted_files:
            subprocess.run([VENV_PY, "-m", "pip", "install", "--quiet", "-r", p], check=True)
        with open(stamp, "w") as f:
            f.write(wanted)
    os.execv(VENV_PY, [VENV_PY, os.path.abspath(__file__), *sys.argv[1:]])


def run_quiet(cmd, what, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        sys.stderr.write(r.stdout + r.stderr)
        sys.exit(f"bench: {what} failed ({' '.join(cmd)})")


def zig_executable():
    """The pinned zig of the tools venv (make tools installs it), or C_SDK_ZIG."""
    if os.environ.get("C_SDK_ZIG"):
        return os.environ["C_SDK_ZIG"]
    run_quiet(["make", "-C", ROOT, "--no-print-directory", "tools"], "make tools")
    tools_py = os.path.join(ROOT, ".venv-tools", "bin", "python")
    code = "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    return subprocess.run([tools_py, "-c", code], capture_output=True, text=True, check=True).stdout.strip()


def build_wheel_module():
    import glob
    import shutil

    env = dict(os.environ, C_SDK_ZIG=zig_executable(), ZIG_GLOBAL_CACHE_DIR=os.path.join(ROOT, "build", "zig-cache"))
    if not os.path.exists(os.path.join(WHEEL_BUILD, "build.ninja")):
        log(f"bench: configuring {os.path.relpath(WHEEL_BUILD, ROOT)} (Zig's toolchain, as the wheels)")
        run_quiet(["cmake", "-S", ROOT, "-B", WHEEL_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                   f"-DCMAKE_TOOLCHAIN_FILE={os.path.join(ROOT, 'cmake', 'zig-toolchain.cmake')}",
                   f"-DPython_EXECUTABLE={sys.executable}", "-DC_SDK_TYPE_STUBS=OFF"], "wheel build configure",
                  env=env)
    log(f"bench: building the wheel's module ({os.path.relpath(WHEEL_BUILD, ROOT)})")
    run_quiet(["cmake", "--build", WHEEL_BUILD, "--target", "c_sdk"], "wheel build", env=env)
    os.makedirs(WHEEL_MODULE_DIR, exist_ok=True)
    for old in glob.glob(os.path.join(WHEEL_MODULE_DIR, "*")):
        os.remove(old)
    for module in glob.glob(os.path.join(WHEEL_BUILD, "stage", "c_sdk.*.so")):
        shutil.copy2(module, WHEEL_MODULE_DIR)
    os.symlink(CORE_PATH, os.path.join(WHEEL_MODULE_DIR, "zadiv3-e.so"))


def build(builds):
    if os.path.exists(os.path.join(C_SDK_BUILD, "build.ninja")):
        log(f"bench: building c_sdk ({os.path.relpath(C_SDK_BUILD, ROOT)})")
        run_quiet(["cmake", "--build", C_SDK_BUILD], "c_sdk build")
    else:
        log(f"bench: make dev ({os.path.relpath(C_SDK_BUILD, ROOT)})")
        run_quiet(["make", "-C", ROOT, "dev", f"PYTHON_VERSION={MINOR}", f"PYTHON={sys._base_executable}",
                   f"DEV_DIR={os.path.relpath(C_SDK_BUILD, ROOT)}"], "make dev")
    if not os.path.exists(os.path.join(PEER_BUILD, "CMakeCache.txt")):
        log(f"bench: configuring {os.path.relpath(PEER_BUILD, ROOT)}")
        run_quiet(["cmake", "-S", BENCH, "-B", PEER_BUILD, "-G", "Ninja", f"-DPython_EXECUTABLE={VENV_PY}",
                   f"-DC_SDK_STAGE_DIR={STAGE}"], "bench configure")
    log(f"bench: building floor and peers ({os.path.relpath(PEER_BUILD, ROOT)})")
    run_quiet(["cmake", "--build", PEER_BUILD], "bench build")
    if "wheel" in builds:
        build_wheel_module()


def import_bindings():
    # BENCH_C_SDK_BUILD (set for the callgrind workers) picks which build of c_sdk this process measures.
    module_dir = MODULE_DIRS[os.environ.get("BENCH_C_SDK_BUILD", "dev")]
    for p in (os.path.join(BENCH, "peers"), PEER_STAGE, os.path.join(ROOT, "standin", "qv"),
              os.path.join(ROOT, "standin", "python"), STAGE, module_dir, BENCH):
        sys.path.insert(0, p)
    os.environ["QV_CORE_LIBRARY"] = CORE_PATH
    import importlib

    import c_sdk
    import ops

    if os.path.dirname(os.path.realpath(c_sdk.__file__)) != os.path.realpath(module_dir):
        sys.exit(f"bench: c_sdk came from {c_sdk.__file__}, not {module_dir}")
    modules = {b: importlib.import_module(m) for b, m in ops.MODULES.items()}
    modules["dict"] = None
    return modules


# ---- the harness -------------------------------------------------------------------


def on_event(msg_type, payload):
    pass


class Harness:
    def __init__(self):
        self.modules = import_bindings()
        import benchctl
        import ops
        import qvcore_standin

        self.ctl, self.ops = benchctl, ops
        self.core = qvcore_standin.Core(CORE_PATH)
        self.standin = qvcore_standin
        self.core.reset()
        self.core.log_enabled(False)
        self.addresses = {}
        for b, m in self.modules.items():
            if m is not None:
                self.addresses[b] = self.register(b, on_event)

    def register(self, binding, callable_):
        self.modules[binding].py_qvi_set_data_callback(callable_)
        return self.core.callback_address()

    def runner(self, op, binding):
        if op.kind == "event":
            addr, (msg, payload) = self.addresses[binding], self.ops.EVENT
            return lambda n: self.ctl.fire(addr, n, msg, payload)
        return self.ops.python_runner(op.body(binding), op.make(self.modules[binding]))

    def empty(self, op):
        if op.kind == "event":
            addr, (msg, payload) = self.ctl.noop_address(), self.ops.EVENT
            return lambda n: self.ctl.fire(addr, n, msg, payload)
        return self.ops.EMPTY

    # ---- equality check --------------------------------------------------------

    def normalized_calls(self):
        s = self.standin

        def arg(a):
            if isinstance(a, s.Buffer):
                return ("buffer", a.length, a.data, a.nul_follows)
            if isinstance(a, s.Text):
                return ("text", a.value)
            if isinstance(a, (s.OutPtr, s.FnPtr)):
                return (type(a).__name__,)
            return (type(a).__name__, repr(a))

        return [(c.fn, tuple(arg(a) for a in c.args)) for c in self.core.calls()]

    def observe(self, op, binding):
        """What one operation observably does: its value (or the events
        received), the record's mapping afterwards, the core calls made."""
        if op.kind == "event":
            got = []
            self.register(binding, lambda *a: got.append(a))
            self.core.clear_calls()
            self.core.queue_event(*self.ops.EVENT)
            self.core.lib.qvi_poll()  # ctypes: the entry point is entered without the lock
            polled = self.normalized_calls()
            self.core.clear_calls()
            self.ctl.fire(self.core.callback_address(), 1, *self.ops.EVENT)
            fired = self.normalized_calls()
            self.addresses[binding] = self.register(binding, on_event)
            return {"received": got, "calls_while_polled": polled, "calls_while_fired": fired}
        env = op.make(self.modules[binding])
        body = op.body(binding)
        self.core.clear_calls()
        try:
            value = eval(compile(body, "<op>", "eval"), {}, env)
        except SyntaxError:
            exec(compile(body, "<op>", "exec"), {}, env)
            value = None
        calls = self.normalized_calls()
        return {"value": value, "mapping": dict(env.get("d", {})), "calls": calls}

    def check(self, ops_, bindings):
        failures = []
        self.core.log_enabled(True)
        try:
            for op in ops_:
                for program in op.programs or [lambda core: None]:
                    self.core.reset()
                    program(self.core)
                    seen = {b: self.observe(op, b) for b in op.bindings if b in bindings}
                    ref = seen["floor"]
                    if op.kind == "call" and (len(ref["calls"]) != 1 or ref["calls"][0][0] != op.core_fn):
                        failures.append(f"{op.name}: the floor made {ref['calls']} instead of one {op.core_fn} call")
                    if op.kind == "record" and ref["calls"]:
                        failures.append(f"{op.name}: the floor called the core: {ref['calls']}")
                    if op.kind == "event":
                        want = [("tick", self.ops.EVENT[1])] * 2
                        if not same(ref["received"], want) or ref["calls_while_fired"]:
                            failures.append(f"{op.name}: the floor's entry point misbehaves: {ref}")
                    for b, obs in seen.items():
                        if not same(obs, ref):
                            failures.append(f"{op.name}: {b} gives {obs!r}\n    the floor gives {ref!r}")
        finally:
            self.core.reset()
            self.core.log_enabled(False)
        return failures


def same(a, b):
    """Equal, with equal types all the way down (0 == False, 1.0 == 1 are not the same result)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


# ---- callgrind -----------------------------------------------------------------------

WARMUP = 1500  # above the 1024 runs after which CPython 3.10 caches a code object's global/attribute lookups


def callgrind_worker(args):
    """Runs under valgrind: per job, the operation N and 2N times, each
    between two dumps of callgrind's counters; the empty loop per operation
    the same way."""
    import gc

    h = Harness()
    ops_by_name = h.ops.OPS_BY_NAME
    jobs = [j.split(":") for j in args.jobs.split(",")]
    n = args.calls
    gc.disable()
    for op_name in dict.fromkeys(o for o, _ in jobs):
        op = ops_by_name[op_name]
        runs = [("empty", h.empty(op))] + [(b, h.runner(op, b)) for o, b in jobs if o == op_name]
        for b, run in runs:
            run(WARMUP)
            for k in (1, 2):
                # A dump resets every counter (a zero request leaves the
                # per-function costs), so each measured run sits between two.
                h.ctl.dump(f"{op_name}|{b}|reset")
                run(k * n)
                h.ctl.dump(f"{op_name}|{b}|{k}")


CLIENT_REQUEST = "desc: Trigger: Client Request: "


def parse_dumps(directory):
    found = {}
    for name in os.listdir(directory):
        label = total = None
        with open(os.path.join(directory, name)) as f:
            for line in f:
                if line.startswith(CLIENT_REQUEST):
                    label = line[len(CLIENT_REQUEST):].strip()
                elif line.startswith("summary:"):
                    total = int(line.split()[1])
        if label and total is not None:
            found[label] = (total, os.path.join(directory, name))
    return found


def run_callgrind(ops_, bindings, n, workers, c_sdk_build="dev"):
    import shutil

    if shutil.which("valgrind") is None:
        sys.exit("bench: valgrind is not installed (apt-get install valgrind), or pass --no-callgrind")
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
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={lane_dir}/cg.%p", "--dump-instr=no",
               "--collect-jumps=no", sys.executable, os.path.abspath(__file__), "--worker", "callgrind",
               "--jobs", ",".join(f"{o}:{b}" for o, b in lane), "--calls", str(n)]
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
        for (op_name, b) in {tuple(k.split("|")[:2]) for k in dumps if k.count("|") == 2}:
            if b == "empty":
                continue
            (s1, f1), (s2, f2) = dumps[f"{op_name}|{b}|1"], dumps[f"{op_name}|{b}|2"]
            (e1, g1), (e2, g2) = dumps[f"{op_name}|empty|1"], dumps[f"{op_name}|empty|2"]
            results.setdefault(op_name, {})[b] = ((s2 - s1) - (e2 - e1)) / n
            files[(op_name, b)] = (f1, f2, g1, g2)
    return results, files


def read_profile(path):
    """Self and outgoing-call instructions per function of one callgrind dump
    (written with --dump-instr=no): {(object, function): [self, calls]}."""
    names = {}

    def name(kind, field):
        field = field.strip()
        if field.startswith("("):
            ident, _, text = field[1:].partition(")")
            if text.strip():
                names[(kind, ident)] = text.strip()
            return names.get((kind, ident), ident)
        return field

    costs = {}
    ob = fn = None
    after_calls = False
    with open(path) as f:
        for line in f:
            if not line.strip():
                continue
            key, eq, value = line.partition("=")
            if eq and key in ("ob", "fn", "cob", "cfn", "fl", "fi", "fe", "cfi", "cfl", "calls"):
                if key == "ob":
                    ob = name("ob", value)
                elif key == "fn":
                    fn = (os.path.basename(ob or ""), name("fn", value))
                elif key == "cob":
                    name("ob", value)
                elif key == "cfn":
                    name("fn", value)
                elif key == "calls":
                    after_calls = True
                continue
            if fn is None or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            fields = line.split()
            entry = costs.setdefault(fn, [0, 0])
            entry[1 if after_calls else 0] += int(fields[1]) if len(fields) > 1 else 0
            after_calls = False
    return costs


def annotate(files, n, op_name, binding, top):
    """Instructions per call by function: (2N run - N run) - (the same for the
    empty loop), over N. `self` is the function's own instructions, `+calls`
    what the calls it makes cost (inclusive = self + calls)."""
    f1, f2, g1, g2 = files[(op_name, binding)]
    c = [read_profile(p) for p in (f1, f2, g1, g2)]
    keys = set().union(*c)

    def per_call(k, i):
        v = [x.get(k, [0, 0])[i] for x in c]
        return ((v[1] - v[0]) - (v[3] - v[2])) / n

    rows = [(per_call(k, 0), per_call(k, 1), k) for k in keys]
    total = sum(r[0] for r in rows)
    rows = sorted((r for r in rows if abs(r[0]) >= 0.5), key=lambda r: -r[0])[:top]
    names = demangle([fn for _, _, (_, fn) in rows])
    rows = [(a, b, (ob, names.get(fn, fn))) for a, b, (ob, fn) in rows]
    lines = [f"\n{op_name} / {binding}: {total:.1f} instructions per call, by function",
             f"{'self':>8} {'+calls':>8}  function [object]"]
    for self_cost, calls, (ob, fn) in rows:
        lines.append(f"{self_cost:8.1f} {calls:8.1f}  {brief(fn)} [{ob}]")
    return "\n".join(lines)


def demangle(symbols):
    """{mangled: demangled} for the names valgrind left mangled (too long for it)."""
    mangled = [s for s in symbols if s.startswith("_Z")]
    if not mangled:
        return {}
    try:
        out = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True,
                             check=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        return {}
    return {m: d if d != m else readable(m) for m, d in zip(mangled, out)}


def readable(sym):
    """What c++filt gives up on (the longest template names): the nested name
    and the first template argument when it is a function, e.g.
    c_sdk::invoke<&qvi_set_backtest_config…>; `{local}` marks an entity
    defined inside that function (a lambda)."""
    local = sym.startswith("_ZZ")
    i = 3 if local else 2
    if sym[i:i + 1] != "N":
        return sym
    i += 1
    parts = []
    while i < len(sym) and sym[i].isdigit():
        j = i
        while sym[j].isdigit():
            j += 1
        n = int(sym[i:j])
        parts.append(sym[j:j + n])
        i = j + n
    name = "::".join(parts)
    first = re.match(r"IXadL_Z(\d+)", sym[i:])
    if first:
        start = i + first.end()
        name += f"<&{sym[start:start + int(first.group(1))]}…>"
    return name + ("::{local}" if local else "")


def brief(fn):
    """A C++ name without its parameter list, its anonymous namespaces and
    all but the first argument of each template: c_sdk::invoke<&qvi_now…>."""
    if fn.endswith(")"):
        depth = 0
        for i in range(len(fn) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(fn[i], 0)
            if depth == 0:
                fn = fn[:i] if i > 0 else fn
                break
    fn = fn.replace("(anonymous namespace)::", "")
    out, depth, skipping = [], 0, False
    for ch in fn:
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
            if depth == 0 and skipping:
                out.append("…")
                skipping = False
        elif ch == "," and depth == 1:
            skipping = True
        if not skipping:
            out.append(ch)
    return "".join(out)


# ---- timing and allocations --------------------------------------------------------------


def timing(h, ops_, bindings, rounds, target_ms):
    import gc
    import statistics
    import time

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
    import gc

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


# ---- report ------------------------------------------------------------------------------

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
    import platform
    from importlib.metadata import version

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
    import json

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
    import platform

    return platform.python_version()


MARKDOWN_HEAD = """# Crossing benchmark

Produced by `make bench` ({versions}). Regenerate with `make bench`; see
`bench/README.md` for the method and for re-running one operation.

![instructions and time per call, as a ratio to the floor](results.png)

"""

MARKDOWN_NOTES = """
Reading the tables: the floor is hand-written C (METH_FASTCALL) doing what
c_sdk observably does for these arguments and nothing else; every other
column is that binding's cost divided by the floor's. Instructions exclude
the benchmark's empty loop; times are the median over interleaved rounds in
one process, minus the empty loop timed in the same round. "ctypes / plain
class" is the ctypes module for the calls and the same module's plain
`__slots__` record classes for the record rows; "dict" is the bare dict
access, a reference for the record rows. Allocation counts include the
returned objects (a tuple of 2 comes from the interpreter's free list, so
it allocates nothing).
"""


def chart(ops_, bindings, ir, ns, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import ops as ops_mod

    cols = [b for b in ops_mod.BINDINGS if b in bindings and b != "floor"]
    panels = [(ir, "instructions per call / floor"), (ns, "time per call / floor")]
    panels = [(d, t) for d, t in panels if d]
    fig, axes = plt.subplots(len(panels), 1, figsize=(14, 4.8 * len(panels)), squeeze=False)
    names = [op.name for op in ops_ if op.name in (ir or ns)]
    width = 0.8 / len(cols)
    colours = dict(zip(ops_mod.BINDINGS[1:], ["#d62728", "#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#7f7f7f"]))
    for ax, (data, label) in zip(axes[:, 0], panels):
        top = 1.0
        for i, b in enumerate(cols):
            bars = [(j - 0.4 + width * (i + 0.5), data[name][b] / data[name]["floor"], name)
                    for j, name in enumerate(names)
                    if b in data.get(name, {}) and data[name].get("floor")]
            ax.bar([x for x, _, _ in bars], [y for _, y, _ in bars], width, label=TITLES[b], color=colours[b])
            top = max([top, *(y for _, y, _ in bars)])
            if b == "c_sdk" and data is ir:
                for x, _, name in bars:
                    target = ops_mod.OPS_BY_NAME[name].target
                    if target:
                        ax.plot([x - 0.8 * width, x + 0.8 * width], [target, target], color="black", linewidth=1.5)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_ylim(0.4, top * 4)
        ax.set_ylabel(label + " (log)")
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, rotation=20, ha="right")
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(ncol=len(cols), fontsize=8, loc="upper left")
    if ir:
        axes[0, 0].set_title("black ticks over c_sdk: its targets", fontsize=9)
    fig.suptitle("c_sdk and the usual ways of writing the binding, against hand-written C (= 1)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


# ---- main --------------------------------------------------------------------------------


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
    import json

    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump({"python": platform_version(), "instructions": ir, "instructions_by_build": by_build, "ns": ns,
                   "allocations": allocs}, f, indent=1)
    if sys.version_info[:2] != REFERENCE:
        log(f"bench: wrote {os.path.relpath(OUT, ROOT)}/results.json; the next full run on CPython 3.10 "
            "shows it in results.md")
    elif write:
        with open(os.path.join(BENCH, "results.md"), "w") as f:
            f.write(MARKDOWN_HEAD.format(versions=versions()) + text + "\n" + other_interpreters(selected_ops, ir)
                    + MARKDOWN_NOTES)
        chart(selected_ops, bindings, ir, ns, os.path.join(BENCH, "results.png"))
        log("bench: wrote bench/results.md and bench/results.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
