"""What the core hands back to the module, well formed or not: responses,
texts and events each end as a value or as an exception with an exact
message, never as a crash or a read of memory the core did not give."""

import ctypes

import pytest

import c_sdk
from conftest import run_python
from interpreter_says import negative_size, not_utf8

NO_TYPE = "the core library raised an event without a message type"


def raw(**kw):
    return lambda core, fn: core.set_response_raw(fn, **kw)


def text(value):
    return lambda core, fn: core.set_text(fn, value)


def status(value):
    return lambda core, fn: core.set_status(fn, value)


def runtime(message):
    return RuntimeError, message


# (core function, how it is programmed, the call, what comes back)
RESULTS = [
    ("qvi_place_order_pb", [raw(null_pointer=True, length=5)], lambda: c_sdk.py_qvi_place_order(b"x"),
     runtime("qvi_place_order_pb() reported success with a null response of 5 bytes")),
    ("qvi_place_order_pb", [raw(null_pointer=True, length=0)], lambda: c_sdk.py_qvi_place_order(b"x"), (0, b"")),
    ("qvi_get_cash_pb", [raw(length=20)], lambda: c_sdk.py_qvi_get_cash(b"x"), (0, b"qvi_get_cash_pb" + bytes(5))),
    ("qvi_get_orders_pb", [raw(length=-1)], lambda: c_sdk.py_qvi_get_orders(b"x"),
     runtime("qvi_get_orders_pb() reported success with a negative response length (-1)")),
    ("qvi_get_cash_pb", [raw(write=False)], lambda: c_sdk.py_qvi_get_cash(b"x"), (0, b"")),
    ("qvi_get_account_info_pb", [raw(null_pointer=True, length=9)], lambda: c_sdk.py_qvi_get_accounts(),
     runtime("qvi_get_account_info_pb() reported success with a null response of 9 bytes")),
    # On failure neither out-parameter is read, whatever the core wrote.
    ("qvi_get_cash_pb", [status(3), raw(null_pointer=True, length=5)], lambda: c_sdk.py_qvi_get_cash(b"x"),
     (3, None)),
    ("qvi_get_cash_pb", [status(2), raw(write=False)], lambda: c_sdk.py_qvi_get_cash(b"x"), (2, None)),
    ("qvi_get_orgcode", [text(None)], lambda: c_sdk.qvi_get_orgcode(),
     runtime("qvi_get_orgcode() returned a null text")),
    ("qvi_strerror", [text(None)], lambda: c_sdk.c_status_fail(4),
     runtime("qvi_strerror() returned a null text")),
    ("qvi_strerror", [text(b"\xff")], lambda: c_sdk.c_status_fail(4), (UnicodeDecodeError, not_utf8(b"\xff"))),
    ("qvi_get_serv_addr", [text(None)], lambda: c_sdk.py_qvi_get_serv_addr(b"md"),
     runtime("qvi_get_serv_addr() reported success with a null text")),
    ("qvi_get_serv_addr", [raw(write=False)], lambda: c_sdk.py_qvi_get_serv_addr(b"md"),
     runtime("qvi_get_serv_addr() reported success with a null text")),
    ("qvi_get_serv_addr", [status(5), text(None)], lambda: c_sdk.py_qvi_get_serv_addr(b"md"), None),
]


@pytest.mark.parametrize("fn,program,call,expected", RESULTS,
                         ids=[f"{r[0]}-{i}" for i, r in enumerate(RESULTS)])
def test_core_contract_breaches_raise_instead_of_crashing(core, fn, program, call, expected):
    for step in program:
        step(core, fn)
    if isinstance(expected, tuple) and isinstance(expected[0], type):
        with pytest.raises(expected[0]) as info:
            call()
        assert str(info.value) == expected[1]
    else:
        got = call()
        assert got == expected and type(got) is type(expected)


# --- the event entry point ----------------------------------------------------

ENTRY_POINT_ARGS = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int]


def entry_point(core, gil):
    """The registered entry point, called the way the core would: from inside
    a core call, with the interpreter lock held, or without it."""
    proto = ctypes.PYFUNCTYPE if gil == "held" else ctypes.CFUNCTYPE
    return proto(None, *ENTRY_POINT_ARGS)(core.callback_address())


def reports(monkeypatch):
    """The exceptions the entry point reports from now on: (printed, passed
    to the hook). Set in the test's body: pytest puts its own unraisable hook
    in place around it."""
    printed, hooked = [], []
    monkeypatch.setattr("sys.excepthook", lambda t, v, tb: printed.append((t, str(v))))
    monkeypatch.setattr("sys.unraisablehook", lambda u: hooked.append((u.exc_type, str(u.exc_value), u.object)))
    return printed, hooked


# (msg_type, data, data_len) -> what the callable gets, or the exception reported
EVENTS = [
    (None, b"abc", 3, (RuntimeError, NO_TYPE)),
    (None, None, 0, (RuntimeError, NO_TYPE)),
    (None, None, -1, (RuntimeError, NO_TYPE)),
    (b"t", None, 0, ("t", b"")),
    (b"t", b"abc", 0, ("t", b"")),
    (b"t", b"abc\0d", 5, ("t", b"abc\0d")),
    (b"", b"", 0, ("", b"")),
    (b"t", None, 5, (RuntimeError, "the core library raised an event of 5 bytes without data")),
    (b"t", b"abc", -1, (SystemError, negative_size(-1))),
    (b"t", None, -2, (SystemError, negative_size(-2))),
    (b"\xff", b"", 0, (UnicodeDecodeError, not_utf8(b"\xff"))),
]


@pytest.mark.parametrize("gil", ["held", "released"])
@pytest.mark.parametrize("py2", [False, True])
@pytest.mark.parametrize("msg,data,data_len,expected", EVENTS)
def test_the_entry_point_reports_what_it_cannot_deliver(core, monkeypatch, gil, py2, msg, data, data_len,
                                                        expected):
    printed, hooked = reports(monkeypatch)
    seen = []
    c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append((t, p)))
    c_sdk.IS_PY2 = py2
    call = entry_point(core, gil)
    call(msg, data, data_len)
    call(b"next", b"n", 1)
    kind, value = expected
    if py2 and kind is UnicodeDecodeError:  # bytes are not decoded
        kind, value = msg, data[:data_len]
    elif py2 and not isinstance(kind, type):
        kind = msg
    if isinstance(kind, type):
        assert printed == [(kind, value)]
        assert hooked == [(kind, value, "c_sdk.callback_wrapper")]
        assert seen == [(b"next" if py2 else "next", b"n")]
    else:
        assert printed == hooked == []
        assert seen == [(kind, value), (b"next" if py2 else "next", b"n")]


def test_a_null_message_type_inside_the_run_loop_is_reported_and_the_loop_goes_on():
    proc = run_python("""
        import ctypes, c_sdk, qvcore_standin
        core = qvcore_standin.Core()
        entry = ctypes.PYFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)
        seen = []
        def cb(t, p):
            seen.append(t)
            if t == "a":  # the core raising a malformed event from inside a call
                entry(core.callback_address())(None, p, len(p))
        c_sdk.py_qvi_set_data_callback(cb)
        for t in (b"a", b"b"):
            core.queue_event(t, b"data")
        print(c_sdk.py_qvi_run(), seen, flush=True)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0 ['a', 'b']"
    err = proc.stderr
    line = f"RuntimeError: {NO_TYPE}\n"
    hook = err.index("Exception ignored in: 'c_sdk.callback_wrapper'")
    assert err.count(line) == 2 and err.index(line) < hook < err.rindex(line)
