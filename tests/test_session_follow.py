"""Following session files as they are written: show/stats --follow, top and
metrics. A writer is played by the test (a file it holds an exclusive flock
on, as the recorder's writer does, written piece by piece), so that every
moment of a write can be looked at; the last tests follow real recordings."""

import fcntl
import os
import re
import subprocess
import sys
import threading
import time
import urllib.request

import pytest
import session_files as sf
from session_cli import tool

import qvcore_session
from qvcore_session.follow import Follow
from qvcore_session.stats import tally


class Writer:
    """A session file being written: created and flocked like the recorder's, grown on demand."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def write(self, data):
        os.write(self.fd, data)

    def end(self):
        os.close(self.fd)


def offsets(follow):
    return [span[1] for span in follow.poll()]


def test_each_frame_is_given_once_wherever_the_writes_cut_it(tmp_path):
    data = sf.mixed_session()
    whole = [span[1] for span in qvcore_session.Session(_file(tmp_path / "whole.qvs", data)).spans()]
    for step in (1, 7, 61):
        path = tmp_path / f"cut{step}.qvs"
        w = Writer(path)
        f = Follow(str(path))
        seen = []
        for at in range(0, len(data), step):
            w.write(data[at:at + step])
            seen += offsets(f)
            assert not f.ended
        w.end()
        seen += offsets(f)
        assert seen == whole and f.ended and f.session.torn is None


def _file(path, data):
    path.write_bytes(data)
    return path


def test_a_torn_tail_is_waited_for_while_written_and_told_once_its_writer_ends(tmp_path):
    data = sf.mixed_session()
    last = sf.call(sf.ORDER, 100, sf.us(90), 1_000, req=b"buy 4")
    path = tmp_path / "torn.qvs"
    w = Writer(path)
    w.write(data + last[:10])
    proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "stats", "--follow", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    time.sleep(0.5)
    assert proc.poll() is None  # the writer runs: more is to come
    w.write(last[10:] + last[:5])  # the torn frame completed, and a new one begun
    w.end()
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert re.search(r"^qvi_place_order_pb\s+4 ", out, re.M), out
    assert err.strip().endswith(f"stopped at byte {len(data) + len(last)} after 17 frames: the file ends inside "
                                "a frame's first bytes (a torn last frame)"), err


def test_a_file_that_takes_the_name_is_followed_once_the_old_one_has_ended(tmp_path):
    path = tmp_path / "day.qvs"
    first = Writer(path)
    first.write(sf.header(pid=111) + sf.call(sf.NOW, 1, sf.us(1), 100))
    proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "show", "-f", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    seen = ""
    watchdog = threading.Timer(60, proc.kill)  # a follower that never shows the frame fails, not hangs
    watchdog.start()
    try:
        while "qvi_now" not in seen:  # the follower has the old file open (a slow start under a sanitizer)
            line = proc.stdout.readline()
            assert line, proc.communicate(timeout=60)
            seen += line
    finally:
        watchdog.cancel()
    os.rename(path, tmp_path / "day.old.qvs")  # a rotation: the writer writes on into the old file
    second = Writer(path)
    first.write(sf.call(sf.CASH, 1, sf.us(2), 100))
    first.end()
    second.write(sf.header(pid=222) + sf.call(sf.STOP, 2, sf.us(3), 100))
    second.end()
    out, err = proc.communicate(timeout=60)
    out = seen + out
    assert proc.returncode == 0, err
    assert re.findall(r"pid (\d+)|(qvi_\w+)\(", out) == [("111", ""), ("", "qvi_now"), ("", "qvi_get_cash_pb"),
                                                        ("222", ""), ("", "qvi_stop")], out
    assert "a new session file at this name; following it" in err


def test_a_name_that_is_not_there_yet_is_waited_for(tmp_path):
    path = tmp_path / "later.qvs"
    proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "show", "--follow", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    time.sleep(0.5)
    w = Writer(path)
    w.write(sf.header()[:20])
    time.sleep(0.3)
    w.write(sf.header()[20:] + sf.call(sf.NOW, 1, sf.us(1), 100))
    w.end()
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0 and out.count("qvi_now()") == 1, (out, err)


def test_top_once_shows_the_last_window_of_an_ended_recording(tmp_path):
    path = _file(tmp_path / "mixed.qvs", sf.mixed_session())
    out = tool("top", "--once", path, "--sort", "9").stdout
    assert "1 file, 0 being written" in out and "lost frames 12" in out, out
    rows = [line.split() for line in out.splitlines() if line.startswith("qvi_")]
    # by p99, the slowest first: qvi_place_order_pb's 200 us call, then qvi_run's 60 us
    assert [r[0] for r in rows] == ["qvi_place_order_pb", "qvi_run", "qvi_get_cash_pb", "qvi_now"], out
    assert rows[0][-2:] == ["3", "1"]  # three calls in all, one failed (status 7)
    assert re.search(r"^tick\s+\S+\s+3$", out, re.M), out


def scrape(port):
    from prometheus_client.parser import text_string_to_metric_families

    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as r:
        text = r.read().decode()
    samples = [((s.name, tuple(sorted(s.labels.items()))), s.value)
               for fam in text_string_to_metric_families(text) for s in fam.samples]
    assert len(dict(samples)) == len(samples), "a series twice"
    return dict(samples)


@pytest.fixture
def exporter(tmp_path):
    started = []

    def start(name):
        proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "metrics", str(name), "--listen",
                                 "127.0.0.1:0"], stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        started.append(proc)
        line = proc.stderr.readline()
        port = int(re.search(r":(\d+)/metrics$", line.strip()).group(1))
        return proc, port

    yield start
    for proc in started:
        proc.kill()
        proc.wait()


def settled(port, key, want, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        got = scrape(port)
        if got.get(key) == want or time.monotonic() > deadline:
            return got
        time.sleep(0.1)


def test_metrics_agree_with_stats_on_every_file_of_a_pattern(tmp_path, exporter):
    _file(tmp_path / "s-100.qvs", sf.mixed_session())
    _file(tmp_path / "s-300.qvs", sf.header(pid=300) + b"".join(
        sf.event(b"type%d" % (i % 300), 1, sf.us(i), 10) for i in range(600)))
    # pid 100 exec'd and wrote a second file: one series of figures for both
    _file(tmp_path / "s-100.1.qvs", sf.header(pid=100) + sf.call(sf.STOP, 1, sf.us(1), 100))
    _, port = exporter(tmp_path / "s-%p.qvs")
    settled(port, ("qvcore_recording_up", (("pid", "100"),)), 0)
    got = settled(port, ("qvcore_events_total", (("pid", "300"), ("type", "(other types)"))), 88)
    s = qvcore_session.Session(tmp_path / "s-100.qvs")
    t = tally(s)
    for fn, lat in t.calls.items():
        labels = (("function", s.name(fn)), ("outcome", "failed"), ("pid", "100"))
        failed = sum(lat.failures.values())
        assert got[("qvcore_calls_total", labels)] == failed
        assert got[("qvcore_calls_total", labels[:1] + (("outcome", "ok"),) + labels[2:])] == lat.count - failed
        buckets = sorted((float(dict(k[1])["le"]), v) for k, v in got.items()
                         if k[0] == "qvcore_call_duration_seconds_bucket" and ("function", s.name(fn)) in k[1])
        assert buckets[-1][1] == lat.count and all(a[1] <= b[1] for a, b in zip(buckets, buckets[1:]))
    assert got[("qvcore_calls_total", (("function", "qvi_stop"), ("outcome", "ok"), ("pid", "100")))] == 1
    assert got[("qvcore_lost_frames_total", (("pid", "100"),))] == 12
    assert got[("qvcore_recording_up", (("pid", "100"),))] == 0
    assert got[("qvcore_last_frame_timestamp_seconds", (("pid", "100"),))] == \
        pytest.approx((sf.WALL_NS + 280_000) / 1e9)  # the last order ended 280 us in
    types = [dict(k[1])["type"] for k in got if k[0] == "qvcore_events_total" and ("pid", "300") in k[1]]
    assert len(types) == 257  # 256 types, then the rest together: labels stay bounded
    assert sum(v for k, v in got.items() if k[0] == "qvcore_events_total" and ("pid", "300") in k[1]) == 600


STRATEGY = r"""
import os, sys, time, c_sdk, qvcore_standin
core = qvcore_standin.Core()
core.set_status("qvi_place_order_pb", 5)
end = time.monotonic() + 120
while time.monotonic() < end and not os.path.exists(sys.argv[1]):  # until the test has looked
    for i in range(50):
        c_sdk.py_qvi_history_ticks_pb(b"ticks")
    c_sdk.py_qvi_place_order(b"order")
    time.sleep(0.01)
