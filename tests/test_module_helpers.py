"""The module's helpers (the status checks, the platform probes) and its
adapter of str arguments."""

import logging

import pytest

import c_sdk
from interpreter_says import exactly, not_bytes


def test_helper_attributes():
    assert c_sdk.c_status_fail.__defaults__ == ("",)
    for name in ("is_windows", "is_linux", "adapt_to_python3", "c_status_ok"):
        assert getattr(c_sdk, name).__defaults__ is None
    assert c_sdk.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert c_sdk.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
    doc = c_sdk.adapt_to_python3.__doc__
    assert doc.startswith("\n     ") and doc.endswith("\n     ") and doc.count("\n") == 2
    assert c_sdk.is_windows.__doc__ is None and c_sdk.is_linux.__doc__ is None


def test_platform_probes(core):
    assert c_sdk.is_linux() is True and c_sdk.is_windows() is False

    class FakePlatform:
        @staticmethod
        def uname():
            return ("Windows", "host")

    c_sdk.platform = FakePlatform
    assert c_sdk.is_windows() is True and c_sdk.is_linux() is False
    with pytest.raises(TypeError, match=r"^is_linux\(\) takes no arguments \(1 given\)$"):
        c_sdk.is_linux(1)


def test_status_ok(core):
    assert c_sdk.c_status_ok(0) is True and c_sdk.c_status_ok(5) is False
    assert c_sdk.c_status_ok(status=0) is True
    c_sdk.CSDK_OPERATE_SUCCESS = 7
    assert c_sdk.c_status_ok(7) is True
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        c_sdk.c_status_ok(0)


class Recorder:
    def __init__(self):
        self.lines = []

    def debug(self, text):
        self.lines.append(text)
        return "ignored"


def test_status_fail_logs_the_core_text(core):
    rec = Recorder()
    c_sdk.qvsdklogger = rec
    assert c_sdk.c_status_fail(0) is False and rec.lines == [] and core.calls() == []
    assert c_sdk.c_status_fail(5, "qvi_run") is True
    assert c_sdk.c_status_fail(6) is True
    assert c_sdk.c_status_fail(7, cfunname="") is True
    assert rec.lines == [
        "invoke c fun=qvi_run error code=5, error info=stand-in error 5",
        "invoke c fun error code=6, error info=stand-in error 6",
        "invoke c fun error code=7, error info=stand-in error 7",
    ]
    c_sdk.py_qvi_strerror = lambda status: b"\xff"
    with pytest.raises(UnicodeDecodeError):
        c_sdk.c_status_fail(1)


def test_status_fail_with_the_real_logger(core, caplog):
    with caplog.at_level(logging.DEBUG, logger=c_sdk.qvsdklogger.name):
        c_sdk.c_status_fail(3, "qvi_init")
    assert caplog.messages == ["invoke c fun=qvi_init error code=3, error info=stand-in error 3"]


@pytest.mark.parametrize("args,msg", [
    ((), "at least 1 positional argument (0 given)"),
    ((1, "a", 3), "at most 2 positional arguments (3 given)"),
])
def test_status_fail_argument_counts(args, msg):
    with pytest.raises(TypeError) as e:
        c_sdk.c_status_fail(*args)
    assert str(e.value) == f"c_status_fail() takes {msg}"


# --- the adapter ----------------------------------------------------------


def test_adapter_converts_only_str(core):
    seen = []

    def func(*args, **kwargs):
        seen.append((args, kwargs))
        return "result"

    wrapped = c_sdk.adapt_to_python3(func)
    assert wrapped.__name__ == "wrapper" and wrapped.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert wrapped.__doc__ is None
    things = [b"abc", bytearray(b"abc"), 1, None, ["x"]]
    assert wrapped("abc", *things, req="x", other=5) == "result"
    assert seen[-1] == ((b"abc", *things), {"req": b"x", "other": 5})

    class S(str):
        def encode(self, encoding):
            return b"custom-" + str.encode(self, encoding)

    wrapped(S("q"))
    assert seen[-1] == ((b"custom-q",), {})
    with pytest.raises(UnicodeEncodeError):
        wrapped("a", "é")
    c_sdk.IS_PY2 = True
    wrapped("abc", k="v")
    assert seen[-1] == (("abc",), {"k": "v"})
    assert len(seen) == 3


def test_adapter_with_many_arguments_and_py2_switch(core):
    wrapped = c_sdk.adapt_to_python3(lambda *a: a)
    args = [str(i) for i in range(40)]
    assert wrapped(*args) == tuple(s.encode() for s in args)
    c_sdk.IS_PY2 = True
    with pytest.raises(TypeError, match=exactly(not_bytes("abc"))):
        c_sdk.py_qvi_place_order("abc")
    assert core.calls() == []
