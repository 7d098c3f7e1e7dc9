"""Ctrl-C ends py_qvi_run through the recipe the docs give, under a real
SIGINT, wherever in the loop it lands."""

import os
import re
import select
import signal
import subprocess
import sys
import time

from conftest import ROOT, python_env


def documented_recipe():
    """The code block of the offline-testing guide's Ctrl-C section."""
    with open(os.path.join(ROOT, "docs", "testing-offline.md"), encoding="utf-8") as f:
        guide = f.read()
    section = guide[guide.index("## Ctrl-C\n"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


ROUNDS = 20

# Every round: the stand-in's loop runs until stopped (each event queues the
# next), the parent interrupts it once told the loop is running. The last
# interrupt is left to end the process.
DRIVER = """
import c_sdk, qvcore_standin

core = qvcore_standin.Core()
told = []


def on_event(message_type, payload):
    if not told:
        told.append(True)
        print("in the loop", flush=True)
    core.queue_event(b"tick", b"x")


c_sdk.py_qvi_set_data_callback(on_event)
for round in range({rounds}):
    core.reset()
    told.clear()
    core.queue_event(b"tick", b"x")
    try:
        status = run_until_interrupted()
    except KeyboardInterrupt:
        if round == {rounds} - 1:
            raise
        print("interrupted, stopped with", core.queued(), "event queued", flush=True)
    else:
        print("returned", status, "without an interrupt", flush=True)
print("not reached", flush=True)
"""


class Lines:
    """The child's output, line by line; the deadline is a safety net for a
    child that hangs, not a measure."""

    def __init__(self, proc, deadline):
        self.proc, self.deadline, self.pending = proc, deadline, b""

    def next(self):
        while b"\n" not in self.pending:
            left = self.deadline - time.monotonic()
            assert left > 0, "the child hung"
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            chunk = os.read(self.proc.stdout.fileno(), 4096) if ready else b""
            assert chunk or not ready, "the child ended early: " + self.proc.stderr.read().decode()
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()


def test_ctrl_c_stops_the_loop_and_is_raised_after_it():
    code = documented_recipe() + DRIVER.format(rounds=ROUNDS)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=python_env())
    try:
        lines = Lines(proc, time.monotonic() + 120)
        for _ in range(ROUNDS - 1):
            assert lines.next() == "in the loop"
            proc.send_signal(signal.SIGINT)
            assert lines.next() == "interrupted, stopped with 1 event queued"
        assert lines.next() == "in the loop"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert out == b""
    # The interpreter ends on an uncaught KeyboardInterrupt by SIGINT itself.
    assert proc.returncode == -signal.SIGINT, err.decode()
    err = err.decode()
    assert err.startswith("Traceback (most recent call last):") and err.endswith("\nKeyboardInterrupt\n")
    assert "c_sdk.callback_wrapper" not in err  # nothing reached the module's reporting


def test_the_reference_gives_the_same_recipe():
    with open(os.path.join(ROOT, "docs", "reference.md"), encoding="utf-8") as f:
        assert "```python\n" + documented_recipe() + "```" in f.read()
