"""Replay of recorded sessions in the stand-in: it stops at the first call
that differs from the recording and names it, refuses what is not a session
file, and reads a file up to a torn last frame.

Sessions are recorded in subprocesses with the shim preloaded; replays run
in this process.
"""

import os
import subprocess
import sys

import pytest
from conftest import run_python
from recording import SHIM, checked, shim_env

import c_sdk
import qvcore_session
from qvcore_standin import REPLAY_DIVERGED, ReplayDivergence

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")


SMALL = r"""
import c_sdk, qvcore_standin
core = qvcore_standin.Core()
core.set_response("qvi_place_order_pb", b"placed")


def cb(t, p):
    if t == "order":
        c_sdk.py_qvi_place_order(b"buy")
    if t == "stop":
        c_sdk.py_qvi_stop()


c_sdk.py_qvi_set_data_callback(cb)
c_sdk.py_qvi_history_ticks_pb(b"req-A")
c_sdk.py_qvi_subscribe(b"SHSE.600000", b"tick", True)
for t in (b"tick", b"order", b"stop"):
    core.queue_event(t)
c_sdk.py_qvi_run()
c_sdk.py_qvi_get_cash(b"acct")
"""


def small_session(variant, seen):
    def cb(t, p):
        seen.append(t)
        if t == "order" and variant != "missing in callback":
            c_sdk.py_qvi_place_order(b"buy")
        if t == "tick" and variant == "extra in callback":
            c_sdk.py_qvi_place_order(b"buy")
        if t == "stop":
            c_sdk.py_qvi_stop()

    c_sdk.py_qvi_set_data_callback(cb)
    if variant == "function":
        c_sdk.py_qvi_get_orders(b"req-A")
    else:
        c_sdk.py_qvi_history_ticks_pb(b"req-B" if variant == "request" else b"req-A")
    c_sdk.py_qvi_subscribe(b"SHSE.600001" if variant == "text" else b"SHSE.600000", b"tick", variant != "flag")
    c_sdk.py_qvi_run()
    if variant != "missing call":
        c_sdk.py_qvi_get_cash(b"acct")
    if variant == "extra call":
        return c_sdk.py_qvi_get_cash(b"acct")


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "small.qvs"
    checked(run_python(SMALL, shim_env(path)))
    return path


def test_a_session_that_does_what_was_recorded_replays_to_the_end(core, small):
    seen = []
    with core.replay(small) as replay:
        small_session(None, seen)
    assert seen == ["tick", "order", "stop"] and replay.finished


# variant: (frame number, what the recording has, what came)
DIVERGENCES = {
    "request": (1, "qvi_history_ticks_pb(b'req-A' (5 B), out, out)", "qvi_history_ticks_pb(b'req-B' (5 B), out, out)"),
    "function": (1, "qvi_history_ticks_pb(b'req-A' (5 B), out, out)", "qvi_get_orders_pb(b'req-A' (5 B), out, out)"),
    "text": (2, "qvi_subscribe(b'SHSE.600000', b'tick', True)", "qvi_subscribe(b'SHSE.600001', b'tick', True)"),
    "flag": (2, "qvi_subscribe(b'SHSE.600000', b'tick', True)", "qvi_subscribe(b'SHSE.600000', b'tick', False)"),
    "extra in callback": (5, "the return from the callback of b'tick'", "qvi_place_order_pb(b'buy' (3 B), out, out)"),
    "missing in callback": (6, "qvi_place_order_pb(b'buy' (3 B), out, out)", "the return from the callback of b'order'"),
    "extra call": (13, "the end of the recording", "qvi_get_cash_pb(b'acct' (4 B), out, out)"),
    "missing call": (12, "qvi_get_cash_pb(b'acct' (4 B), out, out)", "the end of the session"),
}


@pytest.mark.parametrize("variant", sorted(DIVERGENCES))
def test_replay_stops_at_the_first_divergence_and_names_it(core, small, variant, capfd):
    frame, expected, got = DIVERGENCES[variant]
    seen = []
    replay = core.replay(small)
    result = small_session(variant, seen)
    with pytest.raises(ReplayDivergence) as info:
        replay.finish()
    d = info.value
    assert (d.expected, d.got) == (expected, got)
    assert d.position.startswith(f"frame {frame} (byte ")
    assert f"diverged at frame {frame} " in str(d) and expected in str(d) and got in str(d)
    if variant == "extra call":
        assert result == (REPLAY_DIVERGED, None)
    if variant in ("request", "function", "text", "flag"):
        assert seen == []  # the run loop after the divergence delivers nothing
    assert core.lib.standin_replay_active() == 0
    if variant != "missing call":
        assert "stand-in replay: diverged at" in capfd.readouterr().err


def test_replay_refuses_what_is_not_a_session_file(core, tmp_path):
    bad = tmp_path / "bad.qvs"
    bad.write_bytes(b"not a session")
    with pytest.raises(ValueError, match="not a session file"):
        core.replay(bad)
    with pytest.raises(FileNotFoundError):
        core.replay(tmp_path / "missing.qvs")
    with pytest.raises(qvcore_session.SessionError, match="not a session file"):
        qvcore_session.Session(bad)


def test_reset_ends_a_replay(core, small):
    core.replay(small)
    core.reset()
    assert core.lib.standin_replay_active() == 0
    assert c_sdk.py_qvi_history_ticks_pb(b"x") == (0, b"qvi_history_ticks_pb")


# ---- torn frames -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def three_calls(tmp_path_factory):
    path = tmp_path_factory.mktemp("torn") / "three.qvs"
    checked(run_python("import c_sdk\nc_sdk.py_qvi_history_ticks_pb(b'one')\nc_sdk.py_qvi_history_ticks_pb(b'two')\n"
                       "c_sdk.py_qvi_history_ticks_pb(b'three')", shim_env(path)))
    return path


@pytest.mark.parametrize("damage", ["one byte short", "half of it", "inside its length", "checksum"])
def test_a_torn_last_frame_leaves_the_file_readable_up_to_it(tmp_path, three_calls, core, damage):
    raw = three_calls.read_bytes()
    last = list(qvcore_session.Session(three_calls))[-1].offset
    size = len(raw) - last
    cut = {"one byte short": raw[:-1], "half of it": raw[:last + size // 2], "inside its length": raw[:last + 3],
           "checksum": raw[:-1] + bytes([raw[-1] ^ 1])}[damage]
    path = tmp_path / "torn.qvs"
    path.write_bytes(cut)
    session = qvcore_session.Session(path)
    assert [f.args[0].data for f in session] == [b"one", b"two"]
    assert session.torn[0] == last and session.frame_count == 2
    shown = subprocess.run([sys.executable, "-m", "qvcore_session", "show", str(path)], capture_output=True, text=True,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert shown.returncode == 0 and shown.stdout.count("qvi_history_ticks_pb") == 2
    assert f"stopped at byte {last} after 2 frames" in shown.stderr and "torn" in shown.stderr
    with core.replay(path) as replay:
        for req in (b"one", b"two"):
            assert c_sdk.py_qvi_history_ticks_pb(req) == (0, b"qvi_history_ticks_pb")
    with pytest.raises(ReplayDivergence, match=r"the end of the recording \(its last frame is torn\)"):
        with core.replay(path):
            for req in (b"one", b"two", b"three"):
                c_sdk.py_qvi_history_ticks_pb(req)
    assert replay.finished
