"""qvcore-session metrics scraped by a real Prometheus while a recorded
strategy runs: once the recording has ended, what Prometheus holds agrees
with stats on the finished file. The Grafana dashboard in docs/ asks only
for metrics and labels that the exporter serves. A recording that ended
stays down when a new file takes its name."""

import bisect
import fcntl
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
import session_files as sf
from recording import ROOT, SHIM
from session_cli import tool

from qvcore_session import Session
from qvcore_session.follow import POLL
from qvcore_session.live import Feed
from qvcore_session.metrics import BUCKETS, Totals
from qvcore_session.stats import tally

PROMETHEUS = shutil.which("prometheus") or ("/usr/bin/prometheus" if os.access("/usr/bin/prometheus", os.X_OK) else None)

# Three functions of different latencies (qvi_poll runs the event callback), one failing one call in four.
STRATEGY = r"""
import time, c_sdk, qvcore_standin
core = qvcore_standin.Core()
core.set_response("qvi_history_bars_pb", b"x" * 20_000)
c_sdk.py_qvi_set_data_callback(lambda t, p: None)
for i in range(1500):
    core.set_status("qvi_place_order_pb", 3 if i % 4 == 0 else 0)
    c_sdk.py_qvi_place_order(b"order %d" % i)
    c_sdk.py_qvi_history_bars_pb(b"bars")
    core.queue_event(b"tick", b"p")
    c_sdk.qvi_poll()
    time.sleep(0.002)
"""


def dashboard_queries():
    """(panel or variable, expression) of docs/grafana-qvcore.json."""
    with open(os.path.join(ROOT, "docs", "grafana-qvcore.json")) as f:
        dashboard = json.load(f)
    assert dashboard["__inputs"][0]["name"] == "DS_PROMETHEUS"
    assert all(p["title"] for p in dashboard["panels"])
    return ([(p["title"], t["expr"]) for p in dashboard["panels"] for t in p["targets"]],
            [(v["name"], v["query"]["query"]) for v in dashboard["templating"]["list"]])


def documented_queries():
    """The queries of docs/live.md's promql blocks: one per paragraph, less its comments."""
    with open(os.path.join(ROOT, "docs", "live.md")) as f:
        blocks = re.findall(r"```promql\n(.*?)```", f.read(), re.S)
    paragraphs = [p for b in blocks for p in b.split("\n\n")]
    queries = [" ".join(line for line in p.splitlines() if not line.startswith("#")) for p in paragraphs]
    assert len(queries) >= 3
    return queries


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.read().decode()


