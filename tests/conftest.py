import os
import shutil
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
QV_PATH = os.path.join(ROOT, "standin", "qv")
if QV_PATH not in sys.path:
    sys.path.insert(0, QV_PATH)
sys.path.insert(0, HERE)
# The suite asks for the stand-in, in this process and in the ones it starts;
# the tests of the refusal take the variable out.
os.environ["QVCORE_STANDIN"] = "1"

import c_sdk  # noqa: E402
import qvcore_standin  # noqa: E402
import qvcore_standin.pytest_plugin  # noqa: E402


def pytest_configure(config):
    # An installed c_sdk registers the plugin through its entry point; a
    # build on PYTHONPATH (make dev-test) has none.
    if not config.pluginmanager.hasplugin("qvcore_standin"):
        config.pluginmanager.register(qvcore_standin.pytest_plugin, "qvcore_standin")


@pytest.fixture(scope="session")
def standin():
    return qvcore_standin.Core()


@pytest.fixture(autouse=True)
def restore_namespace():
    """Tests rebind module attributes; put the namespace back as it was."""
    saved = dict(vars(c_sdk))
    yield
    namespace = vars(c_sdk)
    if list(namespace.items()) != list(saved.items()):
        # Same dict object (the functions read it), same order as before.
        namespace.clear()
        namespace.update(saved)


@pytest.fixture
def core(standin):
    """The stand-in core, reset to its defaults with an empty call log."""
    standin.reset()
    standin.log_enabled(True)
    yield standin
    standin.reset()


@pytest.fixture
def quiet_core(standin):
    """The stand-in core reset to its defaults, as the fuzz tests take it."""
    standin.reset()
    yield standin
    standin.reset()


@pytest.fixture(scope="session")
def standin_lib_path(tmp_path_factory):
    """The stand-in library that the tests driving it through ctypes load
    (standin_direct.py): $QV_STANDIN_LIB, else a copy of the one c_sdk loads,
    else one built from standin/core into a temporary folder."""
    path = os.environ.get("QV_STANDIN_LIB")
    if path:
        return path
    try:
        from qvcore_standin import which

        loaded = which.resolve().path
    except ImportError:
        loaded = None
    if loaded is not None:
        # A copy is a library of its own: these tests cannot disturb the state
        # of the one c_sdk uses.
        copy = tmp_path_factory.mktemp("standin") / "zadiv3-e.so"
        shutil.copy(loaded, copy)
        return str(copy)
    if shutil.which("cmake") is None:
        pytest.skip("no QV_STANDIN_LIB and no cmake to build the stand-in")
    build = tmp_path_factory.mktemp("standin-build")
    subprocess.run(["cmake", "-S", os.path.join(ROOT, "standin", "core"), "-B", str(build)], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "-j4"], check=True, capture_output=True)
    return str(build / "zadiv3-e.so")


def python_env(env_extra=None, path=(QV_PATH,)):
    """The environment of a fresh interpreter that finds what this one does."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(list(path) + [p for p in sys.path if p and p != HERE])
    env.update(env_extra or {})
    return env


def run_python(code, env_extra=None, path=(QV_PATH,)):
    """Runs code in a fresh interpreter (this one's), returning the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=python_env(env_extra, path), timeout=120)
