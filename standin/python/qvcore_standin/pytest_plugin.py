"""The pytest plugin of the stand-in core (registered as ``qvcore_standin``
through the ``pytest11`` entry point, so installing c_sdk is enough):

- ``standin_core``: the stand-in, asked for and reset for each test;
- ``replay_session``: ``with replay_session("day.qvs"): run_strategy()``
  replays a recorded session (a relative path is the test file's folder's);
  a divergence, or a part of the recording the code never reached, fails
  the test with the divergence's own message;
- ``@pytest.mark.core_session``, ``core_session_config`` and
  ``--record-mode``: recorded sessions as cassettes (see ``cassettes``).
"""

import os
from typing import Any, Callable, ContextManager, Dict, Iterator, Optional, Union

import pytest

from . import cassettes
from .core import Core
from .normalize import NormalizeMap
from .replay import Replay

#: The type of the ``replay_session`` fixture.
ReplaySession = Callable[..., ContextManager[Replay]]


def pytest_addoption(parser: pytest.Parser) -> None:
    cassettes.add_options(parser)


def pytest_configure(config: pytest.Config) -> None:
    cassettes.configure(config)


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> Iterator[None]:
    outcome = yield
    cassettes.report_divergence(pyfuncitem, outcome)


@pytest.fixture
def standin_core() -> Iterator[Core]:
    """The stand-in core c_sdk loads, asked for, with every default back
    (nothing programmed, empty call log and event queue) before and after
    the test."""
    try:
        core = Core()
    except ImportError as e:
        pytest.skip(f"no stand-in core to test against: {e}")
    core.reset()
    yield core
    core.reset()


@pytest.fixture
def replay_session(standin_core: Core, request: pytest.FixtureRequest) -> ReplaySession:
    """``with replay_session(path, paced=False, normalize=None): ...`` answers
    every core call of the block from the recorded session at ``path``."""

    def replay(path: Union[str, "os.PathLike[str]"], paced: bool = False,
               normalize: Optional[NormalizeMap] = None) -> ContextManager[Replay]:
        return cassettes.replaying(standin_core, os.path.join(request.path.parent, path), paced, normalize,
                                   test_file=str(request.path))

    return replay


@pytest.fixture
def core_session_config() -> Dict[str, Any]:
    """Defaults for the tests marked ``core_session``: ``normalize`` and
    ``sessions`` (the folder, relative to the test file's). Override it in
    a conftest or a test module."""
    return {}


@pytest.fixture(autouse=True)
def _core_session(request: pytest.FixtureRequest) -> Iterator[None]:
    yield from cassettes.run_marked(request)