def until(what, seconds, check):
    """check()'s first true value, asked every 0.2 s for at most seconds."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = check()
        except OSError:
            value = None
        if value:
            return value
        assert time.monotonic() < deadline, f"no {what} in {seconds} s"
        time.sleep(0.2)


@pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")
@pytest.mark.skipif(PROMETHEUS is None, reason="no prometheus binary (Debian: apt-get install prometheus)")
def test_prometheus_ends_with_what_stats_reads_in_the_finished_file(tmp_path):
    exporter_port, prometheus_port = free_port(), free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qvcore\n"
                      f"    static_configs:\n      - targets: ['127.0.0.1:{exporter_port}']\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("LD_PRELOAD", None)  # a sanitizer's runtime is for the recorded strategy only
    started = []
    try:
        with open(tmp_path / "metrics.log", "w") as log:
            started.append(subprocess.Popen(
                [sys.executable, "-m", "qvcore_session", "metrics", tmp_path / "s-*.qvs",
                 "--listen", f"127.0.0.1:{exporter_port}"], env=env, stderr=log))
        with open(tmp_path / "prometheus.log", "w") as log:
            started.append(subprocess.Popen(
                [PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'tsdb'}",
                 f"--web.listen-address=127.0.0.1:{prometheus_port}"], env=env, stdout=log, stderr=log))
        api = f"http://127.0.0.1:{prometheus_port}/api/v1/query?"

        def query(expr, at=None):
            try:
                answer = get(api + urllib.parse.urlencode(dict(query=expr, **({"time": at} if at else {}))))
            except urllib.error.HTTPError as e:
                if e.code not in (400, 422):  # a query Prometheus refused
                    raise
                answer = e.read().decode()
            answer = json.loads(answer)
            assert answer["status"] == "success", (expr, answer["error"])
            return answer["data"]["result"]

        def value(expr, at):
            (sample,) = query(expr, at)
            return float(sample["value"][1])

        until(f"scrape of the exporter (logs: {tmp_path})", 20, lambda: query('up{job="qvcore"} == 1'))
        tool("record", "-o", tmp_path / "s-%p.qvs", "--", sys.executable, "-c", STRATEGY,
             env={"LD_PRELOAD": os.environ.get("LD_PRELOAD", "")})
        # The exporter reads a file to its end before its writer counts as ended; a scrape
        # with the recording down holds the final figures.
        until("scrape of the ended recording", 15, lambda: query("qvcore_recording_up == 0"))
        at = time.time()
        (path,) = tmp_path.glob("s-*.qvs")
        session = Session(path)
        t = tally(session)
        assert query("qvcore_recording_up", at)[0]["metric"]["pid"] == str(session.header.pid)
        assert value("sum(qvcore_calls_total)", at) == t.call_count() > 3000
        assert value('sum(qvcore_calls_total{outcome="failed"})', at) == t.failure_count() == 375
        assert value('sum(qvcore_events_total{type="tick"})', at) == t.event_count() == 1500
        seen = {}
        for fn, lat in t.calls.items():
            name = session.name(fn)
            stats_p99 = lat.percentile(99) / 1e9
            prom_p99 = value(f'histogram_quantile(0.99, sum by (le) '
                             f'(qvcore_call_duration_seconds_bucket{{function="{name}"}}))', at)
            seen[name] = (stats_p99, prom_p99)
            assert abs(bisect.bisect_left(BUCKETS, stats_p99) - bisect.bisect_left(BUCKETS, prom_p99)) <= 1, seen
        print("p99 (stats, Prometheus):", seen)
        # Each of the dashboard's panels is PromQL that Prometheus takes, with series to show;
        # docs/live.md's queries are taken too.
        for title, expr in dashboard_queries()[0]:
            expr = expr.replace("$__rate_interval", "5s").replace("$pid", ".*").replace("$function", ".*")
            assert query(expr, at), title
        for expr in documented_queries():
            query(expr, at)
    finally:
        for proc in started:
            proc.kill()
            proc.wait()


def exported(tmp_path):
    """Metric name -> its label names, as the exporter serves them (a file with a call, an event and a gap)."""
    path = tmp_path / "s.qvs"
    path.write_bytes(sf.header() + sf.call(sf.ORDER, 1, sf.MONO_NS + 1000, 500, status=3)
                     + sf.event(b"tick", 1, sf.MONO_NS + 2000, 100) + sf.lost(1, sf.MONO_NS + 3000, 0, 2, 64, 0))
    totals = Totals()
    Feed(str(path), [totals]).poll()
    return {s.name: set(s.labels) for family in totals.collect() for s in family.samples}


def test_the_grafana_dashboard_asks_only_for_exported_metrics_and_labels(tmp_path):
    panels, variables = dashboard_queries()
    assert len(panels) >= 9
    served = exported(tmp_path)
    used = set()
    for where, expr in panels + variables:
        names = re.findall(r"\bqvcore_\w+", expr)
        assert names, (where, expr)
        used.update(names)
        for name in names:
            assert name in served, (where, name)
        # Every label a selector or a by (...) names is one the metrics carry (or a bucket's le).
        labels = set(re.findall(r"(\w+)\s*(?:=~|!~|!=|=)\s*\"", expr) + re.findall(r"label_values\(.*,\s*(\w+)\)", expr))
        labels |= {w for by in re.findall(r"by \(([^)]*)\)", expr) for w in re.split(r"\s*,\s*", by)}
        known = set().union(*(served[n] for n in names)) | {"le"}
        assert labels <= known, (where, labels - known)
    # A panel for each metric (a histogram's sum and count aside).
    assert {n for n in served if not n.endswith(("_sum", "_count"))} <= used


def test_a_recording_whose_name_another_file_took_stays_down(tmp_path):
    name = tmp_path / "live.qvs"

    def start(pid):  # a writer: its file under an exclusive flock, one failed order in it
        f = open(name, "wb")
        fcntl.flock(f, fcntl.LOCK_EX)
        f.write(sf.header(pid=pid) + sf.call(sf.ORDER, 1, sf.MONO_NS + 1000, 500, status=3))
        f.flush()
        return f

    def scrape():  # (metric, pid) -> value, of recording_up and the failed calls
        time.sleep(POLL)  # the writers' locks are looked up at most once per POLL
        feed.poll()
        return {(s.name, s.labels["pid"]): s.value for family in totals.collect() for s in family.samples
                if s.name in ("qvcore_recording_up", "qvcore_calls_total") and s.labels.get("outcome") != "ok"}

    totals = Totals()
    feed = Feed(str(name), [totals])
    with start(100):
        assert scrape() == {("qvcore_recording_up", "100"): 1, ("qvcore_calls_total", "100"): 1}
    assert scrape()[("qvcore_recording_up", "100")] == 0
    name.rename(tmp_path / "live.1.qvs")  # rotated: a new process writes at the name
    with start(200):
        scrape()
        assert scrape() == {("qvcore_recording_up", "100"): 0, ("qvcore_calls_total", "100"): 1,
                            ("qvcore_recording_up", "200"): 1, ("qvcore_calls_total", "200"): 1}
    assert scrape()[("qvcore_recording_up", "200")] == 0
