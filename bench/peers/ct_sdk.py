"""The benchmark's operations written the usual ctypes way: a pure Python
module over ``ctypes.CDLL``, the adapter as a decorator, the record classes as
plain ``__slots__`` classes. The core library is the file named by the
environment variable ``QV_CORE_LIBRARY`` (the harness points it at the one
c_sdk loaded, so that the process has one core)."""

import ctypes
import functools
import os
from ctypes import POINTER, byref, c_bool, c_char_p, c_double, c_int, c_longlong, c_void_p

from qv.constant import CSDK_OPERATE_SUCCESS
from records import BarLikeDict2, TickLikeDict2  # noqa: F401  (part of the module's surface)

IS_PY2 = False
f = None

_lib = ctypes.CDLL(os.environ.get("QV_CORE_LIBRARY", "zadiv3-e.so"))


def _fn(name, restype, *argtypes):
    fn = getattr(_lib, name)
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


_request_response = (c_char_p, c_int, POINTER(c_void_p), POINTER(c_int))
_history_ticks = _fn("qvi_history_ticks_pb", c_int, *_request_response)
_place_order = _fn("qvi_place_order_pb", c_int, *_request_response)
_set_backtest_config = _fn("qvi_set_backtest_config", c_int, c_char_p, c_char_p, *[c_double] * 7, c_int, c_int, c_int)
_subscribe = _fn("qvi_subscribe", c_int, c_char_p, c_char_p, c_bool)
_now = _fn("qvi_now", c_longlong)
EventCallback = ctypes.CFUNCTYPE(None, c_char_p, c_void_p, c_int)
_set_event_callback = _fn("qvi_set_event_callback_pb", None, EventCallback)


def adapt_to_python3(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        if not IS_PY2:
            args = [a.encode("ascii") if isinstance(a, str) else a for a in args]
            kwargs = {k: (v.encode("ascii") if isinstance(v, str) else v) for k, v in kwargs.items()}
        return func(*args, **kwargs)

    return wrapper


def _pair(status, res, res_len):
    if status == CSDK_OPERATE_SUCCESS:
        return status, (ctypes.string_at(res, res_len.value) if res.value else b"")
    return status, None


def py_qvi_history_ticks_pb(req):
    res, res_len = c_void_p(), c_int()
    status = _history_ticks(req, len(req), byref(res), byref(res_len))
    return _pair(status, res, res_len)


@adapt_to_python3
def py_qvi_place_order(req):
    res, res_len = c_void_p(), c_int()
    status = _place_order(req, len(req), byref(res), byref(res_len))
    return _pair(status, res, res_len)


@adapt_to_python3
def py_qvi_set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                               commission_unit, slippage_ratio, option_float_margin_ratio1,
                               option_float_margin_ratio2, adjust, match_mode, check_cache):
    return _set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                commission_unit, slippage_ratio, option_float_margin_ratio1,
                                option_float_margin_ratio2, adjust, match_mode, check_cache)


@adapt_to_python3
def py_qvi_subscribe(symbols, frequency, unsubscribe_previous):
    return _subscribe(symbols, frequency, unsubscribe_previous)


def qvi_now():
    return _now()


def _callback(msg_type, data, data_len):
    t = msg_type if IS_PY2 else msg_type.decode("utf-8")
    f(t, ctypes.string_at(data, data_len) if data_len else b"")


_callback_wrapper = EventCallback(_callback)


def py_qvi_set_data_callback(pythonf):
    global f
    f = pythonf
    _set_event_callback(_callback_wrapper)


def callback_address():
    """Address of the C entry point ctypes made for the callback."""
    return ctypes.cast(_callback_wrapper, c_void_p).value
