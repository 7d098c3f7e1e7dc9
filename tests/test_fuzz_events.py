"""Arbitrary events thrown at the module's entry point: any message type (null,
empty, not UTF-8), any payload and length, callbacks that raise or call the
core again, delivered by the run loop, by polling or from a native thread."""

import ctypes

from hypothesis import given
from hypothesis import strategies as st

import c_sdk
from fuzzing import Boom, fuzz

events = st.tuples(
    st.binary(max_size=10) | st.text(max_size=6).map(str.encode) | st.none(),  # None: a null msg_type
    st.binary(max_size=24),
    st.none() | st.integers(-3, 40),  # data_len: len(payload) when None
    st.booleans(),                    # null data pointer
    st.sampled_from(["take", "raise", "call"]),
)


def expected_event(msg, payload, data_len, null_data, py2):
    """(message type, payload) as the callable gets them, or the exception type."""
    if msg is None:
        return RuntimeError
    name = msg.split(b"\0")[0]
    if not py2:
        try:
            name = name.decode("utf-8")
        except UnicodeDecodeError:
            return UnicodeDecodeError
    n = len(payload) if data_len is None else data_len
    if null_data and n > 0:
        return RuntimeError
    if n < 0:
        return SystemError
    return name, b"" if null_data else (payload + bytes(n))[:n]


@fuzz
@given(st.lists(events, max_size=12), st.sampled_from(["run", "poll", "thread"]), st.booleans())
def test_any_events(quiet_core, monkeypatch, batch, how, py2):
    core = quiet_core
    printed, unraisable, seen = [], [], []
    monkeypatch.setattr("sys.excepthook", lambda t, v, tb: printed.append(t))
    monkeypatch.setattr("sys.unraisablehook", lambda u: unraisable.append((u.exc_type, u.object)))
    expected, behaviour, failures = [], [], []
    for msg, payload, data_len, null_data, what in batch:
        event = expected_event(msg, payload, data_len, null_data, py2)
        if isinstance(event, tuple):
            expected.append(event)
            behaviour.append(what)
            if what == "raise":
                failures.append(Boom)
        else:
            failures.append(event)

    def callback(msg_type, payload):
        what = behaviour[len(seen)]
        seen.append((msg_type, payload))
        if what == "raise":
            raise Boom(msg_type)
        if what == "call":
            assert c_sdk.py_qvi_place_order(payload) == (0, b"qvi_place_order_pb")

    def deliver():
        queued = core.queued()
        if how == "thread":  # from a native thread the interpreter has never seen
            assert core.deliver_from_thread() == queued
        else:
            assert (c_sdk.py_qvi_run() if how == "run" else c_sdk.qvi_poll()) == 0

    c_sdk.py_qvi_set_data_callback(callback)
    c_sdk.IS_PY2 = py2
    # The stand-in queues no null message type: such an event goes straight
    # to the entry point, in its place among the others, with the lock held
    # as from inside a core call, or without it.
    proto = ctypes.CFUNCTYPE if how == "thread" else ctypes.PYFUNCTYPE
    entry = proto(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)(core.callback_address())
    for msg, payload, data_len, null_data, _ in batch:
        if msg is not None:
            core.queue_event(msg, payload, data_len=data_len, null_data=null_data)
            continue
        deliver()
        n = len(payload) if data_len is None else data_len
        buffer = ctypes.create_string_buffer(payload, max(n, len(payload), 1))
        entry(None, None if null_data else buffer, n)
    deliver()
    assert seen == expected
    assert all(type(t) is (bytes if py2 else str) for t, _ in seen)
    assert printed == failures
    assert unraisable == [(t, "c_sdk.callback_wrapper") for t in failures]
    assert core.queued() == 0
