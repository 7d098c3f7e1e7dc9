"""Records the demo strategy's session through the recording core shim, then
replays it offline against the stand-in core and checks that the strategy
saw the same things. Run it with `make record-demo`, or with c_sdk installed
and the stand-in qv on PYTHONPATH:

    python examples/record_and_replay.py [session file]

1. Record: `python -m qvcore_session record -o FILE -- python demo_strategy.py`
   runs the demo with the shim preloaded and recording on; every core call
   and event crossing the module lands in the session file.
2. Look: `python -m qvcore_session show FILE` and `stats FILE`.
3. Replay: the demo runs again in a fresh process, with the stand-in
   answering every call from the file (its own programming is ignored),
   and its output is compared with the recorded run's.
"""

import os
import subprocess
import sys
import tempfile

import qvcore_session

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "demo_strategy.py")

REPLAY = """
import runpy, sys, qvcore_standin
with qvcore_standin.Core().replay(sys.argv[1]):
    runpy.run_path(sys.argv[2], run_name="__main__")
"""


def run(cmd, env=None):
    proc = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, **(env or {})))
    if proc.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed:\n{proc.stdout}{proc.stderr}")
    return proc.stdout


def main(path):
    if not os.path.exists(qvcore_session.shim_path()):
        sys.exit(f"no recording shim at {qvcore_session.shim_path()}")
    recorded = run([sys.executable, "-m", "qvcore_session", "record", "-o", path, "--", sys.executable, DEMO])
    print(f"== recorded the demo into {path} ({os.path.getsize(path)} bytes)\n")
    print(run([sys.executable, "-m", "qvcore_session", "show", path]))
    print(run([sys.executable, "-m", "qvcore_session", "stats", path]))
    replayed = run([sys.executable, "-c", REPLAY, path, DEMO])
    if replayed != recorded:
        sys.exit(f"the replay saw something else:\n--- recorded\n{recorded}--- replayed\n{replayed}")
    print(f"== replayed offline: the demo printed the same {len(recorded.splitlines())} lines")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory(prefix="c_sdk-session-") as tmp:
            main(os.path.join(tmp, "demo.qvs"))
