"""How recordings end, whoever dies first: the writer, the program, PID 1 of
a PID namespace with everything in it; threads that come and go; and what
record says about each. Real processes, namespaces and signals."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest
from conftest import python_env
from recording import FIND_WRITER, SHIM, shim_env
from session_cli import tool

import qvcore_session

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

STANDIN = "import os, sys, signal, c_sdk, qvcore_standin\nqvcore_standin.Core()\n"


def calls_in(path):
    return sum(1 for f in qvcore_session.Session(path) if f.kind == qvcore_session.CALL)


def calls_so_far(path):
    """The calls in a file its writer may have left with no frame yet."""
    try:
        return calls_in(path)
    except qvcore_session.SessionError:
        return 0


def record(tmp_path, *command, wait=30, env=None):
    return tool("record", "-o", tmp_path / "s-%p.qvs", "--wait", wait, "--", *command, check=False,
                env=dict({"LD_PRELOAD": os.environ.get("LD_PRELOAD", "")}, **(env or {})))


def summaries(proc):
    return [line for line in proc.stderr.splitlines() if line.startswith("qvcore_session: recorded ")]


KILL_OWN_WRITER = STANDIN + FIND_WRITER + r"""
for i in range(20):
    c_sdk.py_qvi_history_ticks_pb(b"a %d" % i)
os.kill(writer_pid(), signal.SIGKILL)
for i in range(20):
    c_sdk.py_qvi_history_ticks_pb(b"b %d" % i)
