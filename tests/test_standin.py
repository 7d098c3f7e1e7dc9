"""The stand-in core library zadiv3-e.so, driven directly through ctypes.

The library comes from $QV_STANDIN_LIB, else is a copy of the one c_sdk
loads, else is built from standin/core into a temporary folder.
"""

import ctypes
import ctypes.util
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
HEADER = ROOT / "include" / "qvcsdk.h"
sys.path.insert(0, str(ROOT / "standin" / "python"))

from qvcore_standin import ANY, Buffer, Call, Core, FnPtr, NotAStandinError, OutPtr, Text  # noqa: E402

CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)


def read_header():
    """(ret, name, [param types]) per declaration, read independently of the generator."""
    decls = []
    for line in HEADER.read_text().splitlines():
        m = re.fullmatch(r"(?!typedef)([\w ]+\**)\s*\b(\w+)\((.*)\);", line.strip())
        if m:
            params = [] if m[3] == "void" else [re.sub(r"\s*\w+$", "", p.strip()) for p in m[3].split(",")]
            decls.append((m[1].strip().replace(" *", "*"), m[2], [p.replace(" *", "*") for p in params]))
    return decls


DECLS = read_header()


@pytest.fixture(scope="session")
def lib_path(tmp_path_factory):
    path = os.environ.get("QV_STANDIN_LIB")
    if path:
        return path
    try:
        from qvcore_standin import which

        loaded = which.resolve().path
    except ImportError:
        loaded = None
    if loaded is not None:
        # A copy is a library of its own: these tests cannot disturb the state
        # of the one c_sdk uses.
        copy = tmp_path_factory.mktemp("standin") / "zadiv3-e.so"
        shutil.copy(loaded, copy)
        return str(copy)
    if shutil.which("cmake") is None:
        pytest.skip("no QV_STANDIN_LIB and no cmake to build the stand-in")
    build = tmp_path_factory.mktemp("standin-build")
    subprocess.run(["cmake", "-S", str(ROOT / "standin" / "core"), "-B", str(build)], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "-j4"], check=True, capture_output=True)
    return str(build / "zadiv3-e.so")


@pytest.fixture
def core(lib_path):
    c = Core(lib_path)
    # The library may be the one a module has registered its callback with.
    saved = c.callback_address()
    register = cfn(c, "qvi_set_event_callback_pb", None, ctypes.c_void_p)
    register(None)
    c.reset()
    yield c
    cfn(c, "qvi_set_event_callback_pb", None, ctypes.c_void_p)(saved or None)
    c.reset()


def cfn(core, name, restype, *argtypes):
    f = getattr(core.lib, name)
    f.restype, f.argtypes = restype, list(argtypes)
    return f


def call_response(core, name, req=b"req", status_type=ctypes.c_int):
    """Calls a request-response function; returns (status, res pointer, res_len)."""
    f = cfn(core, name, status_type, ctypes.c_char_p, ctypes.c_int,
            ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int))
    res, res_len = ctypes.c_void_p(0xDEAD), ctypes.c_int(-77)
    rc = f(req, len(req), ctypes.byref(res), ctypes.byref(res_len))
    return rc, res.value, res_len.value


# ---- every function of the header ---------------------------------------------

SAMPLES = {  # ctypes type, value passed, value expected in the log
    "int": (ctypes.c_int, 7, 7),
    "double": (ctypes.c_double, 2.5, 2.5),
    "bool": (ctypes.c_bool, True, True),
    "long long": (ctypes.c_longlong, 9, 9),
    "const char*": (ctypes.c_char_p, b"t", Text(ANY, b"t")),
    "EventCallback": (ctypes.c_void_p, None, None),
}
DEFAULT_RESULTS = {
    "qvi_strerror": b"stand-in error 7",
    "qvi_now": 1700000000000,
    "qvi_now_plus": 1700000000.5,
}


