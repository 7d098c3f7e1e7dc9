"""What ships with the module: the type stubs generated from it, the tool that
reads its surface, and the interpreter check of its initialisation."""

import ast
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

import c_sdk
import qvcore_standin.which
import registry
from conftest import ROOT, run_python

sys.path.insert(0, os.path.join(ROOT, "tools"))
import c_sdk_api  # noqa: E402

MODULE_DIR = os.path.dirname(c_sdk.__file__)
STUBS = os.path.join(MODULE_DIR, "c_sdk-stubs", "__init__.pyi")

# The types a parameter kind of the oracle (tests/registry.py) must have in the stubs.
BYTES, TEXT = "bytes | bytearray", "str | bytes | bytearray"
KIND = {"int": "SupportsInt", "float": "SupportsFloat | SupportsIndex", "flag": "object",
        "any": "Callable[[str, bytes], object]"}
RESULT = {"pair": "tuple[int, bytes] | tuple[int, None]", "int": "int", "none": "None", "bytes": "bytes",
          "text_or_none": "bytes | None", "float": "float"}
HELPERS = {
    "is_windows": ([], "bool"),
    "is_linux": ([], "bool"),
    "adapt_to_python3": ([("func", "Callable[..., _R]")], "Callable[..., _R]"),
    "c_status_ok": ([("status", "int")], "bool"),
    "c_status_fail": ([("status", "int"), ("cfunname", "str")], "bool"),
}


def expected_type(kind, adapted):
    if kind in ("bytes", "req"):
        return TEXT if adapted else BYTES
    return KIND[kind]


@pytest.fixture(scope="module")
def stubs():
    if not os.path.exists(STUBS):
        pytest.skip("this build has no type stubs (sanitizer build, or C_SDK_TYPE_STUBS=OFF)")
    with open(STUBS, encoding="utf-8") as f:
        tree = ast.parse(f.read(), STUBS)
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    variables = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    return functions, classes, variables


def signature(fn):
    params = [(a.arg, ast.unparse(a.annotation)) for a in fn.args.args]
    return params, ast.unparse(fn.returns)


def test_stubs_declare_exactly_the_public_namespace(stubs):
    functions, classes, variables = stubs
    public = {n for n in [*functions, *classes, *variables] if not n.startswith("_")}
    assert public == set(registry.NAMESPACE) - {"functools", "platform"}


def test_stub_signatures_match_what_each_callable_accepts(stubs):
    functions = stubs[0]
    for row in registry.WRAPPERS:
        want = [(name, expected_type(kind, row.adapted)) for name, kind in row.params]
        assert signature(functions[row.name]) == (want, RESULT[row.result]), row.name
    for name, params, result, _ in registry.DIRECT:
        want = [(p, expected_type(kind, False)) for p, kind in params]
        assert signature(functions[name]) == (want, RESULT[result]), name
    for name, (params, result) in HELPERS.items():
        assert signature(functions[name]) == (params, result), name
    assert [ast.unparse(d) for d in functions["c_status_fail"].args.defaults] == ["''"]


def test_stub_records_mirror_the_classes(stubs):
    classes = stubs[1]
    for name in registry.RECORDS:
        cls = getattr(c_sdk, name)
        declared = {}
        for node in classes[name].body:
            if isinstance(node, ast.FunctionDef):
                decorators = [ast.unparse(d) for d in node.decorator_list]
                declared.setdefault(node.name, set()).update(decorators or ["method"])
        for member, value in vars(cls).items():
            if isinstance(value, property):
                kinds = {"property", f"{member}.setter"} if value.fset else {"property"}
                assert declared.pop(member) == kinds, f"{name}.{member}"
            elif callable(value):
                assert declared.pop(member) == {"method"}, f"{name}.{member}"
        assert declared == {}, f"{name} declares members it does not have"


