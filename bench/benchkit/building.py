"""The bench venv, c_sdk's dev and wheel builds, and bench's own modules."""

import glob
import os
import shutil
import subprocess
import sys

from .paths import (BENCH, C_SDK_BUILD, CHART_REQUIREMENTS, CORE_PATH, MINOR, PEER_BUILD, REFERENCE, REQUIREMENTS,
                    ROOT, RUN_SCRIPT, VENV, VENV_PY, WHEEL_BUILD, WHEEL_MODULE_DIR, log)


def in_bench_venv():
    return os.path.realpath(sys.prefix) == os.path.realpath(VENV)


def bootstrap():
    """Creates/updates the bench venv and re-runs bench/run.py inside it."""
    if sys.version_info[:2] < REFERENCE:
        sys.exit(f"bench/run.py needs CPython 3.10 or newer, not {sys.version.split()[0]}")
    stamp = os.path.join(VENV, "requirements.installed")
    wanted_files = [REQUIREMENTS] + ([CHART_REQUIREMENTS] if sys.version_info[:2] == REFERENCE else [])
    wanted = "".join(open(p).read() for p in wanted_files)
    if not os.path.exists(VENV_PY):
        log("bench: creating", os.path.relpath(VENV, ROOT))
        subprocess.run([sys.executable, "-m", "venv", VENV], check=True)
    installed = open(stamp).read() if os.path.exists(stamp) else None
    if installed != wanted:
        log("bench: installing", os.path.relpath(REQUIREMENTS, ROOT))
        pip_pin = os.path.join(ROOT, "requirements-pip.txt")
        subprocess.run([VENV_PY, "-m", "pip", "install", "--quiet", "--upgrade", "-r", pip_pin], check=True)
        for p in wanted_files:
            subprocess.run([VENV_PY, "-m", "pip", "install", "--quiet", "-r", p], check=True)
        with open(stamp, "w") as f:
            f.write(wanted)
    os.execv(VENV_PY, [VENV_PY, RUN_SCRIPT, *sys.argv[1:]])


def run_quiet(cmd, what, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        sys.stderr.write(r.stdout + r.stderr)
        sys.exit(f"bench: {what} failed ({' '.join(cmd)})")


def zig_executable():
    """The pinned zig of the tools venv (make tools installs it), or C_SDK_ZIG."""
    if os.environ.get("C_SDK_ZIG"):
        return os.environ["C_SDK_ZIG"]
    run_quiet(["make", "-C", ROOT, "--no-print-directory", "tools"], "make tools")
    tools_py = os.path.join(ROOT, ".venv-tools", "bin", "python")
    code = "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    return subprocess.run([tools_py, "-c", code], capture_output=True, text=True, check=True).stdout.strip()


def build_wheel_module():
    env = dict(os.environ, C_SDK_ZIG=zig_executable(), ZIG_GLOBAL_CACHE_DIR=os.path.join(ROOT, "build", "zig-cache"))
    if not os.path.exists(os.path.join(WHEEL_BUILD, "build.ninja")):
        log(f"bench: configuring {os.path.relpath(WHEEL_BUILD, ROOT)} (Zig's toolchain, as the wheels)")
        run_quiet(["cmake", "-S", ROOT, "-B", WHEEL_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                   f"-DCMAKE_TOOLCHAIN_FILE={os.path.join(ROOT, 'cmake', 'zig-toolchain.cmake')}",
                   f"-DPython_EXECUTABLE={sys.executable}", "-DC_SDK_TYPE_STUBS=OFF"], "wheel build configure",
                  env=env)
    log(f"bench: building the wheel's module ({os.path.relpath(WHEEL_BUILD, ROOT)})")
    run_quiet(["cmake", "--build", WHEEL_BUILD, "--target", "c_sdk"], "wheel build", env=env)
    os.makedirs(WHEEL_MODULE_DIR, exist_ok=True)
    for old in glob.glob(os.path.join(WHEEL_MODULE_DIR, "*")):
        os.remove(old)
    for module in glob.glob(os.path.join(WHEEL_BUILD, "stage", "c_sdk.*.so")):
        shutil.copy2(module, WHEEL_MODULE_DIR)
    os.symlink(CORE_PATH, os.path.join(WHEEL_MODULE_DIR, "zadiv3-e.so"))


def build(builds):
    if os.path.exists(os.path.join(C_SDK_BUILD, "build.ninja")):
        log(f"bench: building c_sdk ({os.path.relpath(C_SDK_BUILD, ROOT)})")
        run_quiet(["cmake", "--build", C_SDK_BUILD], "c_sdk build")
    else:
        log(f"bench: make dev ({os.path.relpath(C_SDK_BUILD, ROOT)})")
        run_quiet(["make", "-C", ROOT, "dev", f"PYTHON_VERSION={MINOR}", f"PYTHON={sys._base_executable}",
                   f"DEV_DIR={os.path.relpath(C_SDK_BUILD, ROOT)}"], "make dev")
    if not os.path.exists(os.path.join(PEER_BUILD, "CMakeCache.txt")):
        log(f"bench: configuring {os.path.relpath(PEER_BUILD, ROOT)}")
        run_quiet(["cmake", "-S", BENCH, "-B", PEER_BUILD, "-G", "Ninja", f"-DPython_EXECUTABLE={VENV_PY}",
                   f"-DC_SDK_CORE_DIR={os.path.dirname(CORE_PATH)}"], "bench configure")
    log(f"bench: building floor and peers ({os.path.relpath(PEER_BUILD, ROOT)})")
    run_quiet(["cmake", "--build", PEER_BUILD], "bench build")
    if "wheel" in builds:
        build_wheel_module()
