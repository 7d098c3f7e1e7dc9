"""Checks a repaired c_sdk wheel the way a user gets it.

    python tools/check_wheel.py --python python3.12 --raw-dir build/wheels/3.12 --dist dist --tools .venv-tools/bin \
        --plat manylinux_2_17_x86_64

1. The wheel for that interpreter holds the module, the core library
   zadiv3-e.so at the top level next to it (byte for byte as built: the
   repair neither renamed, grafted nor patched it), the stand-in controller
   and the type stubs; the module still needs the core by its file name
   through RUNPATH $ORIGIN.
2. It installs into a fresh venv with no index and no build tools on PATH,
   imports, and passes tools/wheel_smoke.py with the stand-in qv on PYTHONPATH.
3. mypy and pyright, pointed at that venv, find the stubs and type-check
   tests/typing/usage.py exactly as it expects.
4. auditwheel show finds the wheel consistent with the platform tag it bears.
5. The whole test suite passes against the installed module, with the
   release build's own linkage checks (tests/test_linkage.py) switched on.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE = "zadiv3-e.so"
STUBS = "c_sdk-stubs/__init__.pyi"


def fail(msg):
    sys.exit(f"check_wheel: {msg}")


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if proc.returncode != 0:
        fail(f"{' '.join(map(str, cmd))} failed ({proc.returncode}):\n{proc.stdout}{proc.stderr}")
    return proc.stdout


def interpreter_tag(python):
    return run([python, "-c", "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}')"]).strip()


def one(pattern):
    found = sorted(glob.glob(pattern))
    if len(found) != 1:
        fail(f"expected one wheel matching {pattern}, found {found}")
    return found[0]


def dynamic(path):
    """NEEDED, RUNPATH and SONAME entries of an ELF file."""
    out = run(["readelf", "-d", path])
    entries = {"NEEDED": [], "RUNPATH": [], "SONAME": []}
    for line in out.splitlines():
        for key in entries:
            if f"({key})" in line:
                entries[key].append(line.rsplit("[", 1)[1].rstrip("]"))
    return entries


def check_contents(raw, repaired, tmp):
    tmp = os.path.join(tmp, "contents")
    with zipfile.ZipFile(raw) as zr, zipfile.ZipFile(repaired) as zw:
        names = zw.namelist()
        modules = [n for n in names if n.startswith("c_sdk.cpython-") and n.endswith(".so")]
        if len(modules) != 1:
            fail(f"expected one module at the top level of {repaired}, found {modules}")
        for name in (CORE, "qvcore_standin.py", STUBS, "qvcore_recorder.so", "qvcore_session/__init__.py",
                     "qvcore_session/py.typed"):
            if name not in names:
                fail(f"{name} missing from {repaired}")
        grafted = [n for n in names if ".libs/" in n]
        if grafted:
            fail(f"the repair grafted libraries into the wheel: {grafted}")
        if zr.read(CORE) != zw.read(CORE):
            fail(f"the repair changed {CORE}")
        zw.extract(modules[0], tmp)
        zw.extract(CORE, tmp)
    module = dynamic(os.path.join(tmp, modules[0]))
    if CORE not in module["NEEDED"] or module["RUNPATH"] != ["$ORIGIN"]:
        fail(f"the module no longer finds the core next to itself: {module}")
    if dynamic(os.path.join(tmp, CORE))["SONAME"] != [CORE]:
        fail(f"{CORE} lost its SONAME")
    return modules[0]


def install_and_smoke(python, wheel, tmp):
    venv = os.path.join(tmp, "venv")
    run([python, "-m", "venv", venv])
    vpy = os.path.join(venv, "bin", "python")
    # No index and no build tools on PATH: the wheel must install as it is.
    bare = {"PATH": os.path.join(venv, "bin"), "HOME": tmp, "PIP_NO_CACHE_DIR": "1"}
    run([vpy, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", wheel], env=bare, cwd=tmp)
    env = dict(bare, PYTHONPATH=os.path.join(ROOT, "standin", "qv"))
    print(run([vpy, "-W", "error", os.path.join(ROOT, "tools", "wheel_smoke.py")], env=env, cwd=tmp).strip())
    return vpy


def check_tag(wheel, plat, tools):
    """The file name carries the tag, and auditwheel finds the contents consistent with it."""
    if plat not in os.path.basename(wheel).removesuffix(".whl").rsplit("-", 1)[1].split("."):
        fail(f"{os.path.basename(wheel)} is not tagged {plat}")
    out = run([os.path.join(tools, "auditwheel"), "show", wheel])
    shown = re.search(r'consistent with the following platform tag:\s*"([^"]+)"', out)
    if shown is None or shown[1] != plat:
        fail(f"auditwheel show does not find {os.path.basename(wheel)} consistent with {plat}:\n{out}")
    print(f"tag ok: auditwheel show finds {plat}")


def run_suite(vpy, plat, requirements, tmp):
    """The whole suite in the venv the wheel went into, from a folder holding
    no build, so that every test imports the installed module."""
    run([vpy, "-m", "pip", "install", "--quiet", "-r", requirements], cwd=tmp)
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "standin", "qv"), C_SDK_RELEASE_PLAT=plat,
               PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONHOME", None)
    site = run([vpy, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"], env=env, cwd=tmp).strip()
    # The suite puts tests/ and the stand-in qv first on sys.path; the module must still come from the venv.
    where = run([vpy, "-c", f"import sys; sys.path[:0] = [{os.path.join(ROOT, 'tests')!r}]; "
                 "import c_sdk, qvcore_standin; print(c_sdk.__file__); print(qvcore_standin.__file__)"],
                env=env, cwd=tmp).split()
    if any(os.path.dirname(os.path.realpath(w)) != os.path.realpath(site) for w in where):
        fail(f"the suite would not test the installed module: {where}")
    proc = subprocess.run([vpy, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", ROOT,
                           os.path.join(ROOT, "tests")], env=env, cwd=tmp, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if proc.returncode != 0:
        fail(f"the test suite failed against the installed wheel:\n{proc.stdout[-20000:]}")
    print(f"suite ok against the installed wheel: {proc.stdout.strip().splitlines()[-1]}")


def type_check(vpy, tools, tmp):
    tmp = os.path.join(tmp, "typing")
    os.mkdir(tmp)
    sample = os.path.join(tmp, "usage.py")
    shutil.copy(os.path.join(ROOT, "tests", "typing", "usage.py"), sample)
    run([os.path.join(tools, "mypy"), "--python-executable", vpy, "--strict", "--warn-unused-ignores",
         "--no-incremental", "--cache-dir", os.devnull, sample], cwd=tmp)
    config = {"typeCheckingMode": "standard", "reportUnnecessaryTypeIgnoreComment": "error",
              "include": ["usage.py"]}
    with open(os.path.join(tmp, "pyrightconfig.json"), "w") as f:
        json.dump(config, f)
    run([os.path.join(tools, "basedpyright"), "--pythonpath", vpy, "--project", tmp], cwd=tmp)
    print("type check ok: mypy and pyright find the stubs in the installed wheel")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="the interpreter the wheel is for")
    parser.add_argument("--raw-dir", required=True, help="folder holding the wheel as pip built it")
    parser.add_argument("--dist", required=True, help="folder holding the repaired wheels")
    parser.add_argument("--tools", required=True, help="bin folder of the venv with auditwheel, mypy and basedpyright")
    parser.add_argument("--plat", required=True, help="the platform tag the wheel must bear (manylinux_2_17_x86_64)")
    parser.add_argument("--requirements", default=os.path.join(ROOT, "requirements-dev.txt"),
                        help="what the test suite needs in the venv")
    parser.add_argument("--no-suite", action="store_true", help="smoke and type checks only")
    args = parser.parse_args(argv)
    tag = interpreter_tag(args.python)
    raw = one(os.path.join(args.raw_dir, f"c_sdk-*-{tag}-{tag}-linux_*.whl"))
    repaired = os.path.abspath(one(os.path.join(args.dist, f"c_sdk-*-{tag}-{tag}-manylinux*.whl")))
    with tempfile.TemporaryDirectory(prefix="c_sdk-wheel-") as tmp:
        module = check_contents(raw, repaired, tmp)
        print(f"wheel ok: {os.path.basename(repaired)} ({module}, {CORE} unchanged next to it), "
              f"{os.path.getsize(repaired)} bytes")
        check_tag(repaired, args.plat, args.tools)
        vpy = install_and_smoke(args.python, repaired, tmp)
        type_check(vpy, args.tools, tmp)
        if not args.no_suite:
            run_suite(vpy, args.plat, args.requirements, tmp)


if __name__ == "__main__":
    main()