def test_stub_parameter_names_bind(core, stubs):
    """Every parameter name of the stubs is accepted as a keyword by the module:
    the call then fails converting the value, before the core, never binding."""
    for name, fn in stubs[0].items():
        params = [a.arg for a in fn.args.args]
        if name.startswith("_") or name in HELPERS or not params or name == "py_qvi_set_data_callback":
            continue
        with pytest.raises(TypeError) as e:
            getattr(c_sdk, name)(**{p: object() for p in params})
        assert "argument" not in str(e.value), (name, str(e.value))
    assert core.calls() == []


def test_surface_reader_refuses_what_it_does_not_know():
    api = c_sdk_api.load()
    assert [w.name for w in api.wrappers] == [row.name for row in registry.WRAPPERS]
    assert [d.name for d in api.direct] == [d[0] for d in registry.DIRECT]
    c_sdk.extra = 1
    with pytest.raises(c_sdk_api.ApiMismatch, match="extra"):
        c_sdk_api.load()
    del c_sdk.extra
    del c_sdk.c_status_ok
    with pytest.raises(c_sdk_api.ApiMismatch, match="c_status_ok"):
        c_sdk_api.load()


def test_surface_reader_refuses_helpers_that_bind_otherwise_than_declared():
    fn = c_sdk.c_status_fail
    try:
        fn.__defaults__ = None  # cfunname is then required, unlike the declaration
        with pytest.raises(c_sdk_api.ApiMismatch, match=r"^c_status_fail binds "):
            c_sdk_api.load()
    finally:
        fn.__defaults__ = ("",)
    c_sdk.c_status_ok = c_sdk.adapt_to_python3(c_sdk.c_status_ok)
    with pytest.raises(c_sdk_api.ApiMismatch, match=r"^c_status_ok binds \[\('args', None\)"):
        c_sdk_api.load()


# --- the interpreter check --------------------------------------------------


def test_import_warns_nothing_on_its_own_interpreter():
    proc = run_python("""
        import warnings
        warnings.simplefilter("error")
        import c_sdk
        print(c_sdk.IS_PY3)
    """)
    assert proc.stdout.strip() == "True", proc.stderr


def other_interpreters():
    """The other CPythons 3.10+ of this machine (pyenv's or on PATH): {(major, minor): executable}."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates = sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3")))
    candidates += [shutil.which(f"python3.{minor}") for minor in range(10, 16)]
    found = {}
    for exe in filter(None, candidates):
        proc = subprocess.run([exe, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True,
                              text=True)
        version = tuple(map(int, proc.stdout.split())) if proc.returncode == 0 else ()
        if version >= (3, 10) and version != sys.version_info[:2]:
            found.setdefault(version, exe)
    return found


def test_module_loaded_by_another_interpreter_names_both_versions():
    built = f"{sys.version_info[0]}.{sys.version_info[1]}"
    warned = []
    with tempfile.TemporaryDirectory() as tmp:
        # Under a plain name any interpreter tries to load it; the warning,
        # made an error, stops the initialisation before anything else runs.
        # An interpreter of another version may also refuse the build outright,
        # before the module's own code runs: an older one a module slot it does
        # not know (SystemError "unknown slot ID"), any other one a private
        # symbol that the build's inline API reaches and that it does not have.
        shutil.copy(c_sdk.__file__, os.path.join(tmp, "c_sdk.so"))
        shutil.copy(qvcore_standin.which.resolve().path, tmp)
        for (major, minor), exe in other_interpreters().items():
            proc = subprocess.run(
                [exe, "-I", "-W", "error::RuntimeWarning", "-c",
                 f"import sys; sys.path.insert(0, {tmp!r})\n"
                 "try:\n    import c_sdk\nexcept RuntimeWarning as e:\n    print(e)"],
                capture_output=True, text=True, timeout=60)
            if re.search(r"^(ImportError|SystemError): .*(undefined symbol|unknown slot ID)", proc.stderr, re.M):
                continue
            assert proc.stdout.strip() == (f"compile time Python version {built} of module 'c_sdk' does not "
                                           f"match runtime version {major}.{minor}"), proc.stderr
            warned.append((major, minor))
    if not warned:
        pytest.skip("no other CPython on this machine loads this build")
