"""A session recorded through the shim and replayed in the stand-in: the
replay observes what the recording did, the file nests calls and events as
they happened, and the reader's show and stats tell what is in it.

Sessions are recorded in subprocesses with the shim preloaded; replays run
in this process or in a fresh one.
"""

import json
import os
import re
import subprocess
import sys

import pytest
from conftest import run_python
from recording import SHIM, checked, recorder_lines, shim_env

import qvcore_session
import qvcore_standin

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")


# A strategy against a scripted market. `market` programs the stand-in while
# recording and does nothing while replaying: then every answer and event
# comes from the recording.
STRATEGY = r"""
import json
import c_sdk, qvcore_standin

core = qvcore_standin.Core()
seen = []


def note(*x):
    seen.append(repr(x))


class Market:
    def __getattr__(self, name):
        return (lambda *a, **k: None) if MODE == "replay" else getattr(core, name)

    def foreign(self, msg, payload):
        if MODE == "record":
            core.queue_event(msg, payload)
            core.deliver_from_thread()


market = Market()
if MODE == "replay":
    replay = core.replay(FILE)

note("addr", c_sdk.py_qvi_set_serv_addr("127.0.0.1:7001"))
note("token", c_sdk.py_qvi_set_token("tok-123"))
note("enc", type(c_sdk.py_qvi_get_encrypted_token()))
market.set_text("qvi_get_orgcode", b"ORG-7")
note("org", c_sdk.py_qvi_get_orgcode())
note("err", c_sdk.py_qvi_strerror(17))
note("serv", c_sdk.py_qvi_get_serv_addr("md"))
market.set_status("qvi_get_serv_addr", 2)
note("serv-fail", c_sdk.py_qvi_get_serv_addr("td"))
note("ver", c_sdk.qvi_get_c_version())
market.set_now(1234567)
market.set_now_plus(0.25)
note("now", c_sdk.qvi_now(), c_sdk.qvi_now_plus())
note("cfg", c_sdk.py_qvi_set_backtest_config(b"2024-01-02", b"2024-06-28", 1e6, 1.0, 1e-4, 0.0, -0.0,
                                             float("inf"), 1.0, 1, 0, 1))
market.set_response("qvi_history_ticks_pb", b"\x00ticks\xff" * 10)
note("hist", c_sdk.py_qvi_history_ticks_pb(b"SHSE.600000,req"))
market.set_status("qvi_get_cash_pb", 3)
note("cash", c_sdk.py_qvi_get_cash(b"acct"))
market.set_response("qvi_get_orders_pb", b"")
note("orders", c_sdk.py_qvi_get_orders(b"q"))
note("sub", c_sdk.py_qvi_subscribe("SHSE.600000", "tick", True))


def on_event(t, p):
    note("event", t, p)
    if t == "tick" and p.endswith(b"3"):
        note("order", c_sdk.py_qvi_place_order(b"buy " + p))
    if t == "bus":
        note("positions", c_sdk.py_qvi_get_positions(b"pos"))
    if t == "stop":
        note("stop", c_sdk.py_qvi_stop())


c_sdk.py_qvi_set_data_callback(on_event)
market.set_response("qvi_place_order_pb", b"order-ok")
for i in range(5):
    market.queue_event(b"tick", b"price=1%d" % i)
market.queue_event(b"empty", b"")
market.queue_event(b"", b"")
market.queue_event(b"stop", b"")
market.queue_event(b"tick", b"after the stop")
market.set_status("qvi_run", 4)
note("run", c_sdk.py_qvi_run())
market.set_stop_error_code(9)
note("stop code", c_sdk.py_qvi_get_stop_error_code())
market.foreign(b"bus", b"from a native thread")
note("poll", c_sdk.qvi_poll())
market.queue_event(b"tick", b"polled 3")
note("poll", c_sdk.qvi_poll())
market.foreign(b"late", b"after the last call")
if MODE == "replay":
    replay.finish()
print(json.dumps(seen))
"""


def strategy(mode, path):
    return f"MODE = {mode!r}\nFILE = {str(path)!r}\n" + STRATEGY


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """The scripted session, recorded once: (file, what the strategy saw)."""
    path = tmp_path_factory.mktemp("session") / "day.qvs"
    proc = checked(run_python(strategy("record", path), shim_env(path)))
    assert recorder_lines(proc.stderr) == []
    return path, json.loads(proc.stdout)


def test_a_replayed_session_observes_what_the_recorded_one_did(recorded):
    path, seen = recorded
    # What the strategy saw is what the stand-in was scripted to answer.
    assert "('hist', (0, b'\\x00ticks\\xff\\x00ticks\\xff" in seen[seen.index(next(s for s in seen if "hist" in s))]
    assert "('cash', (3, None))" in seen and "('serv-fail', None)" in seen and "('run', 4)" in seen
    assert seen.count("('event', 'tick', b'after the stop')") == 1
    assert seen.index("('event', 'bus', b'from a native thread')") < seen.index("('poll', 0)")
    assert seen[-1] == "('event', 'late', b'after the last call')"
    # In a fresh process, against the stand-in left at its defaults.
    replayed = checked(run_python(strategy("replay", path)))
    assert json.loads(replayed.stdout) == seen


