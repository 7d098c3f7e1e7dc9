"""The stand-in core library, driven directly through ctypes: what a test
programs (statuses, responses, raw responses, texts, clocks) is what the
functions answer, what a function does not have is refused, and reset
restores the defaults."""

import ctypes

import pytest
from standin_direct import CALLBACK, call_response, cfn, direct_core  # noqa: F401 (the fixture core)


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