"""


def test_a_killed_writer_loses_nothing_and_record_says_so(tmp_path):
    proc = record(tmp_path, sys.executable, "-c", KILL_OWN_WRITER)
    (line,) = summaries(proc)
    assert re.search(r": 40 calls, .*; its writer died: \d+ frames? recovered from its buffers$", line), line
    assert proc.returncode == 0, proc.stderr
    (name,) = os.listdir(tmp_path)
    assert calls_in(tmp_path / name) == 40


def test_recover_finishes_by_hand_what_a_killed_writer_left(tmp_path):
    rings = tempfile.mkdtemp(dir=tmp_path)
    path = tmp_path / "s.qvs"
    env = python_env(shim_env(path, C_SDK_RECORD_RING_DIR=rings))
    subprocess.run([sys.executable, "-c", KILL_OWN_WRITER], env=env, check=True, timeout=120)
    assert calls_so_far(path) < 40 and len(os.listdir(rings)) == 1
    proc = tool("recover", rings, check=False)
    assert proc.returncode == 0 and "recovered s.qvs" in proc.stderr.replace(str(tmp_path) + "/", ""), proc.stderr
    assert calls_in(path) == 40 and os.listdir(rings) == []
    assert tool("recover", rings).stderr.strip() == "qvcore_session: nothing to recover"


MANY = STANDIN + "for i in range(300):\n    c_sdk.py_qvi_history_ticks_pb(b'x' * 100)\n"


def test_a_loss_is_never_reported_as_success(tmp_path):
    proc = tool("record", "-o", tmp_path / "s.qvs", "--max-bytes", "8k", "--", sys.executable, "-c", MANY,
                check=False, env={"LD_PRELOAD": os.environ.get("LD_PRELOAD", "")})
    (line,) = summaries(proc)
    assert proc.returncode == 1 and line.endswith("; stopped early: the size limit of 8192 bytes is reached "
                                                  "(C_SDK_RECORD_MAX_BYTES=8k); recording stopped"), proc.stderr


def test_record_refuses_an_output_it_cannot_write_before_running_anything(tmp_path):
    os.mkfifo(tmp_path / "fifo.qvs")
    ran = tmp_path / "ran"
    for out, why in ((tmp_path / "fifo.qvs", "exists and is not a regular file (a FIFO)"),
                     (tmp_path / "missing" / "s.qvs", "no such folder")):
        proc = tool("record", "-o", out, "--", "touch", ran, check=False)
        assert proc.returncode == 2 and why in proc.stderr and proc.stderr.count("\n") == 1, proc.stderr
    assert not ran.exists()


def test_ctrl_c_while_record_waits_is_one_line(tmp_path):
    # The command leaves a recording process behind; record waits for its writer.
    marker = tmp_path / "called"
    lingering = STANDIN + f"c_sdk.qvi_now()\nopen({str(marker) + '.tmp'!r}, 'w').write(str(os.getpid()))\n" \
                          f"os.rename({str(marker) + '.tmp'!r}, {str(marker)!r})\nimport time\ntime.sleep(60)\n"
    proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "record", "-o", str(tmp_path / "s-%p.qvs"),
                             "--wait", "120", "--", "sh", "-c",
                             f'"{sys.executable}" -c "$CODE" >/dev/null 2>&1 & '  # not holding our pipes open
                             'while [ ! -e "$MARK" ]; do sleep 0.1; done'],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=python_env({"CODE": lingering, "MARK": str(marker)}),
                            # as from a terminal, even when this run was started with SIGINT ignored
                            # (in the background): record then rightly keeps it ignored
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 120
        while not marker.exists() and time.monotonic() < deadline:  # record is well past its start
            time.sleep(0.1)
        # Ignored while the command runs (it is the command's), it ends record once record waits.
        for _ in range(120):
            proc.send_signal(signal.SIGINT)
            try:
                _, err = proc.communicate(timeout=1)
                break
            except subprocess.TimeoutExpired:
                continue
    finally:
        if marker.exists():
            os.kill(int(marker.read_text()), signal.SIGKILL)
    assert proc.returncode == 130 and err.count("\n") == 1 and "interrupted" in err, err


def test_a_process_that_records_after_record_has_ended_still_records(tmp_path):
    late = STANDIN + "import time\ntime.sleep(1)\nc_sdk.qvi_now()\n"
    with open(tmp_path / "err", "w") as err:
        subprocess.run([sys.executable, "-m", "qvcore_session", "record", "-o", str(tmp_path / "late.qvs"), "--",
                        "sh", "-c", f'"{sys.executable}" -c "$CODE" &'], env=python_env({"CODE": late}),
                       stdout=err, stderr=err, timeout=100)
    deadline = time.monotonic() + 60
    while not (tmp_path / "late.qvs").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    from qvcore_session.rings import wait_unlocked

    assert wait_unlocked(str(tmp_path / "late.qvs"), 60) and calls_in(tmp_path / "late.qvs") == 1


def unshare_works():
    return shutil.which("unshare") and subprocess.run(["unshare", "-pf", "--mount-proc", "true"],
                                                       capture_output=True).returncode == 0


needs_pid_namespace = pytest.mark.skipif(not unshare_works(), reason="no PID namespaces here (needs root)")

SUPERVISOR = STANDIN + r"""
assert os.getpid() == 1
c_sdk.qvi_now()
child = os.fork()
if child == 0:
    os._exit(0)
reaped = []
while True:  # an init that reaps until there is nothing left to wait for
    try:
        reaped.append(os.wait()[0])
    except ChildProcessError:
        break
print(reaped == [child])
"""


@needs_pid_namespace
def test_as_pid_1_the_writer_is_no_child_to_reap(tmp_path):
    path = tmp_path / "s.qvs"
    proc = subprocess.run(["unshare", "-pf", "--mount-proc", sys.executable, "-c", SUPERVISOR],
                          env=python_env(shim_env(path)), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "True\n", proc.stderr
    assert calls_in(path) == 1


PID_1_KILLED = STANDIN + r"""
c_sdk.qvi_now()
print("started", flush=True)
sys.stdin.readline()  # the writer is stopped now: everything from here waits in its rings
for i in range(1000):
    c_sdk.py_qvi_history_ticks_pb(b"%d" % i)
