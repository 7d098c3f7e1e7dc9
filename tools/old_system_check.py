"""Looks at the wheels from an older Linux than the one they were built on
(make wheel-old-system runs it in a Debian 11 chroot, glibc 2.31, whose
Python is too old to import the module):

    python3 tools/old_system_check.py dist/*.whl

For each wheel: every shared library in it resolves all it needs (ldd; the
core and the recording shim, which need nothing from an interpreter, with
every symbol bound as well, ldd -r), and the stand-in core loads through ctypes and answers calls
that go through its C++ runtime (its clock, its version text, its call log).
Runs on any Python 3 from 3.6 on.
"""

import ctypes
import os
import platform
import subprocess
import sys
import tempfile
import zipfile

CORE = "qvcore_standin/lib/zadiv3-e.so"
RECORDER = "qvcore_recorder.so"


def fail(msg):
    sys.exit("old_system_check: " + msg)


def ldd(path, bind_all):
    cmd = ["ldd", "-r", path] if bind_all else ["ldd", path]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    out = proc.stdout
    missing = [line.strip() for line in out.splitlines() if "not found" in line or "undefined symbol" in line]
    if proc.returncode != 0 or missing:
        fail("{} does not resolve here:\n{}".format(os.path.basename(path), out))
    return [line.split()[0] for line in out.splitlines() if line.strip()]


def ask_core(path):
    lib = ctypes.CDLL(path)
    lib.qvi_now.restype = ctypes.c_longlong
    lib.standin_set_now.argtypes = [ctypes.c_longlong]
    lib.qvi_get_c_version.restype = ctypes.c_char_p
    lib.standin_log_json.restype = ctypes.c_char_p
    lib.standin_log_size.restype = ctypes.c_longlong
    lib.standin_ask()
    lib.standin_reset()
    lib.standin_log_enable(1)
    lib.standin_set_now(1234567890123)
    now = lib.qvi_now()
    if now != 1234567890123:
        fail("the core's clock answered {} instead of 1234567890123".format(now))
    version = lib.qvi_get_c_version()
    if not version:
        fail("the core gave no version text")
    log = lib.standin_log_json().decode()
    if lib.standin_log_size() != 2 or '"qvi_now"' not in log or '"qvi_get_c_version"' not in log:
        fail("the core's call log is not what was called: " + log)
    lib.standin_reset()
    return version.decode()


def check(wheel, tmp):
    with zipfile.ZipFile(wheel) as z:
        libs = [n for n in z.namelist() if n.endswith(".so")]
        z.extractall(tmp, libs)
    modules = [n for n in libs if n.startswith("c_sdk.")]
    if sorted(libs) != sorted(modules + [CORE, RECORDER]) or len(modules) != 1:
        fail("{} holds {} instead of the module, {} and {}".format(wheel, libs, CORE, RECORDER))
    for name in libs:
        deps = ldd(os.path.join(tmp, name), bind_all=name in (CORE, RECORDER))
        print("  {}: {}".format(name, ", ".join(os.path.basename(d) for d in deps)))
    return ask_core(os.path.join(tmp, CORE))


def main(argv):
    if not argv:
        fail("usage: old_system_check.py WHEEL...")
    libc = " ".join(platform.libc_ver())
    print("old system: {} {}, Python {}".format(platform.system(), libc, platform.python_version()))
    for wheel in argv:
        with tempfile.TemporaryDirectory() as tmp:
            print(os.path.basename(wheel))
            version = check(wheel, tmp)
        print("  ok: every library resolves; the stand-in core ({}) answers through ctypes".format(version))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
