"""The public surface of a built c_sdk module, read from the module itself.

Every callable over a core function describes its call in ``__core__``
(parameters with their kinds, shape, result, core function, whether it goes
through the adapter); the rest of the namespace (constants, helpers, record
classes) is read by introspection. ``gen_stubs.py`` and ``gen_reference.py``
turn this into the type stubs and the reference documentation, so both
follow the compiled tables and never a copy of them.

What the module cannot say about itself (the types of the helpers' and the
record members' parameters) is declared here once; ``load`` refuses a module
whose helpers or record members differ from these declarations (their
parameter names and defaults, as ``inspect.signature`` reads them from the
module), so that a change in the module cannot go unnoticed by the generated
files.
"""

import importlib
import inspect
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
QV_STANDIN = os.path.join(ROOT, "standin", "qv")

# Parameter kinds: the Python type a parameter accepts, without and with the
# adapter (which turns str arguments into ASCII bytes before the call).
KIND_TYPES = {
    "bytes": ("bytes | bytearray", "str | bytes | bytearray"),
    "request": ("bytes | bytearray", "str | bytes | bytearray"),
    "int": ("SupportsInt", "SupportsInt"),
    "float": ("SupportsFloat | SupportsIndex", "SupportsFloat | SupportsIndex"),
    "flag": ("object", "object"),
    "any": ("Callable[[str, bytes], object]", "Callable[[str, bytes], object]"),
}

RESULT_TYPES = {
    "pair": "tuple[int, bytes] | tuple[int, None]",
    "int": "int",
    "float": "float",
    "none": "None",
    "bytes": "bytes",
    "bytes-or-none": "bytes | None",
}

SHAPES = ("request-response", "command", "setter", "getter", "text-out")

# The helpers: parameters (name, annotation, default or None) and result.
HELPERS = {
    "is_windows": ((), "bool"),
    "is_linux": ((), "bool"),
    "adapt_to_python3": ((("func", "Callable[..., _R]", None),), "Callable[..., _R]"),
    "c_status_ok": ((("status", "int", None),), "bool"),
    "c_status_fail": ((("status", "int", None), ("cfunname", "str", "''")), "bool"),
}

# Record members: parameters after self and the result.
RECORD_METHODS = {
    "__init__": ((("data", "_Mapping"),), "None"),
    "__getitem__": ((("item", "Any"),), "Any"),
    "__setitem__": ((("item", "Any"), ("value", "Any")), "None"),
    "__contains__": ((("key", "object"),), "bool"),
    "__getattr__": ((("item", "str"),), "Any"),
    "__setattr__": ((("item", "str"), ("value", "Any")), "None"),
    "__str__": ((), "str"),
    "__repr__": ((), "str"),
}

# Module constants and imported modules, with their stub annotations.
CONSTANTS = {
    "CSDK_OPERATE_SUCCESS": "int",
    "qvsdklogger": "_Logger",
    "IS_PY2": "bool",
    "IS_PY3": "bool",
}
MODULES = ("functools", "platform")


@dataclass
class Callable_:
    """A callable of the namespace: a wrapper, a direct callable or a helper."""

    name: str
    category: str  # "wrapper" | "direct" | "helper"
    params: Tuple[Tuple[str, str], ...]  # (name, kind); kind "" for helpers
    shape: str = ""
    result: str = ""
    core: str = ""
    adapted: bool = False
    doc: Optional[str] = None

    def param_type(self, kind: str) -> str:
        return KIND_TYPES[kind][self.adapted]

    @property
    def result_type(self) -> str:
        return RESULT_TYPES[self.result]


@dataclass
class Record:
    name: str
    methods: List[str]
    fields: List[Tuple[str, bool]]  # (name, writable)


