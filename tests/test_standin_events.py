"""The stand-in core library, driven directly through ctypes: the events it
delivers to the registered callback, in order, from qvi_run, qvi_poll or a
native thread, and what a callback may do meanwhile."""

import ctypes
import threading

import pytest
from standin_direct import CALLBACK, call_response, cfn, direct_core  # noqa: F401 (the fixture core)

from qvcore_standin import Call, FnPtr


class Recorder:
    """A ctypes event callback that records (msg, data, data_len, thread)."""

    def __init__(self, core, on_event=None):
        self.events = []
        self.on_event = on_event
        self.cb = CALLBACK(self._called)
        cfn(core, "qvi_set_event_callback_pb", None, CALLBACK)(self.cb)

    def _called(self, msg, data, data_len):
        body = None if not data else ctypes.string_at(data, max(data_len, 0))
        self.events.append((ctypes.string_at(msg), body, data_len, threading.get_ident()))
        if self.on_event:
            self.on_event(len(self.events))

    @property
    def seen(self):
        return [e[:3] for e in self.events]


def run(core, name="qvi_run"):
    return cfn(core, name, ctypes.c_int)()


@pytest.mark.parametrize(
    "payload,data_len,null_data,expected",
    [
        (b"\x08\x01", None, False, (b"\x08\x01", 2)),
        (b"", None, False, (b"", 0)),
        (b"abc", 0, False, (b"", 0)),
        (b"abc", -1, False, (b"", -1)),
        (b"ab", 5, False, (b"ab\0\0\0", 5)),
        (b"abc", 3, True, (None, 3)),
    ],
)
def test_event_contents(core, payload, data_len, null_data, expected):
    rec = Recorder(core)
    core.queue_event(b"on_tick", payload, data_len=data_len, null_data=null_data)
    assert run(core) == 0
    assert rec.seen == [(b"on_tick",) + expected]


def test_message_type_is_nul_terminated_even_with_inner_nuls(core):
    got = []
    cb = CALLBACK(lambda msg, data, n: got.append(ctypes.string_at(msg, 5)))
    cfn(core, "qvi_set_event_callback_pb", None, CALLBACK)(cb)
    core.queue_event(b"a\0b\xff")
    run(core)
    assert got == [b"a\0b\xff\0"]


def test_run_delivers_in_order_and_stops_after_the_stopping_callback(core):
    stop = cfn(core, "qvi_stop", ctypes.c_int)
    rec = Recorder(core, on_event=lambda n: n == 2 and stop())
    for m in (b"e1", b"e2", b"e3"):
        core.queue_event(m)
    core.set_status("qvi_run", 5)
    assert run(core) == 5
    assert [e[0] for e in rec.events] == [b"e1", b"e2"]
    assert core.queued() == 1
    rec.on_event = None
    run(core)  # clears the stop flag
    assert [e[0] for e in rec.events] == [b"e1", b"e2", b"e3"]
    assert [c.fn for c in core.calls()] == ["qvi_set_event_callback_pb", "qvi_run", "qvi_stop", "qvi_run"]


def test_events_queued_by_callbacks_reach_run_but_wait_for_the_next_poll(core):
    rec = Recorder(core, on_event=lambda n: n < 3 and core.queue_event(b"again"))
    core.queue_event(b"first")
    core.set_status("qvi_poll", -7)
    assert run(core, "qvi_poll") == -7
    assert [e[0] for e in rec.events] == [b"first"] and core.queued() == 1
    run(core)
    assert [e[0] for e in rec.events] == [b"first", b"again", b"again"]


def test_callbacks_can_call_back_into_the_library(core):
    Recorder(core, on_event=lambda n: call_response(core, "qvi_get_cash_pb"))
    core.queue_event(b"e")
    run(core)
    assert [c.fn for c in core.calls()][1:] == ["qvi_run", "qvi_get_cash_pb"]


def test_delivery_from_a_native_thread(core):
    rec = Recorder(core)
    core.queue_event(b"a", b"1")
    core.queue_event(b"b", b"2")
    assert core.deliver_from_thread() == 2
    assert rec.seen == [(b"a", b"1", 1), (b"b", b"2", 1)]
    threads = {e[3] for e in rec.events}
    assert len(threads) == 1 and threading.get_ident() not in threads


def test_events_without_a_callback_are_dropped(core):
    core.queue_event(b"e")
    assert core.deliver_from_thread() == 0
    assert core.queued() == 0
    assert core.callback_address() == 0


def test_registered_callback_address_is_logged(core):
    rec = Recorder(core)
    addr = ctypes.cast(rec.cb, ctypes.c_void_p).value
    assert core.callback_address() == addr
    assert core.calls() == [Call("qvi_set_event_callback_pb", (FnPtr(addr),))]