@pytest.mark.parametrize("ret,name,params", DECLS, ids=[d[1] for d in DECLS])
def test_every_function_defaults_and_log(core, ret, name, params):
    argtypes, args, logged, outs = [], [], [], {}
    i = 0
    while i < len(params):
        p = params[i]
        if p == "void*":  # with its int length
            argtypes += [ctypes.c_char_p, ctypes.c_int]
            args += [b"req", 3]
            logged.append(Buffer(ANY, 3, b"req", True))
            i += 1
        elif p in ("void**", "int*", "char**"):
            out = {"void**": ctypes.c_void_p, "int*": ctypes.c_int, "char**": ctypes.c_char_p}[p]()
            outs[p] = out
            argtypes.append(ctypes.POINTER(type(out)))
            args.append(ctypes.byref(out))
            logged.append(OutPtr(ctypes.addressof(out)))
        else:
            ctype, value, expected = SAMPLES[p]
            argtypes.append(ctype)
            args.append(value)
            logged.append(expected)
        i += 1
    restype = {"int": ctypes.c_int, "void": None, "const char*": ctypes.c_char_p,
               "long long": ctypes.c_longlong, "double": ctypes.c_double}[ret]
    result = cfn(core, name, restype, *argtypes)(*args)

    assert result == DEFAULT_RESULTS.get(name, {"int": 0, "void": None, "const char*": name.encode()}.get(ret))
    if "void**" in outs:
        assert ctypes.string_at(outs["void**"].value, outs["int*"].value) == name.encode()
    if "char**" in outs:
        assert outs["char**"].value == b"addr:t"
    assert core.calls() == [Call(name, tuple(logged))]


def test_exports_are_exactly_the_core_and_control_functions(core):
    assert core.functions() == [d[1] for d in DECLS]
    if shutil.which("nm") is None or shutil.which("objdump") is None:
        pytest.skip("binutils missing")
    nm = subprocess.run(["nm", "-D", "--defined-only", core.path], check=True, capture_output=True, text=True)
    exported = {line.split()[-1] for line in nm.stdout.splitlines()}
    control = {s for s in exported if s.startswith("standin_")}
    assert exported - control == {d[1] for d in DECLS}
    assert "standin_reset" in control
    dynamic = subprocess.run(["objdump", "-p", core.path], check=True, capture_output=True, text=True).stdout
    assert re.search(r"SONAME\s+zadiv3-e\.so\n", dynamic)


@pytest.mark.parametrize(
    "decl,why",
    [
        ("int qvi_x(float f);", "cannot log parameter type 'float'"),
        ("int qvi_x(void* req);", "not followed by its int length"),
        ("int qvi_x(void** res, int n);", "not followed by its int\\* length"),
        ("void qvi_x(void** res, int* res_len);", "needs an int return"),
        ("int qvi_x(int a,\n         int b);", "not a one-line declaration"),
        ("unsigned qvi_x(void);", "unsupported return type"),
        ("double qvi_x(void);", "HANDWRITTEN"),
        ("int qvi_run(void);", "declared twice"),
        (None, "missing from the header: \\['qvi_poll'\\]"),
    ],
)
def test_generator_fails_loudly_on_what_it_does_not_understand(tmp_path, decl, why):
    text = HEADER.read_text()
    if decl is None:
        text = text.replace("int qvi_poll(void);", "")
    else:
        text = text.replace("int qvi_init(void);", "int qvi_init(void);\n" + decl)
    header = tmp_path / "qvcsdk.h"
    header.write_text(text)
    gen = subprocess.run(
        [sys.executable, str(ROOT / "standin" / "core" / "gen_core.py"), "--header", str(header), "--out-dir", str(tmp_path)],
        capture_output=True, text=True,
    )
    assert gen.returncode != 0
    assert re.search(why, gen.stderr)
    assert not (tmp_path / "core_functions.cpp").exists()


def test_a_real_core_library_is_refused():
    libc = ctypes.util.find_library("c")
    with pytest.raises(NotAStandinError, match="not the stand-in"):
        Core(libc)


# ---- programming ------------------------------------------------------------------


@pytest.mark.parametrize("status", [0, -1, 1017, 2**31 - 1])
def test_status_is_returned_and_the_response_still_written(core, status):
    core.set_status("qvi_place_order_pb", status)
    core.set_response("qvi_place_order_pb", b"\x00ab\x00")
    rc, res, res_len = call_response(core, "qvi_place_order_pb")
    assert (rc, res_len) == (status, 4)
    assert ctypes.string_at(res, res_len) == b"\x00ab\x00"
    # Other functions keep their defaults.
    assert call_response(core, "qvi_get_orders_pb")[0] == 0


