"""A replay of a recorded session in progress, and how it diverged."""

import ctypes
import os
import sys
import traceback
from types import TracebackType
from typing import TYPE_CHECKING, List, Optional, Type

from . import request_diff
from .normalize import Normalizing

if TYPE_CHECKING:
    from .core import Core

HOOK = ctypes.CFUNCTYPE(None)

#: The status every core call returns once a replay has diverged.
REPLAY_DIVERGED: int = -1000


class ReplayDivergence(AssertionError):
    """The code under test did not do what the recording did.

    ``position`` is where in the recording (frame number and byte offset),
    ``expected`` what the recording has there, ``got`` what came instead;
    ``detail``, lines more: where two requests differ, or what a normalizer
    raised."""

    def __init__(self, position: str, expected: str, got: str, detail: str = ""):
        message = f"replay diverged at {position}: recorded {expected}; got {got}"
        super().__init__(message + ("\n" + detail if detail else ""))
        self.position, self.expected, self.got, self.detail = position, expected, got, detail


class Replay:
    """A replay in progress (see ``Core.replay``); a context manager whose
    exit calls ``finish()``."""

    def __init__(self, core: "Core", path: str, normalizing: Optional[Normalizing] = None):
        self.core, self.path = core, path
        self.normalizing = normalizing
        self.finished = False
        #: The test file whose line a divergence names (the plugin sets it).
        self.test_file: Optional[str] = None
        self._stack: Optional[traceback.StackSummary] = None
        self.hook = HOOK(self._diverged)  # kept alive as long as the replay

    def _diverged(self) -> None:
        """Where the code under test was when the replay diverged: the
        stand-in calls this inside the call that diverged."""
        self._stack = traceback.extract_stack(sys._getframe(1))

    def _call_site(self) -> List[str]:
        if not self._stack:
            return []
        ours = os.path.dirname(os.path.abspath(__file__))
        outside = [f for f in self._stack if not os.path.abspath(f.filename).startswith(ours + os.sep)]
        if not outside:
            return []
        lines = [f"the call came from {outside[-1].filename}:{outside[-1].lineno}, in {outside[-1].name}"]
        tests = [f for f in outside if self.test_file and os.path.abspath(f.filename) == self.test_file]
        if tests and tests[-1] is not outside[-1]:
            lines.append(f"the test's line: {tests[-1].filename}:{tests[-1].lineno}")
        return lines

    def divergence(self) -> Optional[ReplayDivergence]:
        """The divergence so far, if any, without ending the replay."""
        lib = self.core.lib
        parts = [lib.standin_replay_divergence(i) for i in range(3)]
        if parts[0] is None:
            return None
        position, expected, got = (p.decode("utf-8", "replace") for p in parts)
        return ReplayDivergence(position, expected, got, self._detail())

    def _request(self, which: int) -> Optional[bytes]:
        size = ctypes.c_int(0)
        p = self.core.lib.standin_replay_divergent_request(which, ctypes.byref(size))
        return None if p is None else ctypes.string_at(p, size.value)

    def _detail(self) -> str:
        lines = []
        n = self.normalizing
        recorded, live = self._request(0), self._request(1)
        if n is not None and n.error is not None:
            name, e = n.error
            lines.append(f"the normalizer for {name} raised {type(e).__name__}: {e}")
        elif recorded is not None and live is not None:
            lines.append(request_diff.describe(recorded, live))
            if n is not None and n.differed is not None:
                lines.append(request_diff.describe(n.differed[1], n.differed[2], "after normalizing, they"))
        return "\n".join(lines + self._call_site())

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
        self._let_go()
        if diverged:
            raise d or ReplayDivergence("?", "?", "?")

    def abandon(self) -> None:
        """Ends the replay without a check."""
        if not self.finished:
            self.finished = True
            self.core.lib.standin_replay_finish()
            self._let_go()

    def _let_go(self) -> None:
        if self.normalizing is not None:
            self.core.lib.standin_replay_set_normalizer(None)

    def __enter__(self) -> "Replay":
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        if exc_type is None:
            self.finish()
        else:
            self.abandon()