"""


def test_top_and_metrics_follow_a_recording_as_it_is_made(tmp_path, exporter):
    _, port = exporter(tmp_path / "s-*.qvs")
    rec = subprocess.Popen([sys.executable, "-m", "qvcore_session", "record", "-o", str(tmp_path / "s-%p.qvs"), "--",
                            sys.executable, "-c", STRATEGY, tmp_path / "seen"], stderr=subprocess.PIPE, text=True,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob("s-*.qvs")) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        out = tool("top", "--once", tmp_path / "s-*.qvs").stdout
        assert "1 file, 1 being written" in out, out
        row = next(line.split() for line in out.splitlines() if line.startswith("qvi_place_order_pb"))
        assert float(row[1]) > 0 and int(row[2]) > 0, out  # calls per second, failures in the window
        (path,) = tmp_path.glob("s-*.qvs")
        pid = path.name[2:-4]
        # the exporter takes up a new file of its pattern within a second
        assert settled(port, ("qvcore_recording_up", (("pid", pid),)), 1).get(
            ("qvcore_recording_up", (("pid", pid),))) == 1
    finally:
        (tmp_path / "seen").touch()
        _, err = rec.communicate(timeout=120)
    assert rec.returncode == 0, err
    (path,) = tmp_path.glob("s-*.qvs")
    s = qvcore_session.Session(path)
    t = tally(s)
    pid = str(s.header.pid)
    got = settled(port, ("qvcore_recording_up", (("pid", pid),)), 0)
    total = sum(v for k, v in got.items() if k[0] == "qvcore_calls_total")
    failed = sum(v for k, v in got.items() if k[0] == "qvcore_calls_total" and ("outcome", "failed") in k[1])
    assert (total, failed) == (t.call_count(), t.failure_count()) and failed > 0, err
