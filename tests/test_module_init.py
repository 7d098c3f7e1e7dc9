"""The module's initialisation: its namespace, one initialisation per process
and interpreter, imports that fail cleanly, and a shared object that links
the core by name and exports only its init function."""

import os
import shutil
import subprocess
import sys

import pytest

import c_sdk
import qv.constant
import qv.utils
from conftest import run_python

MODULE_FILE = c_sdk.__file__


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