def test_the_file_nests_calls_inside_events_and_events_inside_calls(recorded):
    path, _ = recorded
    session = qvcore_session.Session(path)
    frames = list(session)
    assert session.torn is None and session.header.functions == qvcore_standin.Core().functions()
    main_thread = frames[0].thread
    kinds = [(f.kind, f.fn, getattr(f, "msg", None)) for f in frames]
    run_open = kinds.index((qvcore_session.CALL_OPEN, "qvi_run", None))
    run_close = kinds.index((qvcore_session.CALL_CLOSE, "qvi_run", None))
    inside = kinds[run_open + 1:run_close]
    assert inside[:3] == [(qvcore_session.EVENT, None, b"tick")] * 3
    assert inside[3:6] == [(qvcore_session.EVENT_OPEN, None, b"tick"), (qvcore_session.CALL, "qvi_place_order_pb", None),
                           (qvcore_session.EVENT_CLOSE, None, None)]
    assert (qvcore_session.EVENT, None, b"") in inside and (qvcore_session.EVENT, None, b"empty") in inside
    assert inside[-3:] == [(qvcore_session.EVENT_OPEN, None, b"stop"), (qvcore_session.CALL, "qvi_stop", None),
                           (qvcore_session.EVENT_CLOSE, None, None)]
    assert frames[run_close].result == 4
    bus = next(f for f in frames if getattr(f, "msg", None) == b"bus")
    assert bus.kind == qvcore_session.EVENT_OPEN and bus.thread != main_thread
    assert frames[bus.index + 1].fn == "qvi_get_positions_pb" and frames[bus.index + 1].thread == bus.thread
    hist = next(f for f in frames if f.fn == "qvi_history_ticks_pb")
    assert hist.args == (qvcore_session.Buffer(15, b"SHSE.600000,req"), qvcore_session.Pointer("out", False),
                         qvcore_session.Pointer("out", False))
    assert hist.result == 0 and hist.output == qvcore_session.Response(False, 70, b"\x00ticks\xff" * 10)
    cash = next(f for f in frames if f.fn == "qvi_get_cash_pb")
    assert cash.result == 3 and cash.output is None  # not read on failure, as the module does not
    cfg = next(f for f in frames if f.fn == "qvi_set_backtest_config")
    assert cfg.args[:3] == (b"2024-01-02", b"2024-06-28", 1e6) and str(cfg.args[6]) == "-0.0"
    assert all(f.duration_ns >= 0 for f in frames if f.kind not in (qvcore_session.CALL_OPEN,
                                                                     qvcore_session.EVENT_OPEN))
    starts = [f.start_ns for f in frames if f.kind in (qvcore_session.CALL, qvcore_session.EVENT,
                                                       qvcore_session.CALL_OPEN, qvcore_session.EVENT_OPEN)]
    assert starts == sorted(starts)


# ---- the reader ----------------------------------------------------------------------------

def reader(*args):
    return subprocess.run([sys.executable, "-m", "qvcore_session", *map(str, args)], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_show_gives_one_line_per_call_or_event(recorded):
    path, _ = recorded
    proc = reader("show", path)
    assert proc.returncode == 0 and proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("# session of pid ") and len(lines) == 1 + len(list(qvcore_session.Session(path)))
    line = re.compile(r"\d\d:\d\d:\d\d\.\d{6} +\d+ ")
    assert all(line.match(entry) for entry in lines[1:])
    body = "\n".join(lines)
    assert re.search(r"qvi_history_ticks_pb\(b'SHSE.600000,req' \(15 B\), out, out\)  status 0  res 70 B  \d", body)
    assert re.search(r"qvi_get_cash_pb\(b'acct' \(4 B\), out, out\)  status 3  \d", body)
    assert re.search(r"qvi_get_orgcode\(\)  -> b'ORG-7'", body)
    assert re.search(r"qvi_set_token\(<redacted: 7 bytes>\)", body)
    assert re.search(r"\n\S+ +\d+   event 'empty' 0 B", body)  # inside qvi_run: indented
    assert re.search(r"\n\S+ +\d+     qvi_stop\(\)  status 0", body)  # inside the stop event
    assert re.search(r"end qvi_run  status 4  \d", body)


def test_stats_counts_calls_failures_and_events(recorded):
    path, _ = recorded
    proc = reader("stats", path)
    assert proc.returncode == 0, proc.stderr
    rows = {line.split()[0]: line for line in proc.stdout.splitlines() if line.startswith("qvi_")}
    assert rows["qvi_get_cash_pb"].split()[1] == "1" and rows["qvi_get_cash_pb"].endswith("1 x status 3")
    assert rows["qvi_get_serv_addr"].split()[1] == "2" and rows["qvi_get_serv_addr"].endswith("1 x status 2")
    assert rows["qvi_run"].endswith("1 x status 4") and rows["qvi_poll"].split()[1] == "2"
    assert rows["qvi_history_ticks_pb"].endswith("-") and rows["qvi_now"].endswith("-")
    events = {line.split()[0]: line.split() for line in proc.stdout.splitlines() if line.startswith("'")}
    assert events["'tick'"][1] == "7" and events["'bus'"][1] == "1" and events["''"][1] == "1"


@pytest.mark.parametrize("values", [list(range(1, 1001)), [5] * 99 + [10**9], [2**k + 7 for k in range(40)],
                                    [1234567] * 3])
def test_latency_percentiles_are_within_the_bucket_width(values):
    lat = qvcore_session._Latency()
    for v in values:
        lat.add(v)
    ordered = sorted(values)
    for q in (50, 99):
        exact = ordered[max(0, -(-len(ordered) * q // 100) - 1)]
        assert exact <= lat.percentile(q) <= exact * 1.016 + 1
    assert lat.max == max(values)


@pytest.mark.parametrize("command", ["show", "stats"])
def test_the_reader_refuses_what_it_cannot_read(tmp_path, command):
    bad = tmp_path / "x.qvs"
    bad.write_bytes(b"\x89QVSESS\n\x02\x00")
    proc = reader(command, bad)
    assert proc.returncode == 1 and proc.stderr.startswith("qvcore_session: ")
    assert reader("shim").stdout.strip() == SHIM
