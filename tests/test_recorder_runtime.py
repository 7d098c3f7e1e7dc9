"""How the recorder behaves under load and mishap: threads recording at once,
a disk that stops answering, a process killed outright, a forked child, and
its settings. Sessions are recorded in subprocesses with the shim preloaded."""

import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from conftest import QV_PATH, run_python
from recording import SHIM, checked, recorder_lines, shim_env

import c_sdk
import qvcore_session
import qvcore_standin
from qvcore_standin import ReplayDivergence

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

HERE = os.path.dirname(os.path.abspath(__file__))


def complete(path, timeout=60.0):
    """Waits until the writer has let go of the file: everything is in it.
    The writer of a process killed outright may create it only afterwards."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.01)
    with open(path, "rb") as f:
        while True:
            try:
                fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
                return path
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"{path} is still being written after {timeout} s") from None
                time.sleep(0.01)


def python_env(extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join([QV_PATH] + [p for p in sys.path if p and p != HERE])
    return env


def lost_frames(frames):
    return [f for f in frames if f.kind == qvcore_session.LOST]


THREADS = r"""
import sys, threading, c_sdk, qvcore_standin
qvcore_standin.Core()
N = int(sys.argv[1]) if len(sys.argv) > 1 else {n}
def work(k):
    for i in range(N):
        c_sdk.py_qvi_history_ticks_pb(b"%d:%d" % (k, i))
ts = [threading.Thread(target=work, args=(k,)) for k in range({threads})]
[t.start() for t in ts]
[t.join() for t in ts]
"""


def test_threads_recording_at_once_lose_nothing_while_the_buffers_have_room(tmp_path):
    n, threads = int(os.environ.get("C_SDK_RECORDER_THREAD_CALLS", 25_000)), 8
    path = tmp_path / "threads.qvs"
    checked(run_python(THREADS.format(n=n, threads=threads), shim_env(path, C_SDK_RECORD_BUFFER="32M")))
    by_thread = {}
    frames = list(qvcore_session.Session(complete(path)))
    assert not lost_frames(frames)
    for f in frames:
        by_thread.setdefault(f.thread, []).append(f.args[0].data)
    assert len(by_thread) == threads
    for seen in by_thread.values():  # each thread's calls, all of them, in its order
        k = seen[0].split(b":")[0]
        assert seen == [b"%s:%d" % (k, i) for i in range(n)]
    starts = [f.start_ns for f in frames]
    assert starts == sorted(starts) or len(starts) == threads * n  # commit order follows time per thread


KILLED = r"""
import os, sys, c_sdk, qvcore_standin
qvcore_standin.Core()
out = int(sys.argv[1])
i = 0
while True:
    c_sdk.py_qvi_history_ticks_pb(b"call %d" % i)
    i += 1
    if i % 1000 == 0:
        os.write(out, b"%d\n" % i)
"""


def test_a_process_killed_outright_loses_no_call_that_had_returned(tmp_path):
    path = tmp_path / "killed.qvs"
    read, write = os.pipe()
    proc = subprocess.Popen([sys.executable, "-c", KILLED, str(write)], pass_fds=(write,),
                            env=python_env(shim_env(path)))
    os.close(write)
    returned = 0
    with os.fdopen(read, "rb") as reports:
        for line in reports:
            returned = int(line)
            if returned >= 20_000:
                proc.send_signal(signal.SIGKILL)
                break
    proc.wait(timeout=60)
    assert proc.returncode == -signal.SIGKILL
    recorded = [f.args[0].data for f in qvcore_session.Session(complete(path)) if f.fn == "qvi_history_ticks_pb"]
    assert recorded[:returned] == [b"call %d" % i for i in range(returned)]


@pytest.fixture
def stalling_disk(tmp_path):
    """A folder on a file system whose writes block while `stall` exists."""
    try:
        import fuse  # noqa: F401
    except (ImportError, OSError) as e:  # fusepy without libfuse raises OSError
        pytest.skip(f"no fusepy with libfuse here ({e})")
    if not os.path.exists("/dev/fuse") or shutil.which("fusermount") is None:
        pytest.skip("no FUSE here")
    backing, mount, control = tmp_path / "backing", tmp_path / "mnt", tmp_path / "stall"
    backing.mkdir()
    mount.mkdir()
    fs = subprocess.Popen([sys.executable, os.path.join(HERE, "stalling_fs.py"), str(backing), str(mount),
                           str(control)], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 30
    while not os.path.ismount(mount):
        if fs.poll() is not None or time.monotonic() > deadline:
            fs.kill()
            pytest.skip(f"cannot mount a FUSE file system here: {fs.stderr.read().decode()[-300:]}")
        time.sleep(0.05)
    yield mount, control
    control.unlink(missing_ok=True)
    subprocess.run(["fusermount", "-u", str(mount)], check=False)
    fs.wait(timeout=30)


STALL_CALLS = int(os.environ.get("C_SDK_RECORDER_STALL_CALLS", 100_000))
STALLED = r"""
import sys, c_sdk, qvcore_standin
qvcore_standin.Core()
for i in range(int(sys.argv[1])):
    assert c_sdk.py_qvi_history_ticks_pb(b"call %d" % i) == (0, b"qvi_history_ticks_pb")
