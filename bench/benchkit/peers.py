"""The bindings in one process: importing them, the loops that run an
operation through each, and the check that they all do the same thing."""

import os
import sys

from .paths import BENCH, CORE_PATH, MODULE_DIRS, PEER_STAGE, ROOT, STAGE


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
        return self.ops.runner(op, binding, self.modules[binding], self.ctl.fire, self.addresses.get(binding))

    def empty(self, op):
        return self.ops.empty(op, self.ctl.fire, self.ctl.noop_address())

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
