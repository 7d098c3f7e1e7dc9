"""What the running interpreter itself says where the module leaves a refusal
to it (a byte string, a length, a float, a C long). Tests compare with these,
asked of the interpreter with a plain object, instead of writing down one
version's wording."""

import ctypes
import re

_api = ctypes.pythonapi


def _c_api(name, restype):
    fn = getattr(_api, name)
    fn.argtypes, fn.restype = [ctypes.py_object], restype
    return fn


_bytes_as_string = _c_api("PyBytes_AsString", ctypes.c_void_p)
_float_as_double = _c_api("PyFloat_AsDouble", ctypes.c_double)
_long_as_long = _c_api("PyLong_AsLong", ctypes.c_long)


def said(fn, *args):
    """The text of the exception that fn(*args) raises."""
    try:
        fn(*args)
    except Exception as e:  # noqa: BLE001 - whatever the interpreter raises is the answer
        return str(e)
    raise AssertionError(f"{fn!r}{args!r} raised nothing")


def exactly(text):
    """A pytest `match` pattern for exactly this text."""
    return "^" + re.escape(text) + "$"


def not_bytes(obj):
    return said(_bytes_as_string, obj)


def no_len(obj):
    return said(len, obj)


def not_real(obj):
    return said(_float_as_double, obj)


def too_large_for_long(value):
    return said(_long_as_long, value)


def not_callable(obj):
    return said(lambda: obj())


_bytes_from_size = ctypes.pythonapi.PyBytes_FromStringAndSize
_bytes_from_size.argtypes, _bytes_from_size.restype = [ctypes.c_void_p, ctypes.c_ssize_t], ctypes.py_object


def negative_size(n=-1):
    """A bytes object of a negative size, as the C API refuses it."""
    return said(_bytes_from_size, None, n)


def not_utf8(data):
    return said(bytes.decode, data, "utf-8")
