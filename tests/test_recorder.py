"""The recording core shim, the session file, its reader and replay in the stand-in.

Sessions are recorded in subprocesses with the shim preloaded; replays run
in this process (or in a fresh one for the round trip) against the stand-in.
"""

import json
import os
import re
import stat
import subprocess
import sys

import pytest
from conftest import run_python

import c_sdk
import qvcore_session
import qvcore_standin
from qvcore_standin import REPLAY_DIVERGED, ReplayDivergence

SHIM = qvcore_session.shim_path()
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")


def shim_env(path=None, **extra):
    """The environment of a recorded subprocess: the shim preloaded after
    whatever is preloaded already (the sanitizer runtimes must come first),
    colon-separated (valgrind drops its own entries from a child's list by
    colons, and would drop a space-separated shim with them)."""
    preload = ":".join(p for p in (os.environ.get("LD_PRELOAD", ""), SHIM) if p)
    env = {"LD_PRELOAD": preload}
    if path is not None:
        env.update(C_SDK_RECORD="1", C_SDK_RECORD_FILE=str(path))
    env.update(extra)
    return env


def recorder_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("c_sdk recorder:")]


def checked(proc):
    assert proc.returncode == 0, proc.stderr
    return proc


# ---- the round trip ---------------------------------------------------------------

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


# ---- divergence ---------------------------------------------------------------------

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
    "text": (2, "qvi_subscribe(b'SHSE.600000', b'tick', true)", "qvi_subscribe(b'SHSE.600001', b'tick', true)"),
    "flag": (2, "qvi_subscribe(b'SHSE.600000', b'tick', true)", "qvi_subscribe(b'SHSE.600000', b'tick', false)"),
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
    with pytest.raises(ValueError, match="cannot open"):
        core.replay(tmp_path / "missing.qvs")
    with pytest.raises(qvcore_session.SessionError, match="not a session file"):
        qvcore_session.Session(bad)


def test_reset_ends_a_replay(core, small):
    core.replay(small)
    core.reset()
    assert core.lib.standin_replay_active() == 0
    assert c_sdk.py_qvi_history_ticks_pb(b"x") == (0, b"qvi_history_ticks_pb")


# ---- secrets and the file mode ---------------------------------------------------------

# (call, the secret in it, a text of the same call that is not secret)
SECRETS = [
    ("c_sdk.py_qvi_set_token(b'tok-SECRET-1')", b"tok-SECRET-1", None),
    ("c_sdk.py_qvi_set_apitoken(b'api-SECRET-2')", b"api-SECRET-2", None),
    ("c_sdk.py_qvi_set_ctp_md_info(b'tcp://front', b'md-user', b'pw-SECRET-3')", b"pw-SECRET-3", b"md-user"),
    ("c_sdk.py_qvi_set_bus_info(b'bus:1', b'bus-user', b'pw-SECRET-4')", b"pw-SECRET-4", b"bus-user"),
    ("c_sdk.py_qvi_set_bus_secure(1, b'ca-pem', b'cert-pem', b'key-SECRET-5', [0])", b"key-SECRET-5", b"cert-pem"),
    ("core.set_text('qvi_get_encrypted_token', b'enc-SECRET-6'); c_sdk.py_qvi_get_encrypted_token()",
     b"enc-SECRET-6", None),
]


@pytest.fixture(scope="module")
def secrets_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("secrets") / "secrets.qvs"
    code = "import c_sdk, qvcore_standin\ncore = qvcore_standin.Core()\n" + "\n".join(c for c, _, _ in SECRETS)
    checked(run_python(code, shim_env(path)))
    return path


@pytest.mark.parametrize("call, secret, plain", SECRETS, ids=[s.decode() for _, s, _ in SECRETS])
def test_secrets_never_reach_the_file(secrets_file, call, secret, plain):
    raw = secrets_file.read_bytes()
    assert secret not in raw and b"<redacted: %d bytes>" % len(secret) in raw
    if plain is not None:
        assert plain in raw
    shown = subprocess.run([sys.executable, "-m", "qvcore_session", "show", str(secrets_file)],
                           capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert secret.decode() not in shown.stdout and f"<redacted: {len(secret)} bytes>" in shown.stdout


@pytest.mark.parametrize("existing", [None, 0o644, 0o666])
def test_the_file_is_readable_by_its_owner_only(tmp_path, existing):
    path = tmp_path / "mode.qvs"
    if existing is not None:
        path.write_bytes(b"an older file, longer than the new one will be" * 1000)
        os.chmod(path, existing)
    checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(path)))
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert [f.fn for f in qvcore_session.Session(path)] == ["qvi_now"]


# ---- torn frames, write failures, switched off ----------------------------------------------

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


# The session of every failure case: its own output must not change.
BUSY = r"""
import os, time, c_sdk, qvcore_standin
core = qvcore_standin.Core()
seen = []
c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append((t, len(p))))
for i in range(300):
    seen.append(c_sdk.py_qvi_history_ticks_pb(b"request %d" % i + b"x" * 200))
    if i == 100 and REMOVE:
        while not os.path.exists(REMOVE):  # the writer creates it just after the first frame
            time.sleep(0.001)
        os.remove(REMOVE)
    core.queue_event(b"tick", b"p" * i)
    c_sdk.qvi_poll()
c_sdk.py_qvi_stop()
print(len(seen), seen[-3:])
"""


