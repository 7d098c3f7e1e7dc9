"""Writes docs/reference.md from a built c_sdk module.

    python tools/gen_reference.py --out docs/reference.md     # make docs
    python tools/gen_reference.py --check docs/reference.md   # make check-docs

The tables of functions come from the module's own description of its
callables (``__core__``); the error messages quoted are raised by the module
while the reference is written, so they are the module's own texts.
"""

import argparse
import difflib
import os
import pydoc
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import c_sdk_api  # noqa: E402
import reference_core  # noqa: E402
from reference_text import KIND_TEXT, RESULT_TEXT, SHAPE_TEXT  # noqa: E402

HELPER_TEXT = {
    "is_windows": "`platform.uname()[0].lower() == 'windows'`, with `platform` read from the module "
                  "namespace at each call.",
    "is_linux": "`platform.uname()[0].lower() == 'linux'`, likewise.",
    "adapt_to_python3": "Returns a function named `wrapper` (qualified name "
                        "`adapt_to_python3.<locals>.wrapper`) that calls `func` with every `str` argument "
                        "and keyword value encoded to ASCII `bytes`, unless the module attribute `IS_PY2` "
                        "is true at that moment. A non-ASCII `str` raises `UnicodeEncodeError` and `func` is "
                        "not called. Other values, and the elements of containers, pass unchanged.",
    "c_status_ok": "`status == CSDK_OPERATE_SUCCESS`, as the comparison gives it.",
    "c_status_fail": "`status != CSDK_OPERATE_SUCCESS`. When true it first logs, through "
                     "`qvsdklogger.debug`, `invoke c fun={cfunname} error code={status}, error info={text}` "
                     "(or `invoke c fun error code={status}, error info={text}` when `cfunname` is empty), "
                     "where `text` is `py_qvi_strerror(status).decode('utf8')`.",
}

CONSTANT_TEXT = {
    "CSDK_OPERATE_SUCCESS": "the success status, imported from `qv.constant`; read at every use",
    "qvsdklogger": "the SDK's logger, imported from `qv.utils`; `c_status_fail` writes to its `debug`",
    "IS_PY2": "`False`; when rebound to a true value, the adapter passes `str` unchanged and events carry "
              "their message type as `bytes`",
    "IS_PY3": "`True`, for the SDK; the module does not read it",
}


class HugeRequest(bytes):
    def __len__(self):
        return 2**31


class LyingRequest(bytes):
    def __len__(self):
        return 1000


class IntReturnsFloat:
    def __int__(self):
        return 2.5


# Calls that fail while their arguments are bound or converted, before the
# core library is reached: (what is shown, the function, args, kwargs).
ERROR_EXAMPLES = [
    ('py_qvi_history_ticks_pb("q")', "py_qvi_history_ticks_pb", ("q",), {}),
    ("py_qvi_history_ticks_pb(None)", "py_qvi_history_ticks_pb", (None,), {}),
    ("py_qvi_send_msg_to_bus(b\"t\", None)", "py_qvi_send_msg_to_bus", (b"t", None), {}),
    ("py_qvi_history_ticks_pb(request whose len() is 2**31)", "py_qvi_history_ticks_pb", (HugeRequest(b"x"),),
     {}),
    ("py_qvi_history_ticks_pb(request whose len() disagrees with its bytes)", "py_qvi_history_ticks_pb",
     (LyingRequest(b"ab"),), {}),
    ('py_qvi_place_order("é")', "py_qvi_place_order", ("é",), {}),
    ('py_qvi_set_timer("5")', "py_qvi_set_timer", ("5",), {}),
    ("py_qvi_set_timer(2**31)", "py_qvi_set_timer", (2**31,), {}),
    ("py_qvi_set_timer(2**64)", "py_qvi_set_timer", (2**64,), {}),
    ("py_qvi_set_timer(object with __int__ returning 2.5)", "py_qvi_set_timer", (IntReturnsFloat(),), {}),
    ('py_qvi_smart_reorder(b"s", [1.5], ...)', "py_qvi_smart_reorder",
     (b"s", [1.5], 1, 2, 3, 4, 5, 6, 7, 8, b"a"), {}),
    ("py_qvi_user_timer(10)", "py_qvi_user_timer", (10,), {}),
    ("py_qvi_user_timer(10, 0, 1)", "py_qvi_user_timer", (10, 0, 1), {}),
    ("py_qvi_user_timer(10, 0, period=10)", "py_qvi_user_timer", (10, 0), {"period": 10}),
    ("py_qvi_user_timer(10, delay=0)", "py_qvi_user_timer", (10,), {"delay": 0}),
    ("py_qvi_user_timer(10, 0, delay=0)", "py_qvi_user_timer", (10, 0), {"delay": 0}),
    ("py_qvi_run(1)", "py_qvi_run", (1,), {}),
    ("py_qvi_run(timeout=1)", "py_qvi_run", (), {"timeout": 1}),
    ("c_status_fail()", "c_status_fail", (), {}),
    ("c_status_fail(1, 'f', 3)", "c_status_fail", (1, "f", 3), {}),
    ('qvi_add_bus_topic("t")', "qvi_add_bus_topic", ("t",), {}),
    ('qvi_send_msg_to_bus(b"t")', "qvi_send_msg_to_bus", (b"t",), {}),
]


