"""Builds a small core library that is not the stand-in: every function of
include/qvcsdk.h, answering a fixed value, and none of the stand-in's
controls. The checks use it as "the real core" a user puts next to the
module, to see that it is the one loaded and that installing never touches it.

    python tools/fake_core.py OUT_DIR    # writes OUT_DIR/zadiv3-e.so

Its answers: status 7 (no response written), texts b"real core", qvi_now()
42, qvi_now_plus() 4.2.
"""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "standin", "core"))
import gen_core  # noqa: E402

STATUS = 7
RESULTS = {"int": f"return {STATUS};", "const char*": 'return "real core";', "long long": "return 42;",
           "double": "return 4.2;", "void": ""}


def source(functions):
    lines = ['#include "qvcsdk.h"', ""]
    for f in functions:
        lines.append(f"{f.ret} {f.name}({f.c_params}) {{ {RESULTS[f.ret]} }}")
    return "\n".join(lines) + "\n"


def build(out_dir, cc=None):
    """Writes and compiles the library; returns its path."""
    with open(os.path.join(ROOT, "include", "qvcsdk.h")) as f:
        functions = gen_core.parse_header(f.read())
    os.makedirs(out_dir, exist_ok=True)
    src = os.path.join(out_dir, "fake_core.c")
    with open(src, "w") as f:
        f.write(source(functions))
    lib = os.path.join(out_dir, "zadiv3-e.so")
    cmd = [cc or os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O1", "-I", os.path.join(ROOT, "include"),
           "-Wl,-soname,zadiv3-e.so", "-o", lib, src]
    subprocess.run(cmd, check=True, capture_output=True)
    os.remove(src)
    return lib


if __name__ == "__main__":
    print(build(sys.argv[1]))
