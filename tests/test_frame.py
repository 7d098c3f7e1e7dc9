"""Initialisation, helpers, conversions and the shared shapes."""

import ctypes
import logging
import os
import shutil
import subprocess
import sys
import warnings

import pytest

import c_sdk
import qv.constant
import qv.utils
from conftest import run_python
from interpreter_says import exactly, no_len, not_bytes, too_large_for_long
from qvcore_standin import ANY, Buffer, Text

MODULE_FILE = c_sdk.__file__


# --- initialisation -------------------------------------------------------


def test_namespace_values():
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True
    assert c_sdk.CSDK_OPERATE_SUCCESS is qv.constant.CSDK_OPERATE_SUCCESS
    assert c_sdk.qvsdklogger is qv.utils.qvsdklogger
    assert c_sdk.functools is sys.modules["functools"] and c_sdk.platform is sys.modules["platform"]
    assert not hasattr(c_sdk, "f")
    assert c_sdk.__doc__ is None and c_sdk.__file__.endswith(".so")


def test_import_twice_gives_the_same_module_and_initialises_once():
    proc = run_python("""
        import importlib, sys
        import c_sdk
        first = c_sdk
        first.marker = 1
        del sys.modules['c_sdk']
        again = importlib.import_module('c_sdk')
        print(again is first, again.marker)
    """)
    assert proc.stdout.split() == ["True", "1"], proc.stderr


IMPORT_IN_SUBINTERPRETER = """
import c_sdk
code = "try:\\n    import c_sdk\\nexcept ImportError as e:\\n    print('refused:', e)\\nelse:\\n    print('loaded')"
"""
OUR_REFUSAL = ("refused: Interpreter change detected - this module can only be loaded into one interpreter "
               "per process.")


def test_a_second_interpreter_sharing_the_lock_is_refused_by_the_create_step():
    # The only kind of second interpreter 3.10 and 3.11 have, and still made
    # by Py_NewInterpreter on every version: the module's own step refuses it.
    proc = run_python(IMPORT_IN_SUBINTERPRETER + """
try:
    import _testcapi
except ImportError:
    print("no _testcapi")
else:
    _testcapi.run_in_subinterp(code)
""")
    if proc.stdout.strip() == "no _testcapi":
        pytest.skip("this interpreter is built without _testcapi")
    assert proc.stdout.strip() == OUR_REFUSAL, proc.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a lock of their own came with 3.12")
def test_an_isolated_interpreter_is_refused_by_cpython_before_the_create_step():
    # From 3.12 an interpreter may have its own lock; the module does not say
    # it supports that, so CPython itself refuses the import before the
    # module's code runs, with its own ImportError naming the module.
    proc = run_python(IMPORT_IN_SUBINTERPRETER + """
try:
    from concurrent import interpreters  # 3.14
    interpreters.create().exec(code)
except ImportError:
    try:
        import _interpreters as raw  # 3.13
    except ImportError:
        import _xxsubinterpreters as raw  # 3.12
    raw.run_string(raw.create(), code)
""")
    out = proc.stdout.strip()
    assert out.startswith("refused:") and "c_sdk" in out and out != OUR_REFUSAL, (out, proc.stderr)


def test_import_without_qv_utils_fails_cleanly_and_can_be_retried(tmp_path):
    pkg = tmp_path / "qv"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "constant.py").write_text("CSDK_OPERATE_SUCCESS = 0\n")
    proc = run_python(f"""
        import sys, traceback
        try:
            import c_sdk
        except ModuleNotFoundError as e:
            print('missing', e.name)
            print('init c_sdk' in ''.join(traceback.format_tb(e.__traceback__)))
        print('c_sdk' in sys.modules)
        open({str(pkg / 'utils.py')!r}, 'w').write('import logging\\nqvsdklogger = logging.getLogger("x")\\n')
        import importlib; importlib.invalidate_caches()
        import c_sdk
        print(c_sdk.qvsdklogger.name, callable(c_sdk.py_qvi_run))
    """, path=(str(tmp_path),))
    assert proc.stdout.split() == ["missing", "qv.utils", "True", "False", "x", "True"], proc.stderr


