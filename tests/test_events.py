"""The event bridge: core events reach the registered callable, failures are
reported and dropped, and the run loop runs and stops."""

import pytest

import c_sdk
from conftest import run_python
from qvcore_standin import FnPtr
from interpreter_says import not_callable


@pytest.fixture
def received(core):
    seen = []
    c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append((t, p)))
    return seen


def test_events_reach_the_callable_in_order(core, received):
    core.queue_event(b"tick", b"abc")
    core.queue_event(b"", b"")
    core.queue_event("成交".encode(), b"\x00\xff" * 1000)
    assert c_sdk.py_qvi_run() == 0
    assert received == [("tick", b"abc"), ("", b""), ("成交", b"\x00\xff" * 1000)]
    assert all(type(t) is str and type(p) is bytes for t, p in received)


def test_payload_is_exactly_data_len_bytes(core, received):
    core.queue_event(b"t", b"abcdef", data_len=3)
    core.queue_event(b"t", b"abc", data_len=0)
    c_sdk.qvi_poll()
    assert received == [("t", b"abc"), ("t", b"")]


def test_is_py2_is_read_per_event(core, received):
    def switch(t, p):
        received.append((t, p))
        c_sdk.IS_PY2 = not c_sdk.IS_PY2

    c_sdk.py_qvi_set_data_callback(switch)
    for _ in range(3):
        core.queue_event(b"m", b"")
    c_sdk.py_qvi_run()
    assert received == [("m", b""), (b"m", b""), ("m", b"")]


def test_registration_passes_the_same_entry_point_each_time(core):
    c_sdk.py_qvi_set_data_callback(None)
    c_sdk.py_qvi_set_data_callback(pythonf=print)
    calls = core.calls()
    assert [c.fn for c in calls] == ["qvi_set_event_callback_pb"] * 2
    assert calls[0].args == calls[1].args and isinstance(calls[0].args[0], FnPtr)
    assert c_sdk.f is print
    with pytest.raises(TypeError, match=r"^py_qvi_run\(\) takes no arguments \(1 given\)$"):
        c_sdk.py_qvi_run(1)


def test_callable_replaced_and_module_called_from_inside(core):
    log = []

    def second(t, p):
        log.append(("second", t))
        log.append(c_sdk.py_qvi_place_order(p))
        c_sdk.py_qvi_stop()

    def first(t, p):
        log.append(("first", t))
        c_sdk.py_qvi_set_data_callback(second)

    c_sdk.py_qvi_set_data_callback(first)
    for name in (b"a", b"b", b"never"):
        core.queue_event(name, b"order")
    core.set_stop_error_code(17)
    assert c_sdk.py_qvi_run() == 0
    assert log == [("first", "a"), ("second", "b"), (0, b"qvi_place_order_pb")]
    assert c_sdk.py_qvi_get_stop_error_code() == 17
    assert core.queued() == 1  # the loop stopped before the last event
    placed = core.calls("qvi_place_order_pb")[0]
    assert placed.args[0].data == b"order"


def test_events_from_a_native_thread_are_delivered(core, received):
    for i in range(50):
        core.queue_event(b"t%d" % i, b"x" * i)
    assert core.deliver_from_thread() == 50
    assert received == [("t%d" % i, b"x" * i) for i in range(50)]


REPORTING = """
    import sys
    import c_sdk
    import qvcore_standin
    core = qvcore_standin.Core()
    seen = []
    def cb(t, p):
        if p == b"raise":
            raise ValueError("boom " + t)
        seen.append(t)
    c_sdk.py_qvi_set_data_callback(cb)
    {setup}
    for msg, payload, kw in {events}:
        core.queue_event(msg, payload, **kw)
    c_sdk.py_qvi_run()
    print("seen", seen, flush=True)
"""


def run_events(events, setup=""):
    proc = run_python(REPORTING.format(events=events, setup=setup))
    return proc


def test_a_raising_callable_is_reported_twice_and_the_loop_goes_on():
    proc = run_events([(b"a", b"raise", {}), (b"b", b"ok", {})])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "seen ['b']"
    err = proc.stderr
    first = err.index("ValueError: boom a")
    hook = err.index("Exception ignored in: 'c_sdk.callback_wrapper'")
    second = err.index("ValueError: boom a", hook)
    assert err.startswith("Traceback (most recent call last):") and first < hook < second
    assert err.count("ValueError: boom a") == 2


@pytest.mark.parametrize("event,error", [
    ((b"\xff\xfe", b"ok", {}), "UnicodeDecodeError"),
    ((b"t", b"", {"data_len": -1}), "SystemError"),
    ((b"t", b"", {"data_len": 8, "null_data": True}), "RuntimeError: the core library raised an event of 8 bytes"),
])
def test_malformed_events_are_reported_not_fatal(event, error):
    proc = run_events([event, (b"next", b"ok", {})])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "seen ['next']"
    assert proc.stderr.count(error) == 2


@pytest.mark.parametrize("setup,error", [
    ("c_sdk.py_qvi_set_data_callback(None)", "TypeError: " + not_callable(None)),
    ("del c_sdk.f", "NameError: name 'f' is not defined"),
    ("c_sdk.IS_PY2 = []; del c_sdk.IS_PY2", "NameError: name 'IS_PY2' is not defined"),
])
def test_a_missing_or_uncallable_f_is_reported(setup, error):
    proc = run_events([(b"a", b"ok", {}), (b"b", b"ok", {})], setup)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "seen []"
    assert proc.stderr.count(error) == 4


def test_system_exit_in_the_callable_ends_the_process():
    proc = run_python("""
        import sys, c_sdk, qvcore_standin
        core = qvcore_standin.Core()
        c_sdk.py_qvi_set_data_callback(lambda t, p: sys.exit(7))
        core.queue_event(b"t", b"")
        c_sdk.py_qvi_run()
        print("not reached")
    """)
    assert proc.returncode == 7 and "not reached" not in proc.stdout


def test_timer_arguments(core):
    c_sdk.py_qvi_user_timer(period=10, start_delay=0)
    assert c_sdk.py_qvi_user_timer_stop(7) is None
    assert c_sdk.py_qvi_schedule("a", "b") == 0
    assert c_sdk.py_qvi_schedule(bytearray(), b"") == 0
    args = [c.args for c in core.calls()]
    assert args[:2] == [(10, 0), (7,)]
    assert [t.value for t in args[2]] == [b"a", b"b"] and [t.value for t in args[3]] == [b"", b""]
    with pytest.raises(TypeError, match=r"^py_qvi_user_timer\(\) takes exactly 2 positional arguments \(1 given\)$"):
        c_sdk.py_qvi_user_timer(10)
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_qvi_set_timer("5")