@pytest.mark.parametrize(
    "raw,expect_null,expect_len",
    [
        (dict(null_pointer=True), True, 3),
        (dict(length=-5), False, -5),
        (dict(length=0), False, 0),
        (dict(null_pointer=True, length=100), True, 100),
    ],
)
def test_raw_response(core, raw, expect_null, expect_len):
    core.set_response("qvi_get_cash_pb", b"abc")
    core.set_response_raw("qvi_get_cash_pb", **raw)
    _, res, res_len = call_response(core, "qvi_get_cash_pb")
    assert (res is None, res_len) == (expect_null, expect_len)


def test_raw_response_longer_than_the_bytes_is_zero_padded(core):
    core.set_response_raw("qvi_get_cash_pb", length=40)  # on the default bytes
    _, res, res_len = call_response(core, "qvi_get_cash_pb")
    assert ctypes.string_at(res, res_len) == b"qvi_get_cash_pb".ljust(40, b"\0")


def test_raw_response_not_written(core):
    core.set_status("qvi_get_cash_pb", 3)
    core.set_response_raw("qvi_get_cash_pb", write=False)
    assert call_response(core, "qvi_get_cash_pb") == (3, 0xDEAD, -77)


@pytest.mark.parametrize("fn", ["qvi_get_orgcode", "qvi_get_c_version", "qvi_strerror"])
@pytest.mark.parametrize("text", [b"programmed", b"", None])
def test_text_getters(core, fn, text):
    core.set_text(fn, text)
    f = cfn(core, fn, ctypes.c_char_p, *([ctypes.c_int] if fn == "qvi_strerror" else []))
    assert f(*([5] if fn == "qvi_strerror" else [])) == text


@pytest.mark.parametrize(
    "program,expected",
    [
        (lambda c: None, b"addr:md"),
        (lambda c: c.set_text("qvi_get_serv_addr", b"tcp://h:1"), b"tcp://h:1"),
        (lambda c: c.set_text("qvi_get_serv_addr", None), None),
        (lambda c: c.set_response_raw("qvi_get_serv_addr", null_pointer=True), None),
        (lambda c: c.set_response_raw("qvi_get_serv_addr", write=False), b"untouched"),
    ],
)
def test_get_serv_addr(core, program, expected):
    program(core)
    core.set_status("qvi_get_serv_addr", -4)
    addr = ctypes.c_char_p(b"untouched")
    f = cfn(core, "qvi_get_serv_addr", ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p))
    assert f(b"md", ctypes.byref(addr)) == -4
    assert addr.value == expected


def test_clocks_and_stop_code(core):
    core.set_now(-3)
    core.set_now_plus(float("inf"))
    core.set_stop_error_code(1202)
    assert cfn(core, "qvi_now", ctypes.c_longlong)() == -3
    assert cfn(core, "qvi_now_plus", ctypes.c_double)() == float("inf")
    assert cfn(core, "qvi_get_stop_error_code", ctypes.c_int)() == 1202


SETTERS = [
    ("set_status", (1,)),
    ("set_response", (b"x",)),
    ("set_response_raw", ()),
    ("set_text", (b"x",)),
]


@pytest.mark.parametrize("setter,args", SETTERS)
def test_unknown_function_names_are_refused(core, setter, args):
    with pytest.raises(KeyError, match="qvi_nope"):
        getattr(core, setter)("qvi_nope", *args)


@pytest.mark.parametrize(
    "setter,fn,args",
    [
        ("set_status", "qvi_set_timer", (1,)),
        ("set_response", "qvi_run", (b"x",)),
        ("set_response", "qvi_cancel_orders_pb", (b"x",)),
        ("set_text", "qvi_place_order_pb", (b"x",)),
        ("set_response_raw", "qvi_get_orgcode", ()),
        ("set_response_raw", "qvi_get_serv_addr", (False, 3)),
    ],
)
def test_values_a_function_does_not_have_are_refused(core, setter, fn, args):
    with pytest.raises(ValueError):
        getattr(core, setter)(fn, *args)


