"""The tools' commands as installed: qvcore-session and qvcore-standin do what
python -m does, --version gives the distribution's version (pyproject.toml's),
and the make targets hand pytest its arguments once."""

import importlib.metadata
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import ROOT

import c_sdk
import qvcore_session
import qvcore_standin

TOOLS = [("qvcore-session", "qvcore_session", qvcore_session, ["shim"]),
         ("qvcore-standin", "qvcore_standin", qvcore_standin, ["which"])]


def installed_version():
    try:
        return importlib.metadata.version("c_sdk")
    except importlib.metadata.PackageNotFoundError:
        return None


def run(*cmd):
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return subprocess.run(list(cmd), capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize("script, package, module, _", TOOLS, ids=[t[0] for t in TOOLS])
def test_version_is_the_distributions(script, package, module, _):
    proc = run(sys.executable, "-m", package, "--version")
    assert proc.returncode == 0 and proc.stdout == f"python -m {package} {module.__version__}\n", proc.stderr
    assert module.__version__ == (installed_version() or "0+unknown")


@pytest.mark.parametrize("script, package, module, args", TOOLS, ids=[t[0] for t in TOOLS])
def test_console_script_does_what_python_m_does(script, package, module, args):
    path = shutil.which(script, path=os.path.dirname(sys.executable))
    if path is None:
        pytest.skip(f"{script} is not installed beside {sys.executable}")
    version = run(path, "--version")
    assert version.returncode == 0 and version.stdout.split() == [script, installed_version()]
    by_script, by_module = run(path, *args), run(sys.executable, "-m", package, *args)
    assert (by_script.returncode, by_script.stdout) == (by_module.returncode, by_module.stdout)
    assert run(path, "--help").stdout.startswith(f"usage: {script} ")


def test_the_module_namespace_gains_no_version():
    assert not hasattr(c_sdk, "__version__")


@pytest.mark.skipif(shutil.which("make") is None, reason="no make")
@pytest.mark.parametrize("args, expected", [("-q", ["-q"]), ("-v", ["-v"]), ("-x tests/a.py", ["-q", "-x", "tests/a.py"]),
                                            ("", ["-q"])])
@pytest.mark.parametrize("target", ["dev-test", "test"])
def test_make_passes_pytest_arguments_once(target, args, expected):
    proc = run("make", "-n", "-C", ROOT, target, f"ARGS={args}")
    line = next(text for text in proc.stdout.splitlines() if " -m pytest" in text)
    assert line.split(" -m pytest", 1)[1].split() == expected, line



def test_changelog_has_a_section_for_the_version_and_one_unreleased():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        version = re.search(r'(?m)^version = "([^"]+)"', f.read()).group(1)
    with open(os.path.join(ROOT, "CHANGELOG.md")) as f:
        sections = re.findall(r"(?m)^## \[([^\]]+)\]", f.read())
    assert sections[0] == "Unreleased" and version in sections and sections[1:] == sorted(sections[1:], reverse=True)


def test_installed_metadata_says_what_and_who():
    try:
        meta = importlib.metadata.metadata("c_sdk")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("c_sdk is not installed")
    assert meta["Summary"] and meta["Author"] and meta["Maintainer"] and "trading" in meta["Keywords"].split(",")
