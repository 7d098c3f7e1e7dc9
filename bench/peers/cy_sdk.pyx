# cython: language_level=3
# The benchmark's operations written the usual Cython way: def functions
# with typed parameters, an adapter decorator for the str arguments,
# module globals read where c_sdk reads them (CSDK_OPERATE_SUCCESS, IS_PY2,
# f), and the record classes compiled from their plain Python source.
import functools

from qv.constant import CSDK_OPERATE_SUCCESS

cdef extern from "qvcsdk.h":
    ctypedef void (*EventCallback)(const char* msg_type, void* data, int data_len)
    void qvi_set_event_callback_pb(EventCallback cb)
    int qvi_history_ticks_pb(void* req, int req_len, void** res, int* res_len)
    int qvi_place_order_pb(void* req, int req_len, void** res, int* res_len)
    int qvi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                double transaction_ratio, double commission_ratio, double commission_unit,
                                double slippage_ratio, double option_float_margin_ratio1,
                                double option_float_margin_ratio2, int adjust, int match_mode, int check_cache)
    int qvi_subscribe(const char* symbols, const char* frequency, bint unsubscribe_previous)
    long long c_qvi_now "qvi_now"()

IS_PY2 = False
f = None


def adapt_to_python3(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        if not IS_PY2:
            args = [a.encode("ascii") if isinstance(a, str) else a for a in args]
            kwargs = {k: (v.encode("ascii") if isinstance(v, str) else v) for k, v in kwargs.items()}
        return func(*args, **kwargs)
    return wrapper


cdef object pair(int status, void* res, int res_len):
    if status == CSDK_OPERATE_SUCCESS:
        if res == NULL:
            return status, b""
        return status, (<char*>res)[:res_len]
    return status, None


def py_qvi_history_ticks_pb(req):
    cdef const char* p = req
    cdef void* res = NULL
    cdef int res_len = 0
    cdef int status = qvi_history_ticks_pb(<void*>p, len(req), &res, &res_len)
    return pair(status, res, res_len)


def _place_order(req):
    cdef const char* p = req
    cdef void* res = NULL
    cdef int res_len = 0
    cdef int status = qvi_place_order_pb(<void*>p, len(req), &res, &res_len)
    return pair(status, res, res_len)


py_qvi_place_order = adapt_to_python3(_place_order)


def _set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                         double transaction_ratio, double commission_ratio, double commission_unit,
                         double slippage_ratio, double option_float_margin_ratio1,
                         double option_float_margin_ratio2, int adjust, int match_mode, int check_cache):
    return qvi_set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                   commission_unit, slippage_ratio, option_float_margin_ratio1,
                                   option_float_margin_ratio2, adjust, match_mode, check_cache)


py_qvi_set_backtest_config = adapt_to_python3(_set_backtest_config)


def _subscribe(const char* symbols, const char* frequency, bint unsubscribe_previous):
    return qvi_subscribe(symbols, frequency, unsubscribe_previous)


py_qvi_subscribe = adapt_to_python3(_subscribe)


def qvi_now():
    return c_qvi_now()


cdef void callback_wrapper(const char* msg_type, void* data, int data_len) noexcept with gil:
    if IS_PY2:
        t = <bytes>msg_type
    else:
        t = msg_type.decode("utf-8")
    f(t, (<char*>data)[:data_len])


def py_qvi_set_data_callback(pythonf):
    global f
    f = pythonf
    qvi_set_event_callback_pb(callback_wrapper)


include "records.py"
