"""What the tests of the stand-in core library zadiv3-e.so, driven directly
through ctypes, share: the header's declarations, the library as a Core (the
fixture `core` of those tests; conftest.standin_lib_path says which library)
and typed access to its functions.

A test module takes the fixture by importing direct_core.
"""

import ctypes
import pathlib
import re
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
HEADER = ROOT / "include" / "qvcsdk.h"
sys.path.insert(0, str(ROOT / "standin" / "python"))

from qvcore_standin import Core  # noqa: E402

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


@pytest.fixture(name="core")
def direct_core(standin_lib_path):
    """The library as a Core, reset, with no callback registered."""
    c = Core(standin_lib_path)
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
