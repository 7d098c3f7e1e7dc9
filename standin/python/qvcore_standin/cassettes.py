"""Recorded sessions as test cassettes, with pytest-recording's names:

    @pytest.mark.core_session                    # sessions/<module>/<test>.qvs next to the test file
    @pytest.mark.core_session(name="day", normalize={"qvi_place_order*": drop_ids})

``pytest --record-mode=once`` records the session of each marked test that
has none (``all``: of every marked test, keeping an earlier file under the
next free numbered name), then replays it once in the same run; plain
``pytest`` (``none``) replays it, and a missing session fails the test with
one line. A test records against the core the process loads: the real one
where it is installed, else the stand-in as the test programs it. Recording
needs the recording shim in the process from its start: pytest is run again
under it, which the user never has to do by hand.

The fixture ``core_session_config`` gives defaults for a module or a suite
(override it in a conftest): ``normalize`` (a mapping as for
``Core.replay``) and ``sessions`` (the folder, relative to the test file's).
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import re
import sys
from typing import Any, Dict, Iterator, Optional

import pytest

from .core import Core
from .normalize import NormalizeMap
from .replay import Replay, ReplayDivergence

MODES = ("none", "once", "all")


def _failure(divergence: ReplayDivergence) -> BaseException:
    """The test's failure: the divergence's own message and nothing else."""
    return pytest.fail.Exception(str(divergence), pytrace=False)


@contextlib.contextmanager
def replaying(core: Core, path: str, paced: bool = False, normalize: Optional[NormalizeMap] = None,
              test_file: Optional[str] = None) -> Iterator[Replay]:
    """A replay around a block: a divergence, or a part of the recording the
    block never reached, fails the test with the divergence's message."""
    session = core.replay(path, paced, normalize)
    session.test_file = test_file
    try:
        yield session
    except BaseException:
        # The code under test may fail because the replay stopped
        # answering: the divergence is then the cause to report.
        divergence = session.divergence()
        session.abandon()
        if divergence is not None:
            raise _failure(divergence) from None
        raise
    try:
        session.finish()
    except ReplayDivergence as divergence:
        raise _failure(divergence) from None


def add_options(parser: pytest.Parser) -> None:
    group = parser.getgroup("core_session", "recorded core sessions")
    try:
        group.addoption("--record-mode", choices=MODES, default="none", dest="record_mode",
                        help="core_session: none replays (default), once records missing sessions, all records "
                             "every marked test anew")
    except ValueError:  # pytest-recording's option of the same name is there: it is read as ours
        pass


def _shim_loaded() -> bool:
    try:
        with open("/proc/self/maps") as f:
            return "qvcore_recorder.so" in f.read()
    except OSError:
        return False


def configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "core_session(name=None, normalize=None): replay the test against its "
                                       "recorded core session (record it with --record-mode=once)")
    mode = getattr(config.option, "record_mode", "none")
    if mode == "none" or _shim_loaded():
        return
    if os.environ.get("C_SDK_RECORD_CONTROL") == "1":
        raise pytest.UsageError("--record-mode: the recording shim did not load (LD_PRELOAD)")
    # Recording needs the shim preloaded: run pytest again under it.
    from qvcore_session import shim_path

    env = dict(os.environ, C_SDK_RECORD="1", C_SDK_RECORD_FILE="session.qvs", C_SDK_RECORD_CONTROL="1")
    env["LD_PRELOAD"] = ":".join(p for p in (os.environ.get("LD_PRELOAD", ""), shim_path()) if p)
    sys.stdout.flush()
    sys.stderr.flush()
    os.chdir(config.invocation_params.dir)
    os.execve(sys.executable, [sys.executable, "-m", "pytest", *config.invocation_params.args], env)


def session_path(request: pytest.FixtureRequest, config: Dict[str, Any], name: Optional[str]) -> str:
    here = request.path.parent
    folder = os.path.join(here, config.get("sessions", os.path.join("sessions", request.path.stem)))
    test = name or re.sub(r"[/\\\0]", "_", request.node.name)
    return os.path.join(folder, test + ".qvs")


def _keep_earlier(path: str) -> None:
    """Moves an earlier session out of the way, to the next free numbered name."""
    stem, ext = os.path.splitext(path)
    for n in range(1, 10000):
        try:
            os.link(path, f"{stem}.{n}{ext}")  # never over an existing file
        except FileExistsError:
            continue
        os.unlink(path)
        return


class _Recorder:
    def __init__(self) -> None:
        from qvcore_session import shim_path

        self.lib = ctypes.CDLL(shim_path())
        self.lib.qvrec_control_start.argtypes = [ctypes.c_char_p]

    def start(self, path: str) -> None:
        if self.lib.qvrec_control_start(os.fsencode(path)) != 0:
            pytest.fail(f"cannot record {path}: a recording is running already", pytrace=False)

    def stop(self) -> None:
        self.lib.qvrec_control_stop()


def run_marked(request: pytest.FixtureRequest) -> Iterator[None]:
    marker = request.node.get_closest_marker("core_session")
    if marker is None:
        yield
        return
    config: Dict[str, Any] = request.getfixturevalue("core_session_config")
    normalize = marker.kwargs.get("normalize", config.get("normalize"))
    path = session_path(request, config, marker.kwargs.get("name"))
    mode = request.config.getoption("record_mode", "none")
    if mode == "all" or (mode == "once" and not os.path.exists(path)):
        yield from _record(request, path, normalize, mode)
        return
    if not os.path.exists(path):
        pytest.fail(f"no recorded session {path}: record it with pytest --record-mode=once", pytrace=False)
    with replaying(request.getfixturevalue("standin_core"), path, normalize=normalize) as session:
        session.test_file = str(request.path)
        request.node.stash[ACTIVE] = session
        yield


ACTIVE = pytest.StashKey[Replay]()


def report_divergence(item: pytest.Item, outcome: Any) -> None:
    """A test that failed because the replay stopped answering fails with
    the divergence, its cause, and nothing else."""
    session = item.stash.get(ACTIVE, None)
    if session is None or outcome.excinfo is None:
        return
    divergence = session.divergence()
    if divergence is not None:
        session.abandon()
        outcome.force_exception(_failure(divergence))


def _record(request: pytest.FixtureRequest, path: str, normalize: Optional[NormalizeMap], mode: str) -> Iterator[None]:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if mode == "all" and os.path.exists(path):
        _keep_earlier(path)
    recorder = _Recorder()
    recorder.start(path)
    try:
        yield
    finally:
        recorder.stop()
    if not os.path.exists(path):
        pytest.fail(f"nothing recorded into {path}: the test made no core call", pytrace=False)
    # Replayed once at once, so that a session that cannot replay is caught the day it is made.
    core = Core()
    core.reset()
    try:
        with replaying(core, path, normalize=normalize):
            request.node.runtest()
    except pytest.fail.Exception as e:
        pytest.fail(f"the session just recorded does not replay: {e}", pytrace=False)
    finally:
        core.reset()