def busy(remove=""):
    return f"REMOVE = {remove!r}\n" + BUSY


@pytest.fixture(scope="module")
def unrecorded_busy():
    return checked(run_python(busy())).stdout


@pytest.mark.parametrize("failure", ["disk full", "size limit", "file removed", "fifo without reader"])
def test_a_write_failure_stops_the_recording_with_one_line_and_nothing_else(tmp_path, failure, unrecorded_busy):
    path = {"disk full": "/dev/full", "fifo without reader": str(tmp_path / "fifo")}.get(failure,
                                                                                         str(tmp_path / "s.qvs"))
    if failure == "fifo without reader":
        os.mkfifo(path)
    extra = {"C_SDK_RECORD_MAX_BYTES": "20k"} if failure == "size limit" else {}
    code = busy(path if failure == "file removed" else "")
    proc = run_python(code, shim_env(path, **extra))
    assert proc.returncode == 0 and proc.stdout == unrecorded_busy
    lines = recorder_lines(proc.stderr)
    assert len(lines) == 1 and lines[0].endswith("; recording stopped"), proc.stderr
    assert {"disk full": "writing failed (No space left on device)",
            "size limit": "the size limit of 20480 bytes is reached",
            "file removed": "the file was removed",
            "fifo without reader": "cannot open the file"}[failure] in lines[0]
    assert proc.stderr.strip() == lines[0]
    if failure == "size limit":
        session = qvcore_session.Session(path)
        frames = list(session)
        assert session.torn is None and len(frames) > 10 and os.path.getsize(path) <= 20480


@pytest.mark.parametrize("switch", [None, "0", "off"])
def test_the_shim_switched_off_changes_nothing(tmp_path, switch, unrecorded_busy):
    path = tmp_path / "never.qvs"
    env = shim_env(None, C_SDK_RECORD_FILE=str(path))
    if switch is not None:
        env["C_SDK_RECORD"] = switch
    probe = (busy() + "with open('/proc/self/maps') as f:\n    maps = f.read()\n"
             "print('shim' if 'qvcore_recorder.so' in maps else 'no shim')\n"
             "cb = core.callback_address()\n"
             "owner = [l.split()[-1] for l in maps.splitlines()"
             " if int(l.split('-')[0], 16) <= cb < int(l.split()[0].split('-')[1], 16)]\n"
             "print(os.path.basename(owner[0]) == os.path.basename(c_sdk.__file__))\n")
    proc = checked(run_python(probe, env))
    assert proc.stdout == unrecorded_busy + "shim\nTrue\n" and proc.stderr == ""
    assert not path.exists()


def test_the_settings_are_checked(tmp_path):
    proc = checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(None, C_SDK_RECORD="1")))
    assert recorder_lines(proc.stderr) == [
        "c_sdk recorder: C_SDK_RECORD is on but C_SDK_RECORD_FILE is not set; not recording"]
    pattern = tmp_path / "s-%p.qvs"
    proc = checked(run_python("import c_sdk, os\nc_sdk.qvi_now()\nprint(os.getpid())", shim_env(pattern)))
    assert (tmp_path / f"s-{proc.stdout.strip()}.qvs").exists()


def test_only_the_parent_of_a_fork_records(tmp_path):
    path = tmp_path / "fork.qvs"
    code = ("import os, c_sdk\nc_sdk.qvi_now()\npid = os.fork()\n"
            "if pid == 0:\n    c_sdk.py_qvi_get_orgcode()\n    os._exit(0)\n"
            "os.waitpid(pid, 0)\nc_sdk.qvi_now_plus()\n")
    checked(run_python(code, shim_env(path)))
    assert [f.fn for f in qvcore_session.Session(path)] == ["qvi_now", "qvi_now_plus"]


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


# ---- the shim covers the header ----------------------------------------------------------------

