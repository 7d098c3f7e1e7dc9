"""The reference's sections on the core library's side of the module.

What the core hands back (responses, texts, numbers, events) and what the
module makes of each: every outcome in the table is provoked against the
stand-in core while the reference is written, so values and messages are
the module's own (or, where the module leaves a refusal to the interpreter,
the running interpreter's). The Ctrl-C recipe is the one of the
offline-testing guide, which the test suite runs under SIGINT.
"""

import ctypes
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = os.path.join(os.path.dirname(HERE), "docs", "testing-offline.md")

TITLE = "What the core hands back, and what the module makes of it"
ANCHOR = "what-the-core-hands-back-and-what-the-module-makes-of-it"


def _code(text):
    return "`" + text.replace("`", "'").replace("|", "\\|") + "`"


def _raised(e):
    return f"raises `{type(e).__name__}`: {_code(str(e))}"


def _returned(fn):
    try:
        value = fn()
    except Exception as e:  # the exception is what is documented
        return _raised(e)
    return f"returns `{value!r}`"


def _raw(**kw):
    return lambda core, fn: core.set_response_raw(fn, **kw)


def _text(value):
    return lambda core, fn: core.set_text(fn, value)


def _status(value):
    return lambda core, fn: core.set_status(fn, value)


# (what the core hands back, core function, programming, call)
RESULTS = [
    ("request-response, success: `res` at 3 bytes, `res_len` 3", "qvi_get_cash_pb",
     [lambda c, f: c.set_response(f, b"abc")], lambda m: m.py_qvi_get_cash(b"q")),
    ("request-response, success: `res_len` 0 (`res` null or not)", "qvi_get_cash_pb",
     [_raw(null_pointer=True, length=0)], lambda m: m.py_qvi_get_cash(b"q")),
    ("request-response, success: neither out-parameter written (the module sets `res` null and `res_len` 0 "
     "before the call)", "qvi_get_cash_pb", [_raw(write=False)], lambda m: m.py_qvi_get_cash(b"q")),
    ("request-response, success: `res` null, `res_len` 5", "qvi_get_cash_pb", [_raw(null_pointer=True, length=5)],
     lambda m: m.py_qvi_get_cash(b"q")),
    ("request-response, success: `res_len` -1", "qvi_get_cash_pb", [_raw(length=-1)],
     lambda m: m.py_qvi_get_cash(b"q")),
    ("request-response, failure (status 3): `res` null, `res_len` -1, or nothing written: neither is read",
     "qvi_get_cash_pb", [_status(3), _raw(null_pointer=True, length=-1)], lambda m: m.py_qvi_get_cash(b"q")),
    ("`const char*` result: a text", "qvi_get_orgcode", [_text(b"ORG")], lambda m: m.py_qvi_get_orgcode()),
    ("`const char*` result: null (the `py_qvi_` wrapper or the direct callable)", "qvi_get_orgcode", [_text(None)],
     lambda m: m.qvi_get_orgcode()),
    ("`const char*` of `qvi_strerror`, not UTF-8, in `c_status_fail(4)`", "qvi_strerror", [_text(b"\xff")],
     lambda m: m.c_status_fail(4)),
    ("`char** addr`, success: null written, or nothing written", "qvi_get_serv_addr", [_raw(write=False)],
     lambda m: m.py_qvi_get_serv_addr(b"md")),
    ("`char** addr`, failure (status 5): not read", "qvi_get_serv_addr", [_status(5), _text(None)],
     lambda m: m.py_qvi_get_serv_addr(b"md")),
    ("`int`, `long long`, `double` results: any value (`qvi_now_plus` returning infinity)", None,
     [lambda c, f: c.set_now_plus(float("inf"))], lambda m: m.qvi_now_plus()),
]

# (what the core hands to the entry point, msg_type, data, data_len, IS_PY2)
EVENTS = [
    ("`msg_type` null (whatever `data`, `data_len` and `IS_PY2`)", None, b"abc", 3, False),
    ("`msg_type` not UTF-8", b"\xff", b"", 0, False),
    ("`msg_type` not UTF-8, while `IS_PY2` is true", b"\xff", b"", 0, True),
    ("`msg_type` empty", b"", b"abc", 3, False),
    ("`data` null, `data_len` 0", b"t", None, 0, False),
    ("`data` not null, `data_len` 0", b"t", b"abc", 0, False),
    ("`data` null, `data_len` 5", b"t", None, 5, False),
    ("`data_len` -1 (`data` null or not)", b"t", b"abc", -1, False),
]


def _result_rows(module, core):
    rows = []
    for what, fn, program, call in RESULTS:
        core.reset()
        for step in program:
            step(core, fn)
        rows.append(f"| {what} | {_returned(lambda call=call: call(module))} |")
    core.reset()
    return rows


def _event_rows(module, core):
    entry = ctypes.PYFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)
    namespace = vars(module)
    saved = {name: namespace[name] for name in ("IS_PY2", "f") if name in namespace}
    hooks = sys.excepthook, sys.unraisablehook
    rows = []
    try:
        for what, msg, data, data_len, py2 in EVENTS:
            seen, hooked = [], []
            module.py_qvi_set_data_callback(lambda t, p, seen=seen: seen.append((t, p)))
            module.IS_PY2 = py2
            sys.excepthook = lambda *a: None
            sys.unraisablehook = lambda u, hooked=hooked: hooked.append(u)
            entry(core.callback_address())(msg, data, data_len)
            sys.excepthook, sys.unraisablehook = hooks
            if hooked:
                u = hooked[0]
                outcome = f"reports `{u.exc_type.__name__}`: {_code(str(u.exc_value))}"
            else:
                outcome = f"`f{seen[0]!r}`"
            rows.append(f"| {what} | {outcome} |")
    finally:
        sys.excepthook, sys.unraisablehook = hooks
        namespace.pop("f", None)
        namespace.update(saved)
        core.reset()
    return rows


def core_section(module):
    import qvcore_standin

    core = qvcore_standin.Core()
    table = ["| the core hands back | the module |", "|---|---|"]
    table += _result_rows(module, core) + _event_rows(module, core)
    return "\n\n".join([
        f"## {TITLE}",
        "Every value the core returns or writes for the module, and every event it hands to the entry "
        "point, ends as one of these outcomes, never as a crash or a read of memory the core did not "
        "give. Shown on `py_qvi_get_cash`, `py_qvi_get_orgcode`, `qvi_get_orgcode`, `c_status_fail`, "
        "`py_qvi_get_serv_addr` and `qvi_now_plus`; every function of the same kind does the same, naming "
        "its own core function. For events, the module either calls `f` as shown or reports an "
        "exception: prints it, passes it to `sys.unraisablehook` with the context "
        "`c_sdk.callback_wrapper` and drops the event; the core's next event is delivered as usual.",
        "\n".join(table),
        "What the module cannot check is taken as the core gives it: `res_len` bytes are copied from `res`, "
        "`data_len` bytes from `data`, and texts are read up to their NUL, so a length larger than the "
        "buffer, or a text without its NUL, is read past its end.",
    ])


def ctrl_c_recipe():
    """The Ctrl-C section of the offline-testing guide, code block included."""
    with open(GUIDE, encoding="utf-8") as f:
        guide = f.read()
    section = guide[guide.index("## Ctrl-C\n"):]
    return re.search(r"```python\n.*?```", section, re.S).group(0)
