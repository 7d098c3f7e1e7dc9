"""The session tools on large crafted files: each command completes and its
peak memory stays flat, where reading them once took minutes (a stray CLOSE
frame searched the whole stack) or hundreds of megabytes (show indented
twenty thousand levels deep, and held thousands of lines as long as their
frames). Times are never asserted, only that each run
ends; the peak is measured in a process of its own."""

import os
import subprocess
import sys

import pytest
import session_files as sf

from qvcore_session import limits

N = 20_000
PEAK_KB = 100 * 1024  # a run takes some 15-30 MB; the deepest show took 417 MB before


def opens(thread=1, count=N):
    return [sf.call_open(sf.RUN, thread, sf.us(i)) for i in range(count)]


def stray_closes(threads):
    return [sf.call_close(sf.RUN, 1000 + i % threads if threads > 1 else 1, sf.us(10**6 + i), 5) for i in range(N)]


def wide():
    """60 threads each nested 250 deep (under the limits), then closes that match nothing."""
    frames = [sf.call_open(sf.RUN, 1000 + t, sf.us(d)) for d in range(250) for t in range(60)]
    return frames + stray_closes(60)


LARGE = {  # frames, and whether the reading stops at a limit
    "20k opens then 20k stray closes": (lambda: opens() + stray_closes(1), True),
    "20k nested opens": (opens, True),
    "60 threads 250 deep then 20k stray closes": (wide, False),
    "20k threads each inside an event": (lambda: [sf.event_open(b"t", 10 + t, sf.us(t)) for t in range(N)], True),
    # lines as long as their frames: show and trace write them out as they go
    "500 events of 100 kB types": (lambda: [sf.event(b"%06d" % i * 16_000, 1, sf.us(i), 5) for i in range(500)], False),
}

PEAK = """
import resource, subprocess, sys
proc = subprocess.run([sys.executable, "-m", "qvcore_session", *sys.argv[1:]], stdout=subprocess.DEVNULL,
                      stderr=subprocess.PIPE, text=True)
sys.stderr.write(proc.stderr)
print(proc.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    for i, (make, _) in enumerate(LARGE.values()):
        (folder / f"{i}.qvs").write_bytes(sf.header() + b"".join(make()))
    return folder


@pytest.mark.parametrize("command", ["show", "stats", "export", "trace"])
@pytest.mark.parametrize("case", LARGE)
def test_a_large_crafted_file_completes_in_flat_memory(large, case, command):
    path = large / f"{list(LARGE).index(case)}.qvs"
    out = {"export": ["-o", str(large / f"{command}.csv")], "trace": ["-o", str(large / f"{command}.json")]}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([sys.executable, "-c", PEAK, command, str(path), *out.get(command, [])],
                          capture_output=True, text=True, env=env, timeout=600)
    code, peak_kb = map(int, proc.stdout.split())
    stops = LARGE[case][1]
    assert code == 0 and proc.stderr.count("\n") == stops, proc.stderr
    assert not stops or f"more than {limits.MAX_DEPTH} deep" in proc.stderr or \
        f"more than {limits.MAX_OPEN} calls and events are open at once" in proc.stderr
    assert peak_kb < PEAK_KB, f"{command} peaked at {peak_kb // 1024} MB"