print("done", i + 1)
"""


def test_a_stalled_disk_delays_no_call_and_the_loss_is_in_the_file(stalling_disk, tmp_path):
    mount, control = stalling_disk
    control.touch()
    path = mount / "stalled.qvs"
    # The writer keeps stderr open until the file is whole: a pipe on it would
    # wait for the disk, so stderr goes to a file here.
    with open(tmp_path / "stderr", "w+") as err:
        proc = subprocess.run([sys.executable, "-c", STALLED, str(STALL_CALLS)], stdout=subprocess.PIPE, stderr=err,
                              text=True,
                              env=python_env(shim_env(path, C_SDK_RECORD_BUFFER="256k")), timeout=120)
        # Every call returned while the disk did not answer, and the process ended.
        assert proc.returncode == 0 and proc.stdout == f"done {STALL_CALLS}\n", err.read()
    control.unlink()
    frames = list(qvcore_session.Session(complete(path)))
    assert lost_frames(frames)
    # Each gap stands where it is in the order of the calls, and says how many.
    i = 0
    for f in frames:
        if f.kind == qvcore_session.LOST:
            i += f.lost_frames
        elif f.fn == "qvi_history_ticks_pb":
            assert f.args[0].data == b"call %d" % i
            i += 1
    assert i == STALL_CALLS
    # A replay stops at the first gap and names it.
    with pytest.raises(ReplayDivergence, match=r"a gap where thread \d+ lost \d+ frames"):
        with qvcore_standin.Core().replay(path):
            for i in range(STALL_CALLS):
                c_sdk.py_qvi_history_ticks_pb(b"call %d" % i)


FORKED = r"""
import os, c_sdk, qvcore_standin
qvcore_standin.Core()
c_sdk.py_qvi_history_ticks_pb(b"parent before")
pid = os.fork()
if pid == 0:
    for i in range(3):
        c_sdk.py_qvi_history_ticks_pb(b"child %d" % i)
    print(os.getpid(), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
c_sdk.py_qvi_history_ticks_pb(b"parent after")
print(os.getpid())
"""


def test_a_forked_child_records_into_its_own_file_when_the_name_holds_the_pid(tmp_path):
    proc = checked(run_python(FORKED, shim_env(tmp_path / "s-%p.qvs")))
    child, parent = proc.stdout.split()

    def requests(pid):
        return [f.args[0].data for f in qvcore_session.Session(complete(tmp_path / f"s-{pid}.qvs"))]

    assert requests(parent) == [b"parent before", b"parent after"]
    assert requests(child) == [b"child 0", b"child 1", b"child 2"]


@pytest.mark.parametrize("name, value, accepted", [
    ("C_SDK_RECORD_MAX_BYTES", "1.5G", True),
    ("C_SDK_RECORD_MAX_BYTES", "2GB", True),
    ("C_SDK_RECORD_MAX_BYTES", "64KiB", True),
    ("C_SDK_RECORD_MAX_BYTES", "0", True),
    ("C_SDK_RECORD_MAX_BYTES", "abc", False),
    ("C_SDK_RECORD_MAX_BYTES", "-1", False),
    ("C_SDK_RECORD_MAX_BYTES", "1.5", False),
    ("C_SDK_RECORD_MAX_BYTES", "", False),
    ("C_SDK_RECORD_MAX_BYTES", "20 k", False),
    ("C_SDK_RECORD_BUFFER", "1k", False),
    ("C_SDK_RECORD_BUFFER", "8M", True),
    ("C_SDK_RECORD_THREADS", "0", False),
    ("C_SDK_RECORD_THREADS", "4k", False),
    ("C_SDK_RECORD_THREADS", "16", True),
])
def test_each_setting_has_a_meaning_or_is_refused_by_name(tmp_path, name, value, accepted):
    path = tmp_path / "s.qvs"
    proc = checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(path, **{name: value})))
    lines = recorder_lines(proc.stderr)
    if accepted:
        assert lines == [] and list(qvcore_session.Session(complete(path)))
    else:
        assert len(lines) == 1 and lines[0].startswith(f"c_sdk recorder: {name}={value} is not ")
        assert lines[0].endswith("; not recording") and not path.exists()


def test_a_size_limit_below_the_header_leaves_an_empty_file(tmp_path):
    path = tmp_path / "s.qvs"
    proc = checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(path, C_SDK_RECORD_MAX_BYTES="100")))
    assert recorder_lines(proc.stderr) == [
        f"c_sdk recorder: {path}: the size limit of 100 bytes is reached (C_SDK_RECORD_MAX_BYTES=100); "
        "recording stopped"]
    assert os.path.getsize(path) == 0


NULL_TYPE = r"""
import sys, c_sdk, qvcore_standin
MODE, FILE = sys.argv[1], sys.argv[2]
core = qvcore_standin.Core()
replay = core.replay(FILE) if MODE == "replay" else None
seen = []
c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append((t, p)))
for msg in (None, b"", b"after"):
    core.queue_event(msg, b"payload")
for _ in range(3):
    c_sdk.qvi_poll()
if replay is not None:
    replay.finish()
print(seen)
"""


def run_script(code, *args, env=None):
    return checked(subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                                  env=python_env(env or {}), timeout=120))


def test_a_null_message_type_is_recorded_apart_from_an_empty_one_and_replayed_as_null(tmp_path):
    path = tmp_path / "null.qvs"
    recorded = run_script(NULL_TYPE, "record", path, env=shim_env(path))
    events = [f for f in qvcore_session.Session(complete(path)) if f.kind == qvcore_session.EVENT]
    assert [f.msg for f in events] == [None, b"", b"after"]
    replayed = run_script(NULL_TYPE, "replay", path)
    # The module reports the null type the same way live and replayed, and
    # delivers the next events.
    assert replayed.stdout == recorded.stdout == "[('', b'payload'), ('after', b'payload')]\n"
    for proc in (recorded, replayed):
        assert "RuntimeError: the core library raised an event without a message type" in proc.stderr
