import os
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

import c_sdk  # noqa: E402
import qvcore_standin  # noqa: E402


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
