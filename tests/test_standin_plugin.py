"""The pytest plugin the package registers (entry point pytest11): its
fixtures pass and fail as documented, run in pytest's own pytester."""

import importlib.metadata

import pytest

from test_standin_safety import RUN_CLOSE, RUN_OPEN, event, session_file

pytest_plugins = ["pytester"]


def plugin_args():
    """The plugin comes through its entry point when c_sdk is installed, and
    is named on the command line for a build on PYTHONPATH."""
    registered = [e for e in importlib.metadata.entry_points(group="pytest11") if e.name == "qvcore_standin"]
    if registered:
        return []
    return ["-p", "qvcore_standin.pytest_plugin", "-W", "ignore::pytest.PytestAssertRewriteWarning"]


STANDIN_TESTS = """
import c_sdk


def test_programmed(standin_core):
    standin_core.set_status("qvi_place_order_pb", 5)
    assert c_sdk.py_qvi_place_order(b"x") == (5, None)
    assert [c.fn for c in standin_core.calls()] == ["qvi_place_order_pb"]


def test_fresh_for_each_test(standin_core):
    assert standin_core.calls() == [] and standin_core.asked()
    assert c_sdk.py_qvi_place_order(b"x") == (0, b"qvi_place_order_pb")
"""


def test_standin_core_is_a_fresh_stand_in_per_test(pytester):
    pytester.makepyfile(STANDIN_TESTS)
    pytester.runpytest(*plugin_args()).assert_outcomes(passed=2)


REPLAY_TESTS = """
import c_sdk

PATH = {path!r}


def strategy(standin_core, seen):
    standin_core.queue_event(b"live")  # drives the market live; ignored under a replay
    standin_core.deliver_from_thread()
    c_sdk.py_qvi_run()


def test_live(standin_core):
    seen = []
    c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append(t))
    strategy(standin_core, seen)
    assert seen == ["live"]


def test_replayed(standin_core, replay_session):
    seen = []
    c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append(t))  # a call the recording does not hold
    with replay_session(PATH):
        strategy(standin_core, seen)
    assert seen == ["tick"]


def test_other_call(replay_session):
    with replay_session(PATH):
        c_sdk.py_qvi_stop()


def test_unused_tail(replay_session):
    with replay_session(PATH):
        pass


def test_failing_because_of_the_divergence(replay_session):
    with replay_session(PATH):
        assert c_sdk.py_qvi_stop() == 0
"""


def test_replay_session_passes_a_faithful_run_and_fails_a_divergence_with_its_message(pytester, tmp_path):
    path = tmp_path / "day.qvs"
    offsets = session_file(path, [RUN_OPEN, (4, 0, 0, 77, event(b"tick")), RUN_CLOSE])
    pytester.makepyfile(REPLAY_TESTS.format(path=str(path)))
    result = pytester.runpytest(*plugin_args())
    result.assert_outcomes(passed=2, failed=3)
    at = f"replay diverged at frame 0 (byte {offsets[0]}): recorded qvi_run()"
    result.stdout.fnmatch_lines([
        "_* test_other_call _*", f"{at}; got qvi_stop()",
        "_* test_unused_tail _*", f"{at}; got the end of the session",
        "_* test_failing_because_of_the_divergence _*", f"{at}; got qvi_stop()",
    ])
    assert "During handling" not in result.stdout.str()


@pytest.mark.parametrize("content, message", [(b"", "not a session file (empty or unreadable)"),
                                              (b"not a session", "not a session file")])
def test_replay_session_refuses_what_is_not_a_session_file(pytester, tmp_path, content, message):
    path = tmp_path / "bad.qvs"
    path.write_bytes(content)
    pytester.makepyfile(f"""
def test_bad(replay_session):
    with replay_session({str(path)!r}):
        pass
""")
    result = pytester.runpytest(*plugin_args())
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines([f"E *ValueError: {path}: {message}"])