print("ready", flush=True)
signal.pause()
"""


def children(pid):
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and _parent(int(p)) == pid]


def descendant(pid, comm):
    for child in children(pid):
        with open(f"/proc/{child}/comm") as f:
            if f.read().strip() == comm:
                return child
        found = descendant(child, comm)
        if found:
            return found
    return None


@needs_pid_namespace
def test_a_sigkill_of_pid_1_loses_nothing_that_returned(tmp_path):
    # Its namespace dies with it, the writer included: record recovers the rest.
    proc = subprocess.Popen([sys.executable, "-m", "qvcore_session", "record", "-o", str(tmp_path / "s.qvs"), "--",
                             "unshare", "-pf", "--mount-proc", sys.executable, "-c", PID_1_KILLED],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=python_env({"C_SDK_RECORD_BUFFER": "64M"}))
    assert proc.stdout.readline() == "started\n"
    (unshare,) = children(proc.pid)
    (init,) = children(unshare)
    os.kill(descendant(init, "qvrec-writer"), signal.SIGSTOP)
    proc.stdin.write("go\n")
    proc.stdin.flush()
    assert proc.stdout.readline() == "ready\n"
    os.kill(init, signal.SIGKILL)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode != 0, err  # unshare's own status for a child killed
    assert re.search(r"recorded .*s\.qvs \(pid 1\): 1001 calls, .*; its writer died: \d+ frames recovered", err), err
    assert calls_in(tmp_path / "s.qvs") == 1001


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rpartition(")")[2].split()[1])
    except OSError:
        return None


def test_record_waits_for_writers_not_for_what_else_the_command_left_running(tmp_path):
    # sleep never calls the core: it starts no writer, and record does not wait for it.
    calls = STANDIN + "c_sdk.qvi_now()\n"
    with open(tmp_path / "err", "w+") as err:  # not a pipe: sleep holds what it inherits
        code = subprocess.run([sys.executable, "-m", "qvcore_session", "record", "-o", str(tmp_path / "s-%p.qvs"),
                               "--", "sh", "-c", f'sleep 300 & echo $! > "$PIDS"; "{sys.executable}" -c "$CALLS"'],
                              env=python_env({"CALLS": calls, "PIDS": str(tmp_path / "sleep.pid")}), stdout=err,
                              stderr=err, timeout=100).returncode
        err.seek(0)
        lines = err.read()
    os.kill(int((tmp_path / "sleep.pid").read_text()), signal.SIGKILL)
    assert code == 0 and lines.count("qvcore_session: recorded ") == 1, lines


CHURN = STANDIN + r"""
import threading
for k in range(int(sys.argv[1])):
    t = threading.Thread(target=lambda: (c_sdk.qvi_now(), c_sdk.qvi_now()))
    t.start()
    t.join()
"""


def test_rings_of_ended_threads_are_reused_at_once(tmp_path):
    path = tmp_path / "s.qvs"
    subprocess.run([sys.executable, "-c", CHURN, "10000"], env=python_env(shim_env(path, C_SDK_RECORD_THREADS="4")),
                   check=True, timeout=600)
    frames = list(qvcore_session.Session(path))
    assert [f for f in frames if f.kind == qvcore_session.LOST] == []
    assert sum(1 for f in frames if f.kind == qvcore_session.CALL) == 20000


TOO_MANY = STANDIN + r"""
import threading
hold = threading.Event()
def first():
    c_sdk.qvi_now()
    hold.wait()
t = threading.Thread(target=first)
t.start()
import time; time.sleep(0.2)
for i in range(10):
    c_sdk.py_qvi_history_ticks_pb(b"x" * 100)  # this thread finds no ring
hold.set()
t.join()
time.sleep(0.2)  # join returns before the thread has quite ended and handed its ring back
for i in range(3):
    c_sdk.py_qvi_history_ticks_pb(b"after")  # the first thread's ring is free again
"""


def test_a_thread_without_a_ring_has_its_loss_told_truly_and_takes_one_once_free(tmp_path):
    path = tmp_path / "s.qvs"
    subprocess.run([sys.executable, "-c", TOO_MANY], env=python_env(shim_env(path, C_SDK_RECORD_THREADS="1")),
                   check=True, timeout=120)
    session = qvcore_session.Session(path)
    frames = list(session)
    (lost,) = [f for f in frames if f.kind == qvcore_session.LOST]
    first_call = min(f.start_ns for f in frames if f.kind == qvcore_session.CALL)
    assert lost.lost_frames >= 10 and lost.lost_bytes >= 10 * 100 and lost.start_ns >= first_call
    assert [f.fn for f in frames if f.kind == qvcore_session.CALL][-3:] == ["qvi_history_ticks_pb"] * 3
