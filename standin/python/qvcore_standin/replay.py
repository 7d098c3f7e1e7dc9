"""A replay of a recorded session in progress, and how it diverged."""

from types import TracebackType
from typing import TYPE_CHECKING, Optional, Type

if TYPE_CHECKING:
    from .core import Core

#: The status every core call returns once a replay has diverged.
REPLAY_DIVERGED: int = -1000


class ReplayDivergence(AssertionError):
    """The code under test did not do what the recording did.

    ``position`` is where in the recording (frame number and byte offset),
    ``expected`` what the recording has there, ``got`` what came instead."""

    def __init__(self, position: str, expected: str, got: str):
        super().__init__(f"replay diverged at {position}: recorded {expected}; got {got}")
        self.position, self.expected, self.got = position, expected, got


class Replay:
    """A replay in progress (see ``Core.replay``); a context manager whose
    exit calls ``finish()``."""

    def __init__(self, core: "Core", path: str):
        self.core, self.path = core, path
        self.finished = False

    def divergence(self) -> Optional[ReplayDivergence]:
        """The divergence so far, if any, without ending the replay."""
        lib = self.core.lib
        parts = [lib.standin_replay_divergence(i) for i in range(3)]
        if parts[0] is None:
            return None
        position, expected, got = (p.decode("utf-8", "replace") for p in parts)
        return ReplayDivergence(position, expected, got)

    def check(self) -> None:
        """Raises ``ReplayDivergence`` if the replay has diverged so far."""
        d = self.divergence()
        if d is not None:
            raise d

    def frames(self) -> int:
        """How many frames of the recording have been used."""
        count: int = self.core.lib.standin_replay_frames()
        return count

    def finish(self) -> None:
        """Delivers the events recorded after the last call, ends the
        replay, and raises ``ReplayDivergence`` if the session diverged or
        stopped before the end of the recording."""
        if self.finished:
            return
        d = self.divergence()
        self.finished = True
        diverged = self.core.lib.standin_replay_finish()
        d = d or self.divergence()
        if diverged:
            raise d or ReplayDivergence("?", "?", "?")

    def abandon(self) -> None:
        """Ends the replay without a check."""
        if not self.finished:
            self.finished = True
            self.core.lib.standin_replay_finish()

    def __enter__(self) -> "Replay":
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        if exc_type is None:
            self.finish()
        else:
            self.abandon()