def test_reset_restores_defaults_but_keeps_the_callback(core):
    cb = CALLBACK(lambda *a: None)
    cfn(core, "qvi_set_event_callback_pb", None, CALLBACK)(cb)
    core.set_status("qvi_place_order_pb", 9)
    core.set_response_raw("qvi_place_order_pb", null_pointer=True)
    core.set_text("qvi_strerror", None)
    core.set_now(1)
    core.queue_event(b"e")
    core.log_enabled(False)
    core.reset()
    assert call_response(core, "qvi_place_order_pb")[0] == 0
    assert ctypes.string_at(call_response(core, "qvi_place_order_pb")[1]) == b"qvi_place_order_pb"
    assert cfn(core, "qvi_strerror", ctypes.c_char_p, ctypes.c_int)(2) == b"stand-in error 2"
    assert cfn(core, "qvi_now", ctypes.c_longlong)() == 1700000000000
    assert core.queued() == 0
    assert core.call_count() == 4  # logging is back on
    assert core.callback_address() == ctypes.cast(cb, ctypes.c_void_p).value


# ---- the call log -------------------------------------------------------------------


def test_log_keeps_doubles_bools_and_null_texts_exactly(core):
    f = cfn(core, "qvi_set_backtest_config", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
            *[ctypes.c_double] * 7, *[ctypes.c_int] * 3)
    odd_values = [float("nan"), float("inf"), float("-inf"), -0.0, 5e-324, 1.7976931348623157e308, 0.1]
    f(None, b"2024", *odd_values, -1, 0, 2**31 - 1)
    (call,) = core.calls()
    assert call.args[0] == Text(0, None)
    assert call.args[1] == Text(ANY, b"2024")
    logged = call.args[2:9]
    assert math.isnan(logged[0])
    assert [math.copysign(1, x) for x in logged[1:4]] == [1, -1, -1]
    assert logged[1:] == tuple(odd_values[1:])
    assert call.args[9:] == (-1, 0, 2**31 - 1)

    sub = cfn(core, "qvi_subscribe", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_bool)
    sub(b"SHSE.600000", b"", False)
    assert core.calls("qvi_subscribe") == [Call("qvi_subscribe", (Text(ANY, b"SHSE.600000"), Text(ANY, b""), False))]


def make_request(data, after):
    """A request buffer of `data` followed by the byte `after`, and its address."""
    buf = ctypes.create_string_buffer(data + after, len(data) + 1)
    return buf, ctypes.addressof(buf)


