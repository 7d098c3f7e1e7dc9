"""qvcore_session record: it runs a command with the shim preloaded, keeps the
command's status and reports the file of each process it recorded, or that
nothing was recorded."""

import os
import re
import subprocess
import sys

import pytest
import session_files as sf
from session_cli import SHIM, tool

needs_shim = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

PARENT_AND_CHILD = r"""
import os, subprocess, sys
import c_sdk, qvcore_standin
qvcore_standin.Core().set_status("qvi_get_cash_pb", 3)
c_sdk.py_qvi_get_cash(b"acct")
c_sdk.qvi_now()
child = subprocess.run([sys.executable, "-c", "import c_sdk; c_sdk.qvi_now(); print(__import__('os').getpid())"],
                       capture_output=True, text=True)
print(os.getpid(), child.stdout.strip(), os.environ["LD_PRELOAD"], os.environ["C_SDK_RECORD"])
sys.exit(3)
"""


@needs_shim
def test_record_runs_the_command_and_reports_each_process_file(tmp_path):
    env = {"LD_PRELOAD": os.environ.get("LD_PRELOAD", ""), "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    proc = subprocess.run([sys.executable, "-m", "qvcore_session", "record", "--", sys.executable, "-c",
                           PARENT_AND_CHILD], cwd=tmp_path, capture_output=True, text=True,
                          env=dict(os.environ, **env), timeout=120)
    assert proc.returncode == 3, proc.stderr  # the command's own status
    parent, child, preload, switch = proc.stdout.split()
    assert preload.split(":")[-1] == SHIM and switch == "1"
    lines = [line for line in proc.stderr.splitlines() if line.startswith("qvcore_session:")]
    expected = sorted([(parent, r"2 calls, 0 events, 1 failure, \d+ B, span \d+(\.\d)? [nu]?s"),
                       (child, r"1 call, 0 events, 0 failures, \d+ B, span \d+(\.\d)? [nu]?s")], key=lambda x: int(x[0]))
    assert len(lines) == 2, proc.stderr
    for (pid, summary), line in zip(expected, lines):
        assert re.fullmatch(f"qvcore_session: recorded session-{pid}.qvs \\(pid {pid}\\): {summary}", line), line
    assert sorted(os.listdir(tmp_path)) == sorted([f"session-{parent}.qvs", f"session-{child}.qvs"])


@needs_shim
@pytest.mark.parametrize("command, status", [
    ("pass", 0), ("raise SystemExit(5)", 5), ("import os, signal; os.kill(os.getpid(), signal.SIGTERM)", 128 + 15)])
def test_record_without_core_calls_says_so_and_keeps_the_status(tmp_path, command, status):
    out = str(tmp_path / "s-%p.qvs")
    proc = tool("record", "-o", out, "--max-bytes", "1M", "--", sys.executable, "-c", command, check=False,
                env={"LD_PRELOAD": os.environ.get("LD_PRELOAD", "")})  # a sanitizer's runtime stays first
    assert proc.returncode == status, proc.stderr
    assert proc.stderr.strip() == f"qvcore_session: no session recorded: {os.path.basename(sys.executable)} " \
                                  f"made no core call (no file {out})"


KILLED_RIGHT_AFTER = r"""
import os, signal, time
import c_sdk, qvcore_standin
qvcore_standin.Core()
time.sleep(0.2)  # the writer is idle by now, looking every 32 ms
for _ in range(3):
    c_sdk.qvi_now()
os.kill(os.getpid(), signal.SIGKILL)
"""


@needs_shim
def test_a_command_killed_right_after_its_calls_has_its_file_reported(tmp_path):
    # Its writer creates the file only after the command is gone: record
    # waits for the writer rather than looking at once.
    out = str(tmp_path / "s-%p.qvs")
    proc = tool("record", "-o", out, "--", sys.executable, "-c", KILLED_RIGHT_AFTER, check=False,
                env={"LD_PRELOAD": os.environ.get("LD_PRELOAD", "")})
    assert proc.returncode == 128 + 9, proc.stderr
    assert re.fullmatch(r"qvcore_session: recorded .*/s-\d+\.qvs \(pid \d+\): 3 calls, 0 events, 0 failures, .*",
                        proc.stderr.strip().splitlines()[-1]), proc.stderr


def test_a_file_still_locked_by_its_writer_is_waited_for(tmp_path):
    import fcntl

    from qvcore_session.rings import wait_unlocked

    path = tmp_path / "busy.qvs"
    path.write_bytes(sf.header())
    with open(path, "rb") as writer:
        fcntl.flock(writer.fileno(), fcntl.LOCK_EX)
        assert wait_unlocked(str(path), 0.05) is False
        fcntl.flock(writer.fileno(), fcntl.LOCK_UN)
        assert wait_unlocked(str(path), 0.05) is True
