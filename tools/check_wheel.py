"""Checks a repaired c_sdk wheel the way a user gets it.

    python tools/check_wheel.py --python python3.12 --raw-dir build/wheels/3.12 --dist dist --tools .venv-tools/bin \
        --plat manylinux_2_17_x86_64

1. The wheel for that interpreter holds the module, the stand-in core in a
   folder of its own (qvcore_standin/lib/zadiv3-e.so, byte for byte as
   built: the repair neither renamed, grafted nor patched it) and nothing
   where a real core goes (zadiv3-e.so next to the module), the stand-in's
   package and the type stubs; the module needs the core by its file name
   through RUNPATH $ORIGIN first, then the stand-in's folder.
2. It installs into a fresh venv with no index and no build tools on PATH,
   imports, and passes tools/wheel_smoke.py with the stand-in qv on PYTHONPATH.
   A core the user put next to the module (tools/fake_core.py builds one)
   survives pip install --force-reinstall and pip uninstall byte for byte,
   and is the one loaded and named by `python -m qvcore_standin which`.
3. mypy and pyright, pointed at that venv, find the stubs and the inline
   types of qvcore_standin and type-check tests/typing/*.py exactly as they
   expect.
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
STANDIN_DIR = "qvcore_standin/lib"
STANDIN = f"{STANDIN_DIR}/{CORE}"
RUNPATH = f"$ORIGIN:$ORIGIN/{STANDIN_DIR}"
STUBS = "c_sdk-stubs/__init__.pyi"
PACKAGE = ("qvcore_standin/__init__.py", "qvcore_standin/__main__.py", "qvcore_standin/cli.py",
           "qvcore_standin/pytest_plugin.py", "qvcore_standin/py.typed")


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
        for name in (STANDIN, *PACKAGE, STUBS, "qvcore_recorder.so", "qvcore_session/__init__.py",
                     "qvcore_session/py.typed"):
            if name not in names:
                fail(f"{name} missing from {repaired}")
        if CORE in names:
            fail(f"{repaired} installs {CORE} where a real core goes, next to the module")
        grafted = [n for n in names if ".libs/" in n]
        if grafted:
            fail(f"the repair grafted libraries into the wheel: {grafted}")
        if zr.read(STANDIN) != zw.read(STANDIN):
            fail(f"the repair changed {STANDIN}")
        zw.extract(modules[0], tmp)
        zw.extract(STANDIN, tmp)
    module = dynamic(os.path.join(tmp, modules[0]))
    if CORE not in module["NEEDED"] or module["RUNPATH"] != [RUNPATH]:
        fail(f"the module no longer finds a core next to itself first, then the stand-in: {module}")
    if dynamic(os.path.join(tmp, STANDIN))["SONAME"] != [CORE]:
        fail(f"{STANDIN} lost its SONAME")
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


def a_real_core_survives(vpy, wheel, tmp):
    """A core the user put next to the module is never touched by pip, and
    wins over the stand-in."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import fake_core

    bare = {"PATH": os.path.dirname(vpy), "HOME": tmp, "PIP_NO_CACHE_DIR": "1"}
    site = run([vpy, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"], env=bare).strip()
    core = fake_core.build(os.path.join(tmp, "real-core"))
    with open(core, "rb") as f:
        real = f.read()
    placed = os.path.join(site, CORE)
    shutil.copy(core, placed)
    env = dict(bare, PYTHONPATH=os.path.join(ROOT, "standin", "qv"))
    for step in (["install", "--force-reinstall"], ["install", "--upgrade", "--force-reinstall"]):
        run([vpy, "-m", "pip", *step, "--quiet", "--no-index", "--no-deps", wheel], env=bare, cwd=tmp)
        with open(placed, "rb") as f:
            if f.read() != real:
                fail(f"pip {' '.join(step)} changed the core next to the module")
        which = run([vpy, "-m", "qvcore_standin", "which"], env=env, cwd=tmp).splitlines()
        if which[1:] != [f"core:   {placed} (not the stand-in)"]:
            fail(f"which does not name the core next to the module: {which}")
        answer = run([vpy, "-c", "import c_sdk; print(c_sdk.py_qvi_place_order(b'x'))"], env=env, cwd=tmp)
        if answer.strip() != f"({fake_core.STATUS}, None)":
            fail(f"the core next to the module is not the one that answered: {answer.strip()}")
    run([vpy, "-m", "pip", "uninstall", "--quiet", "--yes", "c_sdk"], env=bare, cwd=tmp)
    with open(placed, "rb") as f:
        if f.read() != real:
            fail("pip uninstall changed the core next to the module")
    os.remove(placed)
    run([vpy, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", wheel], env=bare, cwd=tmp)
    print("real core ok: a core next to the module survives reinstalls and uninstalls byte for byte, and is loaded")


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
                 "import os, c_sdk, qvcore_standin; print(c_sdk.__file__); "
                 "print(os.path.dirname(qvcore_standin.__file__))"],
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
    samples = sorted(glob.glob(os.path.join(ROOT, "tests", "typing", "*.py")))
    for sample in samples:
        shutil.copy(sample, tmp)
    names = [os.path.basename(s) for s in samples]
    # pytest comes with the plugin's types (qvcore_standin.pytest_plugin).
    run([vpy, "-m", "pip", "install", "--quiet", "-r", os.path.join(ROOT, "requirements-dev.txt")], cwd=tmp)
    run([os.path.join(tools, "mypy"), "--python-executable", vpy, "--strict", "--warn-unused-ignores",
         "--no-incremental", "--cache-dir", os.devnull, *names], cwd=tmp)
    config = {"typeCheckingMode": "standard", "reportUnnecessaryTypeIgnoreComment": "error",
              "include": names}
    with open(os.path.join(tmp, "pyrightconfig.json"), "w") as f:
        json.dump(config, f)
    run([os.path.join(tools, "basedpyright"), "--pythonpath", vpy, "--project", tmp], cwd=tmp)
    print("type check ok: mypy and pyright find the stubs and qvcore_standin's types in the installed wheel")


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
        print(f"wheel ok: {os.path.basename(repaired)} ({module}, {STANDIN} unchanged, no {CORE} next to it), "
              f"{os.path.getsize(repaired)} bytes")
        check_tag(repaired, args.plat, args.tools)
        vpy = install_and_smoke(args.python, repaired, tmp)
        a_real_core_survives(vpy, repaired, tmp)
        type_check(vpy, args.tools, tmp)
        if not args.no_suite:
            run_suite(vpy, args.plat, args.requirements, tmp)


if __name__ == "__main__":
    main()
