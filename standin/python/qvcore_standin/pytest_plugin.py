"""The pytest plugin of the stand-in core (registered as ``qvcore_standin``
through the ``pytest11`` entry point, so installing c_sdk is enough):

- ``standin_core``: the stand-in, asked for and reset for each test;
- ``replay_session``: ``with replay_session("day.qvs"): run_strategy()``
  replays a recorded session; a divergence, or a part of the recording the
  code never reached, fails the test with the divergence's own message.
"""

import contextlib
import os
from typing import Callable, ContextManager, Iterator, Union

import pytest

from .core import Core
from .replay import Replay, ReplayDivergence

#: The type of the ``replay_session`` fixture.
ReplaySession = Callable[..., ContextManager[Replay]]


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


def _failure(divergence: ReplayDivergence) -> BaseException:
    """The test's failure: the divergence's own message and nothing else."""
    return pytest.fail.Exception(str(divergence), pytrace=False)


@pytest.fixture
def replay_session(standin_core: Core) -> ReplaySession:
    """``with replay_session(path, paced=False): ...`` answers every core call
    of the block from the recorded session at ``path``."""

    @contextlib.contextmanager
    def replay(path: Union[str, "os.PathLike[str]"], paced: bool = False) -> Iterator[Replay]:
        session = standin_core.replay(path, paced)
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

    return replay
