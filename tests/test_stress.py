"""A long run of the event loop: a million events through py_qvi_run with a
callable that calls back into the module, raises on every tenth event,
replaces itself halfway and stops the loop at the end. Every event that was
not raised on is seen exactly once, in order.

C_SDK_STRESS_EVENTS sets the number of events (default 10**6).
"""

import array
import os
import sys

import c_sdk

EVENTS = max(int(os.environ.get("C_SDK_STRESS_EVENTS", str(10**6))) // 10 * 10, 100)
CHUNK = min(10000, EVENTS // 4)


class Boom(Exception):
    pass


def test_a_million_events_through_the_run_loop(standin, monkeypatch):
    core = standin
    core.reset()
    core.log_enabled(False)
    core.set_stop_error_code(42)
    core.set_status("qvi_run", 7)
    queue = core.lib.standin_queue_event
    printed, hooked = [0], [0]

    def excepthook(t, v, tb):
        assert t is Boom
        printed[0] += 1

    def unraisablehook(u):
        assert u.exc_type is Boom and u.object == "c_sdk.callback_wrapper"
        hooked[0] += 1

    monkeypatch.setattr(sys, "excepthook", excepthook)
    monkeypatch.setattr(sys, "unraisablehook", unraisablehook)

    def queue_from(start):
        for i in range(start, min(start + CHUNK, EVENTS)):
            payload = b"%d" % i
            queue(b"tick", 4, payload, len(payload), len(payload), 0)

    seen = array.array("q")
    halves = []

    def make(which):
        def callback(msg_type, payload):
            i = int(payload)
            if i % CHUNK == CHUNK - 1:
                queue_from(i + 1)  # the loop goes on with what a callback queues
            # back into the module and the core, from inside the loop
            assert c_sdk.py_qvi_place_order(payload) == (0, b"qvi_place_order_pb")
            if i == EVENTS // 2:
                halves.append(which)
                c_sdk.py_qvi_set_data_callback(make("second"))
            if i == EVENTS - 1:
                halves.append(which)
                queue(b"late", 4, b"", 0, 0, 0)
                assert c_sdk.py_qvi_stop() == 0
            if i % 10 == 3:
                raise Boom(i)
            seen.append(i)
        return callback

    c_sdk.py_qvi_set_data_callback(make("first"))
    queue_from(0)
    assert c_sdk.py_qvi_run() == 7
    assert c_sdk.py_qvi_get_stop_error_code() == 42
    assert halves == ["first", "second"]
    assert core.queued() == 1  # queued after the stop: not delivered
    assert printed[0] == hooked[0] == EVENTS // 10
    assert len(seen) == EVENTS - EVENTS // 10
    assert seen == array.array("q", (i for i in range(EVENTS) if i % 10 != 3))
    core.reset()
