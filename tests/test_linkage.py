"""What the dynamic linker sees of the module and of the core next to it.

Every build exports only its entry points. A release build (a manylinux wheel,
installed and run by tools/check_wheel.py with C_SDK_RELEASE_PLAT set to its
platform tag, e.g. manylinux_2_17_x86_64) must also load on the oldest C
library that tag admits: it needs nothing but that C library's own objects,
no symbol version newer than the tag's glibc, and carries its C++ runtime
inside, neither importing one nor exposing its own to other objects."""

import os
import re
import shutil
import subprocess

import pytest

import c_sdk
from qvcore_standin import which

MODULE = c_sdk.__file__
CORE = which.resolve(MODULE).path
RECORDER = os.path.join(os.path.dirname(MODULE), "qvcore_recorder.so")
OBJECTS = {"module": MODULE, "core": CORE}
# The recording shim is preloaded into the SDK's process: it is held to the
# same rules as what it sits between.
if os.path.exists(RECORDER):
    OBJECTS["recorder"] = RECORDER
RELEASE_PLAT = os.environ.get("C_SDK_RELEASE_PLAT", "")
# The objects glibc itself consists of, under their x86-64 file names.
C_LIBRARY = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
# Names the C library defines for a C++ runtime to call: imports of them are fine.
C_LIBRARY_CXA = {"__cxa_atexit", "__cxa_finalize", "__cxa_thread_atexit_impl"}

release = pytest.mark.skipif(not RELEASE_PLAT, reason="a release wheel's rules (C_SDK_RELEASE_PLAT unset)")


def readelf(*args):
    tool = shutil.which("readelf")
    if tool is None:
        pytest.skip("readelf not available")
    return subprocess.run([tool, *args], capture_output=True, text=True, check=True).stdout


def dynamic_symbols(path):
    """(name, version, defined) of every global or weak entry of .dynsym."""
    symbols = []
    for line in readelf("--dyn-syms", "-W", path).splitlines():
        fields = line.split()
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit() or fields[4] == "LOCAL":
            continue
        name, _, version = fields[7].partition("@")
        symbols.append((name, version.lstrip("@"), fields[6] != "UND"))
    return symbols


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", readelf("-d", path))


def glibc_limit():
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", RELEASE_PLAT)
    assert match, f"C_SDK_RELEASE_PLAT={RELEASE_PLAT!r} is not a manylinux_X_Y_x86_64 tag"
    return int(match[1]), int(match[2])


def is_cxx_runtime(name):
    """Mangled C++ names and the Itanium ABI / unwinder entry points a C++ runtime defines."""
    if name in C_LIBRARY_CXA:
        return False
    return name.startswith(("_Z", "__cxa_", "__gxx_", "_Unwind_", "__dynamic_cast"))


@pytest.mark.parametrize(
    "name, valid",
    [("_Znwm", True), ("_ZnwmSt11align_val_t", True), ("__cxa_throw", True), ("_Unwind_Resume", True),
     ("__gxx_personality_v0", True), ("__cxa_atexit", False), ("__cxa_thread_atexit_impl", False),
     ("malloc", False), ("PyInit_c_sdk", False), ("qvi_init", False)])
def test_cxx_runtime_names_are_told_from_c_library_names(name, valid):
    assert is_cxx_runtime(name) is valid


def test_module_exports_only_its_init_whatever_the_symbol_type():
    defined = {name for name, _, is_defined in dynamic_symbols(MODULE) if is_defined}
    assert defined == {"PyInit_c_sdk"}


def test_core_exports_only_c_functions():
    defined = sorted(name for name, _, is_defined in dynamic_symbols(CORE) if is_defined)
    assert defined and "qvi_init" in defined and "standin_reset" in defined
    assert [n for n in defined if not re.fullmatch(r"[a-z][a-z0-9_]*", n, re.IGNORECASE)] == []


@release
@pytest.mark.parametrize("which", sorted(OBJECTS))
def test_release_build_needs_only_the_c_library(which):
    libs = needed(OBJECTS[which])
    extra = set(libs) - C_LIBRARY - ({"zadiv3-e.so"} if which == "module" else set())
    assert extra == set(), f"{which} needs {sorted(extra)}"
    assert "libc.so.6" in libs
    if which == "module":
        assert "zadiv3-e.so" in libs


@release
@pytest.mark.parametrize("which", sorted(OBJECTS))
def test_release_build_needs_no_newer_glibc_than_its_tag(which):
    versions = {v for _, v, is_defined in dynamic_symbols(OBJECTS[which]) if not is_defined and v}
    glibc = {tuple(map(int, v.removeprefix("GLIBC_").split("."))) for v in versions if v.startswith("GLIBC_")}
    assert glibc and versions == {f"GLIBC_{'.'.join(map(str, g))}" for g in glibc}, versions
    assert max(glibc)[:2] <= glibc_limit(), sorted(glibc)


@release
@pytest.mark.parametrize("which", sorted(OBJECTS))
def test_release_build_keeps_its_cxx_runtime_to_itself(which):
    symbols = dynamic_symbols(OBJECTS[which])
    imported = sorted(name for name, _, is_defined in symbols if not is_defined and is_cxx_runtime(name))
    exported = sorted(name for name, _, is_defined in symbols if is_defined and is_cxx_runtime(name))
    assert (imported, exported) == ([], [])