def _error_rows(module):
    rows = []
    for shown, name, args, kwargs in ERROR_EXAMPLES:
        try:
            getattr(module, name)(*args, **kwargs)
        except Exception as e:  # the exception is what is documented
            rows.append(f"| `{shown}` | `{type(e).__name__}` | {_code(str(e))} |")
        else:
            raise c_sdk_api.ApiMismatch(f"{shown} did not raise")
    return rows


def _code(text):
    return "`" + text.replace("`", "'").replace("|", "\\|") + "`"


def _params(entry):
    if not entry.params:
        return "none"
    return ", ".join(f"`{name}`: {kind}" for name, kind in entry.params)


def _function_table(entries, with_shape_result=True):
    head = "| function | parameters | result | core function | `str` |"
    rows = [head, "|---|---|---|---|---|"]
    for e in entries:
        rows.append(f"| `{e.name}` | {_params(e)} | {e.result} | `{e.core}` | {'yes' if e.adapted else 'no'} |")
    return rows


def _section(title, *blocks):
    return "\n\n".join([title, *("\n".join(b) if isinstance(b, list) else b for b in blocks)])


# What help(c_sdk) shows for a few callables of each kind, and the head of a
# record class's page.
HELP_EXAMPLES = ("c_status_fail", "py_qvi_history_ticks_pb", "py_qvi_place_order", "qvi_strerror")
HELP_CLASS = "TickLikeDict2"


def _help_excerpt(module):
    lines = [">>> help(c_sdk)  # excerpt", "FUNCTIONS"]
    for name in HELP_EXAMPLES:
        doc = pydoc.plaintext.document(getattr(module, name), name).rstrip("\n")
        lines += ["    " + line if line.strip() else "" for line in doc.splitlines()] + [""]
    lines.append(f">>> help(c_sdk.{HELP_CLASS})  # excerpt")
    page = pydoc.plain(pydoc.render_doc(getattr(module, HELP_CLASS))).splitlines()
    start = next(i for i, line in enumerate(page) if line.startswith("class "))
    lines += [line.rstrip() for line in page[start:start + 12]]
    return lines


def _introspection(module):
    return _section(
        "## Introspection",
        "`inspect.signature`, `help()`, IDEs and `mypy.stubtest` read the parameters of every callable: "
        "the ones it binds, in order, all positional-or-keyword, with `cfunname=''` the only default. "
        "A function bound through `adapt_to_python3` is the adapter's `wrapper` and shows "
        "`(*args, **kwargs)`, the way it binds (the stubs give the wrapped function's parameters). The "
        "record classes show `(data)`, their methods and property accessors `(self, ...)`, and bound "
        "methods leave out `self`.",
        ["```text"] + _help_excerpt(module) + ["```"],
        "Every function bound in the module, and every member of the record classes, pickles as a "
        "reference to where the module holds it (as a Python function does, for every protocol from 2) "
        "and unpickles as the very same object, in another process too; `copy.copy` and "
        "`copy.deepcopy` give the object itself. A function that `adapt_to_python3` makes and that is "
        "bound nowhere fails to pickle with `pickle.PicklingError`. The attributes `functools.wraps` "
        "copies are there (`__annotations__` is a dict, settable), `__globals__` is the module's "
        "namespace and `__kwdefaults__` is `None`. Record instances do not pickle: the names a pickler "
        "looks up on them read the wrapped mapping.",
    )