@dataclass
class Api:
    module: Any
    order: List[str]  # public names in binding order
    constants: Dict[str, str] = field(default_factory=dict)
    modules: List[str] = field(default_factory=list)
    records: List[Record] = field(default_factory=list)
    helpers: List[Callable_] = field(default_factory=list)
    wrappers: List[Callable_] = field(default_factory=list)
    direct: List[Callable_] = field(default_factory=list)


class ApiMismatch(RuntimeError):
    """The module has something this file does not declare, or lacks something it does."""


def import_module(module_dir: Optional[str] = None):
    """Imports c_sdk from ``module_dir`` (else from the path), with the stand-in qv if no qv is found."""
    if module_dir is not None:
        sys.path.insert(0, os.path.abspath(module_dir))
    try:
        importlib.import_module("qv.constant")
    except ImportError:
        sys.path.append(QV_STANDIN)
    module = importlib.import_module("c_sdk")
    if module_dir is not None:
        found = os.path.dirname(os.path.abspath(module.__file__))
        if found != os.path.abspath(module_dir):
            raise ApiMismatch(f"c_sdk was imported from {found}, not from {module_dir}")
    return module


def _callable(name: str, obj: Any) -> Callable_:
    core = obj.__core__
    if core["shape"] not in SHAPES or core["result"] not in RESULT_TYPES:
        raise ApiMismatch(f"{name}: unknown shape or result in {core!r}")
    for pname, kind in core["params"]:
        if kind not in KIND_TYPES:
            raise ApiMismatch(f"{name}: parameter {pname} has an unknown kind {kind!r}")
    category = "direct" if obj.__name__ == "wrap" else "wrapper"
    return Callable_(name, category, tuple(core["params"]), core["shape"], core["result"], core["core"],
                     bool(core["adapted"]), obj.__doc__)


def _check_signature(name: str, obj: Any, declared) -> None:
    """``declared``: (name, default text or None) per parameter, as the module should bind them."""
    found = [(p.name, None if p.default is p.empty else repr(p.default))
             for p in inspect.signature(obj).parameters.values()]
    if found != list(declared):
        raise ApiMismatch(f"{name} binds {found}, declared {list(declared)}")


def _record(name: str, cls: type) -> Record:
    methods, fields = [], []
    for key, value in vars(cls).items():
        if key in ("__module__", "__qualname__", "__slots__", "__doc__", "data"):
            continue
        if isinstance(value, property):
            fields.append((key, value.fset is not None))
        elif key in RECORD_METHODS:
            params = RECORD_METHODS[key][0]
            _check_signature(f"{name}.{key}", value, [("self", None)] + [(p, None) for p, _ in params])
            methods.append(key)
        else:
            raise ApiMismatch(f"{name}.{key} is neither a field nor a known record method")
    return Record(name, methods, fields)


def load(module_dir: Optional[str] = None) -> Api:
    module = import_module(module_dir)
    api = Api(module, [])
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        api.order.append(name)
        is_function = type(value).__module__ == "c_sdk" and type(value).__name__ == "function"
        if name in MODULES:
            api.modules.append(name)
        elif name in CONSTANTS:
            api.constants[name] = CONSTANTS[name]
        elif isinstance(value, type):
            api.records.append(_record(name, value))
        elif is_function and value.__core__ is None:
            if name not in HELPERS:
                raise ApiMismatch(f"{name} is a helper without a declared signature")
            _check_signature(name, value, [(p, d) for p, _, d in HELPERS[name][0]])
            api.helpers.append(Callable_(name, "helper", (), doc=value.__doc__))
        elif is_function:
            entry = _callable(name, value)
            (api.direct if entry.category == "direct" else api.wrappers).append(entry)
        elif name == "f":
            continue  # the registered event callable, not part of the module's own namespace
        else:
            raise ApiMismatch(f"{name} ({type(value).__name__}) is not declared")
    missing = (set(HELPERS) - {h.name for h in api.helpers}) | (set(CONSTANTS) - set(api.constants))
    if missing:
        raise ApiMismatch(f"declared but not in the module: {sorted(missing)}")
    return api
