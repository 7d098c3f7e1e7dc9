"""The measured operations and the bindings that perform them.

Every binding is a module with the same attribute names as c_sdk
(``py_qvi_history_ticks_pb``, ``TickLikeDict2``, ...), so an operation is
written once: a loop body over a few local names, and how to make those
names from a binding's module. ``dict`` is a reference for the record rows
only: the same access on the plain dict the records hold.
"""

from dataclasses import dataclass, field
from itertools import repeat
from typing import Callable, Dict, List, Optional

#: Column order of every table; the floor first.
BINDINGS = ["floor", "c_sdk", "cython", "nanobind", "pybind11", "ctypes", "dict"]
#: The peers c_sdk must stay below (the floor and the dict reference are not peers).
PEERS = ["cython", "nanobind", "pybind11", "ctypes"]
MODULES = {
    "floor": "floor_sdk",
    "c_sdk": "c_sdk",
    "cython": "cy_sdk",
    "nanobind": "nb_sdk",
    "pybind11": "pb_sdk",
    "ctypes": "ct_sdk",
}

REQ_TEXT = "SHSE.600000,2024-01-02 09:30:00,2024-01-02 15:00:00"
REQ = REQ_TEXT.encode("ascii")
SETTER_ARGS = (b"2024-01-02 09:30:00", b"2024-06-28 15:00:00", 1000000.0, 1.0, 0.0001, 0.0, 0.001, 1.0, 1.0, 1, 0, 1)
SUBSCRIBE_ARGS = ("SHSE.600000,SZSE.000001", "tick", True)
EVENT = (b"tick", REQ)
RECORD = {"symbol": "SHSE.600000", "price": 10.5, "close": 10.25}


@dataclass
class Op:
    name: str
    title: str  # the call as a user writes it
    kind: str  # "call", "event" or "record"
    stmt: str = ""  # loop body, over the names that `make` returns
    make: Optional[Callable] = None  # module -> {name: value}
    core_fn: Optional[str] = None  # the one core function a call reaches
    target: Optional[float] = None  # c_sdk's ceiling, instructions as a ratio to the floor
    overrides: Dict[str, str] = field(default_factory=dict)  # binding -> loop body
    programs: List[Callable] = field(default_factory=list)  # core -> None, each checked in turn
    bindings: List[str] = field(default_factory=lambda: [b for b in BINDINGS if b != "dict"])

    def body(self, binding):
        return self.overrides.get(binding, self.stmt)


def _status(fn, value=7):
    def program(core):
        core.set_status(fn, value)

    return program


def _unchanged(core):
    pass


def _call(name, title, attr, args, stmt, core_fn, target=None, overrides=None, programs=None):
    def make(module):
        env = {"f": getattr(module, attr)}
        env.update({f"a{i}": a for i, a in enumerate(args)})
        return env

    return Op(name, title, "call", stmt, make, core_fn, target, overrides or {},
              programs or [_unchanged, _status(core_fn)])


def _record(name, title, cls, stmt, dict_stmt, extra=None):
    def make(module):
        data = dict(RECORD)
        env = {"o": data if module is None else getattr(module, cls)(data), "d": data}
        env.update(extra or {})
        return env

    return Op(name, title, "record", stmt, make, overrides={"dict": dict_stmt}, bindings=list(BINDINGS))


def _args(n):
    return ", ".join(f"a{i}" for i in range(n))


OPS = [
    _call("request_response", "`py_qvi_history_ticks_pb(req)`", "py_qvi_history_ticks_pb", [REQ], "f(a0)",
          "qvi_history_ticks_pb", 1.15),
    _call("request_response_kw", "`py_qvi_history_ticks_pb(req=req)`", "py_qvi_history_ticks_pb", [REQ],
          "f(req=a0)", "qvi_history_ticks_pb", 1.30, overrides={"floor": "f(a0)"}),
    _call("adapter_bytes", "`py_qvi_place_order(b\"...\")`", "py_qvi_place_order", [REQ], "f(a0)",
          "qvi_place_order_pb", 1.35),
    _call("adapter_str", "`py_qvi_place_order(\"...\")`", "py_qvi_place_order", [REQ_TEXT], "f(a0)",
          "qvi_place_order_pb", 1.6),
    _call("setter12", "`py_qvi_set_backtest_config(b\"...\", b\"...\", 7 floats, 3 ints)`",
          "py_qvi_set_backtest_config", SETTER_ARGS, f"f({_args(12)})", "qvi_set_backtest_config", 1.3),
    Op("event", "one event through the entry point to `f(msg_type, payload)`", "event", target=1.15),
    _call("direct", "`qvi_now()`", "qvi_now", [], "f()", "qvi_now", programs=[_unchanged, lambda c: c.set_now(42)]),
    _call("subscribe", "`py_qvi_subscribe(\"...\", \"tick\", True)`", "py_qvi_subscribe", SUBSCRIBE_ARGS,
          f"f({_args(3)})", "qvi_subscribe"),
    _record("record_read", "`tick.price`", "TickLikeDict2", "o.price", "o['price']"),
    _record("record_write", "`tick.price = v`", "TickLikeDict2", "o.price = v", "o['price'] = v", {"v": 11.0}),
    _record("record_contains", "`\"close\" in bar`", "BarLikeDict2", "k in o", "k in o", {"k": "close"}),
]
OPS_BY_NAME = {op.name: op for op in OPS}


def compile_loop(stmt, names):
    """A function running `stmt` once per item of its first argument, with
    `names` as its other (local) arguments."""
    params = ", ".join(["_it", *names])
    src = f"def loop({params}):\n    for _ in _it:\n        {stmt}\n"
    ns = {}
    exec(compile(src, f"<loop: {stmt}>", "exec"), ns)
    return ns["loop"]


def python_runner(stmt, env):
    names = sorted(env)
    loop = compile_loop(stmt, names)
    values = [env[k] for k in names]
    return lambda n: loop(repeat(None, n), *values)


EMPTY = python_runner("pass", {})


def runner(op, binding, module, fire, address):
    """A function running op n times through binding's module; events go to
    the entry point at address through fire (benchctl.fire), from the
    calling thread."""
    if op.kind == "event":
        msg, payload = EVENT
        return lambda n: fire(address, n, msg, payload)
    return python_runner(op.body(binding), op.make(module))


def empty(op, fire, noop_address):
    """The same loop around nothing: for events, an entry point that does nothing."""
    return runner(op, None, None, fire, noop_address) if op.kind == "event" else EMPTY
