"""show and stats on a recorded session of N frames (calls and events, half each)."""

import os
import subprocess
import sys
import tempfile
import time

from .common import NO_SHIM, RECORDING, env_for, pythonpath, wait_complete

RECORD = r"""
import sys, c_sdk, qvcore_standin
core = qvcore_standin.Core()
core.log_enabled(False)
core.set_response("qvi_history_ticks_pb", b"r" * 40)
c_sdk.py_qvi_set_data_callback(lambda t, p: None)
frames, batch = int(sys.argv[1]), 1000
req = b"SHSE.600000,2024-01-02 09:30:00,2024-01-02 15:00:00"
done = 0
while done < frames:
    for i in range(batch // 2):
        core.queue_event(b"tick", b"p" * 60)
    for i in range(batch // 2 - 1):
        c_sdk.py_qvi_history_ticks_pb(req)
    c_sdk.qvi_poll()
    done += batch
"""


def measure(frames):
    """{"frames", "mb", "record_s", "show_s", "stats_s"}: wall-clock times on a shared machine."""
    with tempfile.TemporaryDirectory(prefix="c_sdk-reader-") as tmp:
        path = os.path.join(tmp, "big.qvs")
        t = time.perf_counter()
        subprocess.run([sys.executable, "-c", RECORD, str(frames)], env=env_for(RECORDING, path), check=True)
        wait_complete(path)
        recorded = time.perf_counter() - t
        result = {"mb": round(os.path.getsize(path) / 1e6, 1), "record_s": round(recorded, 2)}
        sys.path[:0] = pythonpath()
        import qvcore_session

        try:
            result["frames"] = sum(1 for _ in qvcore_session.Session(path))
        except qvcore_session.SessionError as e:  # a reader older than the shim's file format
            return dict(result, error=f"the reader fails: {e}".replace(path, "the session"))
        for command in ("show", "stats"):
            t = time.perf_counter()
            with open(os.devnull, "w") as null:
                subprocess.run([sys.executable, "-m", "qvcore_session", command, path], stdout=null, check=True,
                               env=env_for(NO_SHIM, path))
            result[f"{command}_s"] = round(time.perf_counter() - t, 2)
    return result


def lines(r):
    if "error" in r:
        return [f"recorded {r['mb']:.1f} MB in {r['record_s']:.1f} s; {r['error']}"]
    return [f"recorded {r['frames']} frames, {r['mb']:.1f} MB ({r['mb'] * 1e6 / r['frames']:.0f} bytes a frame) "
            f"in {r['record_s']:.1f} s",
            f"show: {r['show_s']:.1f} s for {r['frames']} frames",
            f"stats: {r['stats_s']:.1f} s for {r['frames']} frames"]
