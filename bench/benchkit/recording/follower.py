"""The follower (what top and metrics read files with) behind a recording
made as fast as one thread can call: its CPU per frame, and how far behind
the writer it falls."""

import json
import os
import subprocess
import sys
import tempfile
import time

from .common import RECORDING, env_for, pythonpath
from .reader import RECORD

# The exporter's reading, in a process of its own: Feed and the metrics'
# listener, polling as metrics does. After each poll, its lag: how long ago the
# newest call or event it has read ended (the recorded process calls all the
# time, so that is how far behind it is); and when it had read the last frame.
FOLLOW = r"""
import json, resource, sys, time
from qvcore_session.live import Feed
from qvcore_session.metrics import Totals
from qvcore_session.follow import POLL

feed = Feed(sys.argv[1], [Totals()])
print("ready", flush=True)
worst = 0
while not feed.files or feed.writing():
    feed.poll()
    if feed.writing() and feed.last_ns():
        worst = max(worst, time.monotonic_ns() - feed.last_ns())
    time.sleep(POLL)
done = time.monotonic_ns()
use = resource.getrusage(resource.RUSAGE_SELF)
frames = sum(f.follow.count for f in feed.files.values())
print(json.dumps({"frames": frames, "cpu_s": use.ru_utime + use.ru_stime, "worst_lag_ns": worst,
                  "done_ns": done}), flush=True)
"""


def measure(frames):
    """{"frames", "record_s", "rate", "cpu_s", "cpu_us_per_frame", "worst_lag_s", "end_lag_s"}."""
    with tempfile.TemporaryDirectory(prefix="c_sdk-follower-") as tmp:
        path = os.path.join(tmp, "live-%p.qvs")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(pythonpath()))
        env.pop("LD_PRELOAD", None)
        follower = subprocess.Popen([sys.executable, "-c", FOLLOW, path], stdout=subprocess.PIPE, text=True, env=env)
        assert follower.stdout.readline().strip() == "ready"
        t = time.perf_counter()
        subprocess.run([sys.executable, "-c", RECORD, str(frames)], env=env_for(RECORDING, path), check=True)
        recorded = time.perf_counter() - t
        ended = time.monotonic_ns()
        out, _ = follower.communicate(timeout=600)
        r = json.loads(out.strip().splitlines()[-1])
    return {"frames": r["frames"], "record_s": round(recorded, 2), "rate": round(r["frames"] / recorded),
            "cpu_s": round(r["cpu_s"], 2), "cpu_us_per_frame": round(r["cpu_s"] / max(1, r["frames"]) * 1e6, 2),
            "worst_lag_s": round(r["worst_lag_ns"] / 1e9, 3), "end_lag_s": round((r["done_ns"] - ended) / 1e9, 3)}


def lines(r):
    return [f"follower: {r['frames']} frames recorded in {r['record_s']:.1f} s ({r['rate']:,} a second from one "
            f"thread); it used {r['cpu_s']:.1f} s of CPU, {r['cpu_us_per_frame']:.2f} us a frame",
            f"follower: lag at most {r['worst_lag_s']:.3f} s behind a frame's end; done {r['end_lag_s']:.3f} s "
            f"after the recorded process ended"]