def test_import_with_a_name_missing_from_qv(tmp_path):
    pkg = tmp_path / "qv"
    pkg.mkdir()
    for name, body in {"__init__": "", "constant": "OTHER = 1\n", "utils": "qvsdklogger = None\n"}.items():
        (pkg / f"{name}.py").write_text(body)
    proc = run_python("""
        try:
            import c_sdk
        except ImportError as e:
            print(type(e).__name__, '|', e)
    """, path=(str(tmp_path),))
    assert proc.stdout.strip() == "ImportError | cannot import name CSDK_OPERATE_SUCCESS", proc.stderr


def test_shared_object_links_the_core_by_name_and_exports_only_its_init():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    dyn = subprocess.run([readelf, "-d", MODULE_FILE], capture_output=True, text=True, check=True).stdout
    assert "Shared library: [zadiv3-e.so]" in dyn
    assert "(RUNPATH)" in dyn and "Library runpath: [$ORIGIN:$ORIGIN/qvcore_standin/lib]" in dyn
    syms = subprocess.run([readelf, "--dyn-syms", "-W", MODULE_FILE], capture_output=True, text=True,
                          check=True).stdout
    defined = {line.split()[-1] for line in syms.splitlines()
               if line.strip()[:1].isdigit() and " UND " not in line and line.split()[-1] != "0"
               and line.split()[3] in ("FUNC", "OBJECT")}
    assert defined == {"PyInit_c_sdk"}
    assert os.path.exists(os.path.join(os.path.dirname(MODULE_FILE), "qvcore_standin", "lib", "zadiv3-e.so"))


# --- helpers --------------------------------------------------------------


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


# --- parameter kinds ------------------------------------------------------


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


# --- results --------------------------------------------------------------


def test_rebound_success_value_changes_what_counts_as_success(core):
    c_sdk.CSDK_OPERATE_SUCCESS = 4
    core.set_status("qvi_place_order_pb", 4)
    assert c_sdk.py_qvi_place_order(b"x") == (4, b"qvi_place_order_pb")
    core.set_status("qvi_place_order_pb", 0)
    assert c_sdk.py_qvi_place_order(b"x") == (0, None)

    class Weird:
        def __eq__(self, other):
            raise KeyError("compare")

    c_sdk.CSDK_OPERATE_SUCCESS = Weird()
    with pytest.raises(KeyError):
        c_sdk.py_qvi_place_order(b"x")
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        c_sdk.py_qvi_place_order(b"x")
    assert len(core.calls()) == 4  # the lookup happens after the call


def test_direct_callable_values(core):
    core.set_now(123456789012345)
    core.set_now_plus(1.25)
    assert c_sdk.qvi_now() == 123456789012345 and c_sdk.qvi_now_plus() == 1.25
    assert c_sdk.qvi_strerror(errorno=0) == c_sdk.qvi_strerror(0) == b"stand-in error 0"
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.qvi_strerror("0")
    c_sdk.qvi_set_bus_secure(1, b"", b"", b"", [])
    c_sdk.qvi_set_bus_secure(1, b"", b"", b"", [0])
    assert [c.args[4] for c in core.calls()[-2:]] == [False, True]
    with pytest.raises(TypeError, match=r"^wrap\(\) takes exactly 2 positional arguments \(1 given\)$"):
        c_sdk.qvi_send_msg_to_bus(b"t")


def test_functions_bind_as_methods_and_keep_attributes():
    class Holder:
        ok = c_sdk.c_status_ok

    assert Holder().ok() is False  # self (a Holder) is passed as the status
    fn = c_sdk.py_qvi_run
    fn.__doc__ = "x"
    fn.custom = 1
    assert (fn.__doc__, fn.custom) == ("x", 1)
    fn.__doc__ = None
    del fn.custom
    with pytest.raises(TypeError):
        fn.__name__ = 3
    assert repr(fn).startswith("<function py_qvi_run at 0x")
