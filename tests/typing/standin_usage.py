"""Type-checked (never run) by tools/check_wheel.py with mypy and pyright
against an installed wheel: qvcore_standin's inline types accept what it
accepts and flag what it refuses. Each `type: ignore` marks an error the
checkers must report; an unused one fails the check."""

import contextlib
from typing import ContextManager, Iterator, List, Optional

from typing_extensions import assert_type

import qvcore_standin
from qvcore_standin import REFUSED, Buffer, Call, Core, Replay, ReplayDivergence
from qvcore_standin.pytest_plugin import ReplaySession
from qvcore_standin.which import Resolution, resolve

core = Core()
assert_type(core.path, str)
core.set_status("qvi_place_order_pb", 5)
core.set_status("qvi_place_order_pb", "5")  # type: ignore[arg-type]
core.set_response("qvi_get_cash_pb", b"cash")
core.set_text("qvi_get_orgcode", None)
core.set_response_raw("qvi_get_cash_pb", length=-1)
core.queue_event(b"tick", b"{}")
core.queue_event(None, data_len=3, null_data=True)
core.queue_event("tick")  # type: ignore[arg-type]
assert_type(core.calls(), List[Call])
assert_type(core.calls("qvi_place_order_pb")[0].fn, str)
assert_type(core.deliver_from_thread(), int)
assert_type(core.asked(), bool)
assert_type(REFUSED, int)
assert_type(qvcore_standin.REPLAY_DIVERGED, int)
assert_type(Buffer(0, 1, None, False).data, Optional[bytes])

with core.replay("day.qvs") as replay:
    assert_type(replay, Replay)
    assert_type(replay.divergence(), Optional[ReplayDivergence])
    assert_type(replay.frames(), int)
core.replay(b"day.qvs")  # type: ignore[arg-type]

found = resolve()
assert_type(found, Resolution)
assert_type(found.path, Optional[str])
assert_type(found.is_standin, bool)


def test_day(replay_session: ReplaySession) -> None:
    session = replay_session("day.qvs")
    assert_type(session, ContextManager[Replay])


@contextlib.contextmanager
def programmed(c: Core) -> Iterator[Core]:
    c.reset()
    yield c
