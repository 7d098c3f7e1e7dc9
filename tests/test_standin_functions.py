"""The stand-in core library, driven directly through ctypes: every function
of the header answers with its default and is logged, the library exports
exactly those and its control functions, and its generator refuses a header
it does not understand."""

import ctypes
import ctypes.util
import re
import shutil
import subprocess
import sys

import pytest
from standin_direct import DECLS, HEADER, ROOT, cfn, direct_core  # noqa: F401 (the fixture core)

from qvcore_standin import ANY, Buffer, Call, Core, NotAStandinError, OutPtr, Text


SAMPLES = {  # ctypes type, value passed, value expected in the log
    "int": (ctypes.c_int, 7, 7),
    "double": (ctypes.c_double, 2.5, 2.5),
    "bool": (ctypes.c_bool, True, True),
    "long long": (ctypes.c_longlong, 9, 9),
    "const char*": (ctypes.c_char_p, b"t", Text(ANY, b"t")),
    "EventCallback": (ctypes.c_void_p, None, None),
}
DEFAULT_RESULTS = {
    "qvi_strerror": b"stand-in error 7",
    "qvi_now": 1700000000000,
    "qvi_now_plus": 1700000000.5,
}


@pytest.mark.parametrize("ret,name,params", DECLS, ids=[d[1] for d in DECLS])
def test_every_function_defaults_and_log(core, ret, name, params):
    argtypes, args, logged, outs = [], [], [], {}
    i = 0
    while i < len(params):
        p = params[i]
        if p == "void*":  # with its int length
            argtypes += [ctypes.c_char_p, ctypes.c_int]
            args += [b"req", 3]
            logged.append(Buffer(ANY, 3, b"req", True))
            i += 1
        elif p in ("void**", "int*", "char**"):
            out = {"void**": ctypes.c_void_p, "int*": ctypes.c_int, "char**": ctypes.c_char_p}[p]()
            outs[p] = out
            argtypes.append(ctypes.POINTER(type(out)))
            args.append(ctypes.byref(out))
            logged.append(OutPtr(ctypes.addressof(out)))
        else:
            ctype, value, expected = SAMPLES[p]
            argtypes.append(ctype)
            args.append(value)
            logged.append(expected)
        i += 1
    restype = {"int": ctypes.c_int, "void": None, "const char*": ctypes.c_char_p,
               "long long": ctypes.c_longlong, "double": ctypes.c_double}[ret]
    result = cfn(core, name, restype, *argtypes)(*args)

    assert result == DEFAULT_RESULTS.get(name, {"int": 0, "void": None, "const char*": name.encode()}.get(ret))
    if "void**" in outs:
        assert ctypes.string_at(outs["void**"].value, outs["int*"].value) == name.encode()
    if "char**" in outs:
        assert outs["char**"].value == b"addr:t"
    assert core.calls() == [Call(name, tuple(logged))]


def test_exports_are_exactly_the_core_and_control_functions(core):
    assert core.functions() == [d[1] for d in DECLS]
    if shutil.which("nm") is None or shutil.which("objdump") is None:
        pytest.skip("binutils missing")
    nm = subprocess.run(["nm", "-D", "--defined-only", core.path], check=True, capture_output=True, text=True)
    exported = {line.split()[-1] for line in nm.stdout.splitlines()}
    control = {s for s in exported if s.startswith("standin_")}
    assert exported - control == {d[1] for d in DECLS}
    assert "standin_reset" in control
    dynamic = subprocess.run(["objdump", "-p", core.path], check=True, capture_output=True, text=True).stdout
    assert re.search(r"SONAME\s+zadiv3-e\.so\n", dynamic)


@pytest.mark.parametrize(
    "decl,why",
    [
        ("int qvi_x(float f);", "cannot log parameter type 'float'"),
        ("int qvi_x(void* req);", "not followed by its int length"),
        ("int qvi_x(void** res, int n);", "not followed by its int\\* length"),
        ("void qvi_x(void** res, int* res_len);", "needs an int return"),
        ("int qvi_x(int a,\n         int b);", "not a one-line declaration"),
        ("unsigned qvi_x(void);", "unsupported return type"),
        ("double qvi_x(void);", "HANDWRITTEN"),
        ("int qvi_run(void);", "declared twice"),
        (None, "missing from the header: \\['qvi_poll'\\]"),
    ],
)
def test_generator_fails_loudly_on_what_it_does_not_understand(tmp_path, decl, why):
    text = HEADER.read_text()
    if decl is None:
        text = text.replace("int qvi_poll(void);", "")
    else:
        text = text.replace("int qvi_init(void);", "int qvi_init(void);\n" + decl)
    header = tmp_path / "qvcsdk.h"
    header.write_text(text)
    gen = subprocess.run(
        [sys.executable, str(ROOT / "standin" / "core" / "gen_core.py"), "--header", str(header), "--out-dir", str(tmp_path)],
        capture_output=True, text=True,
    )
    assert gen.returncode != 0
    assert re.search(why, gen.stderr)
    assert not (tmp_path / "core_functions.cpp").exists()


def test_a_real_core_library_is_refused():
    libc = ctypes.util.find_library("c")
    with pytest.raises(NotAStandinError, match="not the stand-in"):
        Core(libc)