@pytest.mark.parametrize(
    "data,after,length,expected_data,nul",
    [
        (b"abc", b"\0", 3, b"abc", True),
        (b"abc", b"X", 3, b"abc", False),
        (b"a\0c", b"\0", 3, b"a\0c", True),
        (b"abc", b"\0", 1, b"a", False),  # the byte after the first is 'b'
        (b"", b"\0", 0, b"", True),
        (b"abc", b"\0", -2, None, False),
    ],
)
def test_log_records_request_buffers(core, data, after, length, expected_data, nul):
    buf, addr = make_request(data, after)
    f = cfn(core, "qvi_log_pb", ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
    f(addr, length)
    assert core.calls() == [Call("qvi_log_pb", (Buffer(addr, length, expected_data, nul),))]


def test_log_records_null_request_and_null_out_pointers(core):
    f = cfn(core, "qvi_get_orders_pb", ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    assert f(None, 5, None, None) == 0  # null out-pointers are not written
    assert core.calls() == [Call("qvi_get_orders_pb", (Buffer(0, 5, None, False), None, None))]


def test_log_switch_and_clear(core):
    now = cfn(core, "qvi_now", ctypes.c_longlong)
    now()
    assert core.log_enabled(False) is True
    now()
    assert core.log_enabled(True) is False
    now()
    assert core.call_count() == 2
    core.clear_calls()
    assert core.calls() == []


def test_concurrent_calls_are_all_logged(core):
    n_threads, n_calls = 4, 2000

    def work():
        for _ in range(n_calls):
            call_response(core, "qvi_get_positions_pb")
            core.set_response("qvi_get_cash_pb", b"x" * 20)  # programming races with the calls

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    calls = core.calls()
    assert len(calls) == n_threads * n_calls
    assert {c.fn for c in calls} == {"qvi_get_positions_pb"}


# ---- events --------------------------------------------------------------------------


class Recorder:
    """A ctypes event callback that records (msg, data, data_len, thread)."""

    def __init__(self, core, on_event=None):
        self.events = []
        self.on_event = on_event
        self.cb = CALLBACK(self._called)
        cfn(core, "qvi_set_event_callback_pb", None, CALLBACK)(self.cb)

    def _called(self, msg, data, data_len):
        body = None if not data else ctypes.string_at(data, max(data_len, 0))
        self.events.append((ctypes.string_at(msg), body, data_len, threading.get_ident()))
        if self.on_event:
            self.on_event(len(self.events))

    @property
    def seen(self):
        return [e[:3] for e in self.events]


def run(core, name="qvi_run"):
    return cfn(core, name, ctypes.c_int)()


@pytest.mark.parametrize(
    "payload,data_len,null_data,expected",
    [
        (b"\x08\x01", None, False, (b"\x08\x01", 2)),
        (b"", None, False, (b"", 0)),
        (b"abc", 0, False, (b"", 0)),
        (b"abc", -1, False, (b"", -1)),
        (b"ab", 5, False, (b"ab\0\0\0", 5)),
        (b"abc", 3, True, (None, 3)),
    ],
)
def test_event_contents(core, payload, data_len, null_data, expected):
    rec = Recorder(core)
    core.queue_event(b"on_tick", payload, data_len=data_len, null_data=null_data)
    assert run(core) == 0
    assert rec.seen == [(b"on_tick",) + expected]


def test_message_type_is_nul_terminated_even_with_inner_nuls(core):
    got = []
    cb = CALLBACK(lambda msg, data, n: got.append(ctypes.string_at(msg, 5)))
    cfn(core, "qvi_set_event_callback_pb", None, CALLBACK)(cb)
    core.queue_event(b"a\0b\xff")
    run(core)
    assert got == [b"a\0b\xff\0"]


def test_run_delivers_in_order_and_stops_after_the_stopping_callback(core):
    stop = cfn(core, "qvi_stop", ctypes.c_int)
    rec = Recorder(core, on_event=lambda n: n == 2 and stop())
    for m in (b"e1", b"e2", b"e3"):
        core.queue_event(m)
    core.set_status("qvi_run", 5)
    assert run(core) == 5
    assert [e[0] for e in rec.events] == [b"e1", b"e2"]
    assert core.queued() == 1
    rec.on_event = None
    run(core)  # clears the stop flag
    assert [e[0] for e in rec.events] == [b"e1", b"e2", b"e3"]
    assert [c.fn for c in core.calls()] == ["qvi_set_event_callback_pb", "qvi_run", "qvi_stop", "qvi_run"]


def test_events_queued_by_callbacks_reach_run_but_wait_for_the_next_poll(core):
    rec = Recorder(core, on_event=lambda n: n < 3 and core.queue_event(b"again"))
    core.queue_event(b"first")
    core.set_status("qvi_poll", -7)
    assert run(core, "qvi_poll") == -7
    assert [e[0] for e in rec.events] == [b"first"] and core.queued() == 1
    run(core)
    assert [e[0] for e in rec.events] == [b"first", b"again", b"again"]


def test_callbacks_can_call_back_into_the_library(core):
    Recorder(core, on_event=lambda n: call_response(core, "qvi_get_cash_pb"))
    core.queue_event(b"e")
    run(core)
    assert [c.fn for c in core.calls()][1:] == ["qvi_run", "qvi_get_cash_pb"]


def test_delivery_from_a_native_thread(core):
    rec = Recorder(core)
    core.queue_event(b"a", b"1")
    core.queue_event(b"b", b"2")
    assert core.deliver_from_thread() == 2
    assert rec.seen == [(b"a", b"1", 1), (b"b", b"2", 1)]
    threads = {e[3] for e in rec.events}
    assert len(threads) == 1 and threading.get_ident() not in threads


def test_events_without_a_callback_are_dropped(core):
    core.queue_event(b"e")
    assert core.deliver_from_thread() == 0
    assert core.queued() == 0
    assert core.callback_address() == 0


def test_registered_callback_address_is_logged(core):
    rec = Recorder(core)
    addr = ctypes.cast(rec.cb, ctypes.c_void_p).value
    assert core.callback_address() == addr
    assert core.calls() == [Call("qvi_set_event_callback_pb", (FnPtr(addr),))]
