"""The stand-in core library, driven directly through ctypes: its call log
keeps every argument exactly (doubles, flags, null texts, request buffers,
null pointers), can be switched off and cleared, and misses no call made from
several threads at once."""

import ctypes
import math
import threading

import pytest
from standin_direct import call_response, cfn, direct_core  # noqa: F401 (the fixture core)

from qvcore_standin import ANY, Buffer, Call, Text


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
