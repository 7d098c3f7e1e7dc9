"""Replaying session files no recorder writes (tests/crafted_sessions.py):
the stand-in reports each as one line, the way it reports any divergence,
and never crashes or hangs. Each replay runs in a process of its own, as a
strategy would run it, since the fault being ruled out is a crash. Also:
starting a replay through the control functions counts as asking."""

import os

import pytest
from conftest import run_python
from crafted_sessions import AT_THE_LIMIT, BEYOND_THE_LIMIT, CASES, HEADERS, NESTING_LIMIT, deeper_than_the_limit, session
from test_standin_safety import REFUSAL_LINE, run_unasked

from qvcore_standin import REFUSED, REPLAY_DIVERGED

pytest_plugins = ["pytester"]

STRATEGY = """
import sys, c_sdk, qvcore_standin
core = qvcore_standin.Core()
seen = []
c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append(t))
replay = core.replay(sys.argv[1])
results = [{code}]
try:
    replay.finish()
    print("matched")
except qvcore_standin.ReplayDivergence as e:
    print(str(e).splitlines()[0])  # the divergence; the lines after it name where the call came from
print(results, len(seen))
"""


def replay_in_a_process(path, code=""):
    proc = run_python(STRATEGY.format(code=code).replace("sys.argv[1]", repr(str(path))))
    assert proc.returncode == 0, proc.stderr  # a crash is a negative return code
    return proc


def offset_of_frame(data, index):
    """The byte offset of frame `index` in a session file's bytes."""
    p = int.from_bytes(data[12:16], "little")
    for _ in range(index):
        p += 8 + int.from_bytes(data[p:p + 4], "little")
    return p


@pytest.mark.parametrize("name, frames, code, frame, recorded, got", CASES, ids=[c[0] for c in CASES])
def test_a_crafted_frame_stops_the_replay_with_one_line(tmp_path, name, frames, code, frame, recorded, got):
    data = session(frames)
    path = tmp_path / "crafted.qvs"
    path.write_bytes(data)
    proc = replay_in_a_process(path, code)
    where = f"frame {frame} (byte {offset_of_frame(data, frame)})"
    line = f"replay diverged at {where}: recorded {recorded}; got {got}"
    divergence, *came_from, results = proc.stdout.splitlines()  # a divergence also says where its call came from
    assert all(text.startswith("the call came from ") for text in came_from), came_from
    assert divergence == line
    assert proc.stderr == f"stand-in replay: diverged at {where}: recorded {recorded}; got {got}\n"
    # The call gets the divergence status; only the events before the limit reach the callback.
    assert (str(REPLAY_DIVERGED) in results) == bool(code)
    delivered = 0 if "nested" not in name else NESTING_LIMIT - 1 if "qvi_run" in name else NESTING_LIMIT
    assert results.endswith(f"] {delivered}")


@pytest.mark.parametrize("data, outcome, delivered", [
    (AT_THE_LIMIT, "matched", NESTING_LIMIT + 1),
    (BEYOND_THE_LIMIT, "diverged", NESTING_LIMIT),
], ids=["at the limit", "one beyond"])
def test_the_nesting_limit_is_the_documented_one(tmp_path, data, outcome, delivered):
    path = tmp_path / "deep.qvs"
    path.write_bytes(session(data))
    proc = replay_in_a_process(path)
    first, *came_from, results = proc.stdout.splitlines()
    assert all(text.startswith("the call came from ") for text in came_from), came_from
    if outcome == "matched":
        assert first == "matched" and proc.stderr == ""
    else:
        where = f"frame {NESTING_LIMIT} (byte {offset_of_frame(path.read_bytes(), NESTING_LIMIT)})"
        recorded = deeper_than_the_limit("the event b'tick'")
        assert first == f"replay diverged at {where}: recorded {recorded}; got the end of the session"
    assert results == f"[] {delivered}"


@pytest.mark.parametrize("name, data, why", HEADERS, ids=[h[0] for h in HEADERS])
def test_a_lying_header_is_refused_when_the_replay_starts(core, tmp_path, name, data, why):
    path = tmp_path / "header.qvs"
    path.write_bytes(data)
    with pytest.raises(ValueError) as e:
        core.replay(path)
    assert str(e.value) == f"{path}: {why}"
    assert core.lib.standin_replay_active() == 0


def test_a_fifo_is_refused_without_waiting_for_a_writer(core, tmp_path):
    fifo = tmp_path / "pipe.qvs"
    os.mkfifo(fifo)
    proc = run_python(f"import qvcore_standin\ntry:\n    qvcore_standin.Core().replay({str(fifo)!r})\n"
                      "except ValueError as e:\n    print(e)")
    assert proc.stdout == f"{fifo}: not a session file (not a regular file)\n", proc.stderr


PLUGIN_TEST = """
import c_sdk


def test_strategy(replay_session):
    with replay_session({path!r}):
        {code}
"""


@pytest.mark.parametrize("case", [0, 1, len(CASES) - 2], ids=[CASES[i][0] for i in (0, 1, len(CASES) - 2)])
def test_the_replay_session_fixture_fails_the_test_with_the_line(pytester, tmp_path, case):
    from test_standin_plugin import plugin_args

    name, frames, code, frame, recorded, got = CASES[case]
    path = tmp_path / "crafted.qvs"
    path.write_bytes(session(frames))
    pytester.makepyfile(PLUGIN_TEST.format(path=str(path), code=code or "pass"))
    result = pytester.runpytest_subprocess(*plugin_args(), "-p", "no:cacheprovider")
    result.assert_outcomes(failed=1)
    assert f"replay diverged at frame {frame} (byte " in result.stdout.str()
    assert f"recorded {recorded}; got {got}" in result.stdout.str()


# ---- a replay started through the control functions asks ---------------------------------

UNASKED_REPLAY = """
import ctypes, c_sdk
from qvcore_standin import which
lib = ctypes.CDLL(which.resolve().path)  # the library c_sdk loaded
lib.standin_replay_start.argtypes = [ctypes.c_char_p, ctypes.c_int]
started = lib.standin_replay_start({path!r}.encode(), 0)
print(started, lib.standin_asked(), c_sdk.py_qvi_get_cash(b"acct"), lib.standin_replay_finish())
"""


@pytest.mark.parametrize("exists, line", [
    (True, "0 1 (0, b'cash=1') 0"),  # started: answered from the file, no refusal
    (False, f"-3 0 ({REFUSED}, None) 0"),  # did not start: still refused
], ids=["started", "failed to start"])
def test_starting_a_replay_through_the_control_functions_asks(tmp_path, exists, line):
    from session_files import CASH, call, header

    path = tmp_path / "cash.qvs"
    if exists:
        path.write_bytes(header() + call(CASH, 1, 10, 5, req=b"acct", response=b"cash=1"))
    proc = run_unasked(UNASKED_REPLAY.format(path=str(path)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == line + "\n"
    assert proc.stderr == ("" if exists else REFUSAL_LINE)