def test_the_shim_exports_exactly_the_core_functions(core):
    nm = subprocess.run(["nm", "-D", "--defined-only", SHIM], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("binutils missing")
    exported = sorted(line.split()[-1] for line in nm.stdout.splitlines() if " T " in line)
    assert exported == sorted(core.functions())


def test_the_generator_refuses_a_secret_it_cannot_find(tmp_path):
    with open(os.path.join(ROOT, "include", "qvcsdk.h")) as f:
        header = f.read()
    renamed = header.replace("qvi_set_bus_info(const char* server_addr, const char* user_name, const char* password)",
                             "qvi_set_bus_info(const char* server_addr, const char* user_name, const char* pass)")
    assert renamed != header
    (tmp_path / "h.h").write_text(renamed)
    gen = subprocess.run([sys.executable, os.path.join(ROOT, "recorder", "gen_recorder.py"), "--header",
                          str(tmp_path / "h.h"), "--out-dir", str(tmp_path / "out")], capture_output=True, text=True)
    assert gen.returncode == 1 and "qvi_set_bus_info(password)" in gen.stderr


SIZES = [0, 1, 15, 16, 17, 100, 255, 5500, 5536, 5537, 5552, 20000, 70001]


def test_every_frame_checks_whatever_its_size(tmp_path, core):
    """The shim's checksum agrees with zlib's on bodies of every length class
    (the vector loop, its chunking, the tail), and replay reads them too."""
    path = tmp_path / "sizes.qvs"
    code = ("import c_sdk, qvcore_standin\ncore = qvcore_standin.Core()\n"
            "c_sdk.py_qvi_set_data_callback(lambda t, p: None)\n"
            f"for n in {SIZES}:\n"
            "    core.queue_event(b'e', bytes(range(256)) * (n // 256) + bytes(n % 256))\n"
            "    core.set_response('qvi_get_orders_pb', b'\\xff' * n)\n"
            "    c_sdk.py_qvi_get_orders(b'\\x80' * n)\n"
            "    c_sdk.qvi_poll()\n")
    checked(run_python(code, shim_env(path)))
    session = qvcore_session.Session(path)
    frames = list(session)
    assert session.torn is None and len(frames) == 1 + 4 * len(SIZES)
    assert [len(f.payload) for f in frames if f.kind == qvcore_session.EVENT] == SIZES
    assert [f.output.data or b"" for f in frames if f.fn == "qvi_get_orders_pb"] == [b"\xff" * n for n in SIZES]
    seen = []
    with core.replay(path):
        c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append(len(p)))
        for n in SIZES:
            assert c_sdk.py_qvi_get_orders(b"\x80" * n) == (0, b"\xff" * n)
            c_sdk.qvi_poll()
    assert seen == SIZES


# ---- where the shim finds the core ------------------------------------------------------

def deployed_in_place(tmp_path):
    """c_sdk with the shim as its zadiv3-e.so and the stand-in under another name."""
    import shutil

    folder = tmp_path / "site"
    folder.mkdir()
    shutil.copy(c_sdk.__file__, folder)
    shutil.copy(SHIM, folder / "zadiv3-e.so")
    shutil.copy(qvcore_standin.Core().path, folder / "real-core.so")
    return folder


IN_PLACE = ("import sys, c_sdk, qvcore_standin\n"
            "core = qvcore_standin.Core(sys.argv[-1] if len(sys.argv) > 1 else {real!r})\n"
            "core.set_response('qvi_get_orders_pb', b'from the real core')\n"
            "print(c_sdk.py_qvi_get_orders(b'q'), c_sdk.__file__.startswith({folder!r}))\n")


@pytest.mark.parametrize("named", [True, False])
def test_the_shim_in_the_cores_place_forwards_to_the_core_it_is_given(tmp_path, named):
    folder = deployed_in_place(tmp_path)
    path = tmp_path / "inplace.qvs"
    env = {"C_SDK_RECORD": "1", "C_SDK_RECORD_FILE": str(path)}
    if named:
        env["C_SDK_RECORD_CORE"] = str(folder / "real-core.so")
    code = IN_PLACE.format(real=str(folder / "real-core.so"), folder=str(folder))
    proc = run_python(code, env, path=(str(folder), os.path.join(ROOT, "standin", "qv")))
    if named:
        assert proc.returncode == 0 and proc.stdout == "(0, b'from the real core') True\n", proc.stderr
        frames = list(qvcore_session.Session(path))
        assert [f.fn for f in frames] == ["qvi_get_orders_pb"] and frames[0].output.data == b"from the real core"
    else:  # it would find only itself: a clear stop rather than endless recursion
        assert proc.returncode != 0
        assert "c_sdk recorder: the core library found is the recorder itself: " in proc.stderr


def test_a_core_named_that_cannot_be_loaded_stops_the_process_with_the_reason(tmp_path):
    proc = run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(tmp_path / "x.qvs",
                                                                C_SDK_RECORD_CORE=str(tmp_path / "none.so")))
    assert proc.returncode != 0
    assert "c_sdk recorder: cannot load the core library named by C_SDK_RECORD_CORE: " in proc.stderr


def test_calls_from_several_threads_are_recorded_with_their_threads(tmp_path):
    path = tmp_path / "threads.qvs"
    code = ("import threading, c_sdk\n"
            "def work(k):\n"
            "    for i in range(200):\n"
            "        c_sdk.py_qvi_history_ticks_pb(b'%d' % k)\n"
            "ts = [threading.Thread(target=work, args=(k,)) for k in range(4)]\n"
            "[t.start() for t in ts]\n[t.join() for t in ts]\n")
    checked(run_python(code, shim_env(path)))
    by_thread = {}
    for f in qvcore_session.Session(path):
        by_thread.setdefault(f.thread, set()).add(f.args[0].data)
    assert len(by_thread) == 4 and sorted(map(tuple, by_thread.values())) == [(b"0",), (b"1",), (b"2",), (b"3",)]
