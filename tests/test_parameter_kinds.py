"""The conversion of each parameter kind: integers, floats, flags, texts and
request buffers, what each accepts and refuses, and what reaches the core."""

import ctypes
import warnings

import pytest

import c_sdk
from interpreter_says import exactly, no_len, not_bytes, too_large_for_long
from qvcore_standin import ANY, Buffer, Text


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("value,expected", [
    (2.9, 2), (-2.9, -2), (True, 1), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (IntLike(4), 4),
    (IntSub(9), 9),
])
def test_integer_parameter_accepts(core, value, expected):
    c_sdk.py_qvi_set_timer(value)
    assert core.calls()[0].args == (expected,)


@pytest.mark.parametrize("value,exc,msg", [
    (2**31, OverflowError, "^value too large to convert to int$"),
    (-(2**31) - 1, OverflowError, "^value too large to convert to int$"),
    (2**64, OverflowError, exactly(too_large_for_long(2**64))),
    ("5", TypeError, "^an integer is required$"),
    (None, TypeError, "^an integer is required$"),
    (IntLike(2.5), TypeError, r"^__int__ returned non-int \(type float\)$"),
    (IntLike(2**40), OverflowError, "^value too large to convert to int$"),
])
def test_integer_parameter_refuses(core, value, exc, msg):
    with pytest.raises(exc, match=msg):
        c_sdk.py_qvi_set_timer(value)
    assert core.calls() == []


def test_integer_subclass_from_int_warns_and_is_used(core):
    with pytest.warns(DeprecationWarning, match=r"^__int__ returned non-int \(type IntSub\)\.  The ability"):
        c_sdk.py_qvi_set_timer(IntLike(IntSub(3)))
    assert core.calls()[0].args == (3,)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            c_sdk.py_qvi_set_timer(IntLike(IntSub(3)))
    assert len(core.calls()) == 1


class FloatLike:
    def __float__(self):
        return 2.25


class IndexLike:
    def __index__(self):
        return 7


def test_float_and_flag_parameters(core):
    args = [b"s", FloatLike(), 1, 2, 3, 4, 5, 0.5, 7, 8, b"acc"]
    c_sdk.py_qvi_smart_reorder(*args)
    c_sdk.py_qvi_smart_reorder(b"s", IndexLike(), *args[2:])
    c_sdk.py_qvi_smart_reorder(b"s", 10, *args[2:])
    prices = [c.args[1] for c in core.calls()]
    assert prices == [2.25, 7.0, 10.0] and all(type(p) is float for p in prices)
    assert core.calls()[0].args[7] == 0  # max_price_offset is an int: 0.5 truncates
    for flag, expected in [(None, False), (0, False), ([], False), ("", False), (1, True), ([0], True),
                           ("0", True)]:
        core.clear_calls()
        c_sdk.py_qvi_subscribe(b"s", b"f", flag)
        assert core.calls()[0].args[2] is expected


def test_byte_strings_are_lent_not_copied(core):
    req = b"abc\x00def"
    c_sdk.py_qvi_history_ticks_pb(req)
    arg = core.calls()[0].args[0]
    assert arg == Buffer(ctypes.cast(ctypes.c_char_p(req), ctypes.c_void_p).value, 7, req, True)
    ba = bytearray(b"xyz")
    c_sdk.py_qvi_history_bars_pb(ba)
    c_sdk.py_qvi_history_bars_pb(bytearray())
    c_sdk.py_qvi_history_bars_pb(b"")
    a1, a2, a3 = (c.args[0] for c in core.calls()[1:])
    assert a1 == Buffer(ctypes.addressof((ctypes.c_char * 3).from_buffer(ba)), 3, b"xyz", True)
    assert a2.addr != 0 and a2 == Buffer(ANY, 0, b"", True)
    assert a3.addr != 0 and a3 == Buffer(ANY, 0, b"", True)
    text = b"t\x00u"
    c_sdk.py_qvi_send_msg_to_bus(b"topic", text)
    assert core.calls()[-1].args[1] == Text(ctypes.cast(ctypes.c_char_p(text), ctypes.c_void_p).value, b"t")


class BytesSub(bytes):
    pass


class LyingBytes(bytes):
    def __len__(self):
        return 1000


def test_request_subclasses_and_sizes(core):
    assert c_sdk.py_qvi_history_ticks_pb(BytesSub(b"ab"))[0] == 0
    with pytest.raises(ValueError, match="does not match its buffer"):
        c_sdk.py_qvi_history_ticks_pb(LyingBytes(b"ab"))
    with pytest.raises(TypeError, match=exactly(not_bytes([1]))):
        c_sdk.py_qvi_history_ticks_pb([1])
    with pytest.raises(TypeError, match=exactly(not_bytes(memoryview(b"ab")))):
        c_sdk.py_qvi_history_ticks_pb(memoryview(b"ab"))
    with pytest.raises(TypeError, match=exactly(no_len(42))):
        c_sdk.py_qvi_raw_func(42)
    assert len(core.calls()) == 1


class HugeLen(bytes):
    def __len__(self):
        return 2**31


def test_request_too_long_for_a_c_int(core):
    with pytest.raises(OverflowError):
        c_sdk.py_qvi_get_orders(HugeLen(b"x"))
    assert core.calls() == []


def test_bytearray_resized_by_a_later_conversion_is_refused(core):
    symbol = bytearray(b"s")

    class Grows:
        def __float__(self):
            symbol.extend(b"x" * 100000)
            return 1.0

    # The text pointer is taken after every conversion, so it points into the
    # grown buffer, never into freed memory.
    c_sdk.py_qvi_smart_reorder(symbol, Grows(), 1, 2, 3, 4, 5, 6, 7, 8, b"a")
    assert core.calls()[0].args[0].value == bytes(symbol)