def render(api):
    module = api.module
    out = []
    wrappers = api.wrappers
    adapted = sum(w.adapted for w in wrappers)
    out.append(_section(
        "# c_sdk reference",
        "Generated by `tools/gen_reference.py` from the module itself (`make docs`); do not edit by hand.",
        f"The module has {len(wrappers)} wrappers (`py_qvi_*`, {adapted} of them accept `str` through the "
        f"adapter), {len(api.direct)} core functions exposed under their own C names, "
        f"{len(api.helpers)} helpers, {len(api.records)} record classes and {len(api.constants)} constants. "
        "Type stubs with the same signatures are installed with the module (`c_sdk-stubs`).",
        "Contents: [describing a callable](#describing-a-callable) · [introspection](#introspection) · "
        "[parameter kinds](#parameter-kinds) · "
        "[results](#results) · [shapes](#shapes) · [argument errors](#argument-errors) · "
        "[events](#events) · "
        f"[what the core hands back](#{reference_core.ANCHOR}) · "
        "[wrappers](#wrappers) · [direct callables](#direct-callables) · "
        "[helpers](#helpers) · [record classes](#record-classes) · [constants](#constants)",
    ))
    example = module.py_qvi_place_order.__core__
    out.append(_section(
        "## Describing a callable",
        "Every callable over a core function carries a read-only `__core__`:",
        ["```python", ">>> c_sdk.py_qvi_place_order.__core__", repr(example), "```"],
        "`core` is the core function called, `params` the parameters in order with their kinds, `shape` "
        "and `result` are described below, and `adapted` tells whether the callable is bound through "
        "`adapt_to_python3` and so also accepts `str`. The helpers and the record classes' members give "
        "`None`.",
    ))
    out.append(_introspection(module))
    kinds = ["| kind | Python values accepted | what the core receives |", "|---|---|---|"]
    kinds += [f"| {k} | {a} | {c} |" for k, (a, c) in KIND_TEXT.items()]
    out.append(_section(
        "## Parameter kinds",
        kinds,
        "Every parameter is required and may be given by position or by keyword (only `cfunname` of "
        "`c_status_fail` has a default). A `str` is never taken where bytes are expected, unless the "
        "callable is adapted (`str` column below): its `str` arguments are then encoded to ASCII before "
        "the call. `None` is refused by every byte-string parameter.",
        "Arguments are converted in the order of the core function's C parameters; the first conversion "
        "that fails raises, and the core is not called. Buffer pointers are taken only once every argument "
        "is converted, and are valid for the duration of the call: the core must not keep them. A request "
        "must be shorter than 2**31 bytes, since its length travels as a C `int`.",
    ))
    results = ["| result | value |", "|---|---|"]
    results += [f"| {k} | {v} |" for k, v in RESULT_TEXT.items()]
    out.append(_section(
        "## Results",
        results,
        "Outcomes of the core are status codes, never exceptions. A core function that breaks its "
        "contract raises `RuntimeError` naming it instead of crashing: a null text, a response of a "
        "negative length, or a null response with a positive length, on success; [what the core hands "
        f"back](#{reference_core.ANCHOR}) lists every case.",
    ))
    shapes = ["| shape | call |", "|---|---|"] + [f"| {k} | {v} |" for k, v in SHAPE_TEXT.items()]
    out.append(_section("## Shapes", shapes))
    errors = ["| call | raises | message |", "|---|---|---|"] + _error_rows(module)
    out.append(_section(
        "## Argument errors",
        "Raised by the module while binding and converting arguments, before the core is called. The "
        "messages name the function by its own name (`wrap` for the direct callables).",
        errors,
    ))
    out.append(_section(
        "## Events",
        "`py_qvi_set_data_callback(pythonf)` binds the module attribute `f` to `pythonf` (no check that it "
        "is callable) and registers the module's entry point with the core "
        "(`qvi_set_event_callback_pb`), on every call.",
        "For every event the core calls the entry point with a message type (NUL-terminated text), a data "
        "pointer and a length. The entry point takes the interpreter lock, then reads `IS_PY2` and `f` "
        "from the module namespace and calls `f(message_type, payload)` with two positional arguments:",
        ["- `message_type`: `str`, the UTF-8 decoding of the text (`''` when empty); `bytes` instead while "
         "`IS_PY2` is true;",
         "- `payload`: a new `bytes` holding a copy of the `data_len` bytes at `data`, valid after the "
         "callback returns.",
         ],
        "The result of `f` is ignored. An exception (from `f`, an undefined or uncallable `f`, a null "
        "message type or one that is not UTF-8, a negative length, a null `data` with a positive length) "
        "is printed with its traceback like an uncaught "
        "exception, then passed to `sys.unraisablehook` with the context `c_sdk.callback_wrapper`, and "
        "dropped: the core goes on with the next event. A `SystemExit` raised by `f` ends the process.",
        "`py_qvi_run()` runs the core's loop and returns its status when the loop ends; events are "
        "delivered on the thread inside it, between other Python code only while `f` runs. "
        "`py_qvi_stop()`, usually called from `f`, ends the loop, and `py_qvi_get_stop_error_code()` tells "
        "why it ended. Each event is handled completely before the entry point returns to the core.",
        "### Ctrl-C",
        "A `KeyboardInterrupt` raised in `f` is dropped like any other exception, so Ctrl-C ends "
        "`py_qvi_run()` only when the SDK stops the loop itself. A `try` in `f` is not enough: from "
        "CPython 3.11 the interpreter may raise the interrupt on `f`'s first instruction, before the "
        "`try`. The SIGINT handler stops the loop instead, as in "
        "[testing-offline.md](testing-offline.md#ctrl-c):",
        reference_core.ctrl_c_recipe(),
    ))
    out.append(reference_core.core_section(module))
    by_shape = ["## Wrappers",
                "In binding order within each shape. Kinds and results as above; `str`: bound through the "
                "adapter."]
    for shape in c_sdk_api.SHAPES:
        entries = [w for w in wrappers if w.shape == shape]
        if entries:
            by_shape.append(f"### {shape} ({len(entries)})")
            by_shape.append("\n".join(_function_table(entries)))
    out.append("\n\n".join(by_shape))
    direct = ["| attribute | parameters | result | shape | docstring |", "|---|---|---|---|---|"]
    for d in api.direct:
        direct.append(f"| `{d.name}` | {_params(d)} | {d.result} | {d.shape} | {_code(d.doc or '')} |")
    out.append(_section(
        "## Direct callables",
        "Core functions exposed under their own C names. Each is named `wrap` (argument errors say "
        "`wrap()`), never goes through the adapter, and raises an exception left pending by the core call.",
        direct,
    ))
    helpers = []
    for h in api.helpers:
        params, ret = c_sdk_api.HELPERS[h.name]
        sig = ", ".join(f"{n}" + (f"={d}" if d else "") for n, _, d in params)
        helpers.append(f"- `{h.name}({sig})` -> `{ret.replace('_R', 'R')}`: {HELPER_TEXT[h.name]}")
    out.append(_section("## Helpers", helpers))
    records = ["| class | methods | fields (properties) | property setters |", "|---|---|---|---|"]
    for r in api.records:
        fields = ", ".join(f"`{n}`" for n, _ in r.fields) or "none"
        writable = "yes" if r.fields and all(w for _, w in r.fields) else "no" if r.fields else "-"
        records.append(f"| `{r.name}` | {', '.join(f'`{m}`' for m in r.methods)} | {fields} | {writable} |")
    out.append(_section(
        "## Record classes",
        "Each wraps the mapping given to its constructor (slot `data`, not copied). Items and attributes "
        "read the mapping's `get` (so a missing key reads `None`); item and attribute assignments store "
        "into the mapping, except the attribute `data`, which replaces the wrapped mapping. Since every "
        "attribute assignment goes through `__setattr__`, a field can be assigned on an instance whether "
        "or not its property has a setter. `str()` and `repr()` are the mapping's. Iterating over a "
        "record raises `TypeError`.",
        records,
    ))
    constants = [f"- `{name}`: {CONSTANT_TEXT[name]}." for name in api.constants]
    constants.append("- `functools`, `platform`: the standard modules; `is_windows` and `is_linux` read "
                     "`platform`.")
    out.append(_section("## Constants", constants))
    return "\n\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--out", help="write the reference here")
    group.add_argument("--check", help="fail if this file differs from what would be written")
    parser.add_argument("--module-dir", help="folder holding the built c_sdk module (default: sys.path)")
    args = parser.parse_args(argv)
    text = render(c_sdk_api.load(args.module_dir))
    if args.out:
        os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
        return 0
    with open(args.check, encoding="utf-8") as f:
        current = f.read()
    if current == text:
        return 0
    diff = difflib.unified_diff(current.splitlines(True), text.splitlines(True), args.check, "regenerated")
    sys.stdout.writelines(list(diff)[:200])
    print(f"\n{args.check} is stale: run `make docs` and commit the result.")
    return 1


if __name__ == "__main__":
    sys.exit(main())
