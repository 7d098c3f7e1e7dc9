"""The recorder never harms what it records beside: files it did not make are
never opened, an earlier recording is kept, and the program's descriptors,
output, exit status and signals are the same with recording on. Each case is
a real process with the shim preloaded."""

import os
import signal
import subprocess
import sys

import pytest
from conftest import python_env, run_python
from recording import FIND_WRITER, SHIM, checked, recorder_lines, shim_env

import qvcore_session
from qvcore_session.rings import wait_unlocked

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

CALLS = "import sys, c_sdk, qvcore_standin\nqvcore_standin.Core()\n" \
        "for i in range(int(sys.argv[1]) if len(sys.argv) > 1 else 5):\n" \
        "    c_sdk.py_qvi_history_ticks_pb(b'request %d' % i)\nprint('done')\n"


def calls_in(path):
    return [f.fn for f in qvcore_session.Session(path) if f.kind == qvcore_session.CALL]


# ---- files it did not make -----------------------------------------------------------------

@pytest.mark.parametrize("kind", ["symlink", "fifo", "device", "folder", "/dev/stderr"])
def test_a_name_that_is_not_a_regular_file_is_refused_and_left_alone(tmp_path, kind):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    os.chmod(victim, 0o644)
    path = {"device": "/dev/null", "/dev/stderr": "/dev/stderr"}.get(kind, str(tmp_path / "day.qvs"))
    if kind == "symlink":
        os.symlink(victim, path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "folder":
        os.mkdir(path)
    proc = checked(run_python(CALLS, shim_env(path)))
    assert proc.stdout == "done\n"
    what = {"symlink": "a symbolic link", "fifo": "a FIFO", "device": "a device", "folder": "a folder",
            "/dev/stderr": "a symbolic link"}[kind]
    assert recorder_lines(proc.stderr) == [
        f"c_sdk recorder: {path} exists and is not a regular file ({what}); not recording"]
    assert victim.read_text() == "precious\n" and os.stat(victim).st_mode & 0o777 == 0o644
    assert sorted(os.listdir(tmp_path)) == ["day.qvs", "victim.txt"][path.startswith("/dev/"):]


EXECS = CALLS + "import os\nif len(sys.argv) == 1:\n    os.execv(sys.executable, [sys.executable, '-c', CODE, '3'])\n"


@pytest.mark.parametrize("name", ["keep.qvs", "s-%p.qvs"])
def test_each_run_and_each_exec_keeps_its_own_recording(tmp_path, name):
    # An exec keeps the pid: under %p its new image finds its name taken, as a
    # process of another container with the same pid would.
    pattern = tmp_path / name
    checked(run_python(CALLS, shim_env(pattern)))
    (first,) = os.listdir(tmp_path)
    kept = (tmp_path / first).read_bytes()
    checked(run_python(f"CODE = {CALLS!r}\n" + EXECS, shim_env(pattern)))
    before, after = (tmp_path / n for n in sorted(set(os.listdir(tmp_path)) - {first}, key=lambda n: (len(n), n)))
    assert (tmp_path / first).read_bytes() == kept
    assert wait_unlocked(str(before), 60)  # the first image's writer ends with the process
    assert len(calls_in(before)) == 5 and len(calls_in(after)) == 3


# ---- the program it records ---------------------------------------------------------------

CLOSE_ALL = r"""
import os, sys, c_sdk, qvcore_standin
qvcore_standin.Core()
for i in range(3):
    c_sdk.py_qvi_history_ticks_pb(b'before %d' % i)
os.closerange(3, 65536)  # a daemon's close-all
files = [open(os.path.join(sys.argv[1], 'user%d' % k), 'w+b') for k in range(3)]
for f in files:
    f.write(b'DATA\n')
    f.flush()
for i in range(3):
    c_sdk.py_qvi_history_ticks_pb(b'after %d' % i)
print(sorted(f.fileno() for f in files))
for f in files:
    f.close()
"""


def test_a_close_all_neither_loses_calls_nor_lets_the_recorder_write_into_the_programs_files(tmp_path):
    path = tmp_path / "s.qvs"
    proc = subprocess.run([sys.executable, "-c", CLOSE_ALL, str(tmp_path)], capture_output=True, text=True,
                          env=python_env(shim_env(path)), timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    for k in range(3):
        assert (tmp_path / f"user{k}").read_bytes() == b"DATA\n"
    assert len(calls_in(path)) == 6


SIGPIPE_DEFAULT = "import signal\nsignal.signal(signal.SIGPIPE, signal.SIG_DFL)\n" + CALLS


@pytest.mark.parametrize("how", ["size limit", "writer killed"])
def test_sigpipe_at_default_never_ends_the_program(tmp_path, how):
    path = tmp_path / "s.qvs"
    extra = {"C_SDK_RECORD_MAX_BYTES": "9k"} if how == "size limit" else {}
    code = SIGPIPE_DEFAULT
    if how == "writer killed":
        code = KILL_WRITER + code
    proc = subprocess.run([sys.executable, "-c", code, "200"], capture_output=True, text=True,
                          env=python_env(shim_env(path, **extra)), timeout=120)
    assert proc.returncode == 0 and proc.stdout.endswith("done\n"), (proc.returncode, proc.stderr)


# Kills the writer on the first call: the rings keep what the program commits.
KILL_WRITER = FIND_WRITER + r"""
import os, signal, c_sdk
c_sdk.qvi_now()
os.kill(writer_pid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("closed", ["stdin", "stdout", "both"])
def test_closed_standard_descriptors_at_start_still_record(tmp_path, closed):
    path = tmp_path / "s.qvs"
    fds = {"stdin": "0<&-", "stdout": "1>&-", "both": "0<&- 1>&-"}[closed]
    proc = subprocess.run(f'"{sys.executable}" -c "$CODE" {fds}', shell=True, capture_output=True, text=True,
                          env=python_env(dict(shim_env(path), CODE=CALLS.replace("print('done')", "pass"))),
                          timeout=120)
    assert proc.returncode == 0 and recorder_lines(proc.stderr) == [], proc.stderr
    assert len(calls_in(path)) == 5


def test_the_programs_stderr_ends_with_the_program_even_when_the_writer_is_stuck(tmp_path):
    # A stopped writer stands for a stalled disk: `app 2>&1 | tee log` must end with app.
    code = CALLS + FIND_WRITER + r"""
import os, signal
k = writer_pid()
os.kill(k, signal.SIGSTOP)
print(k, flush=True)
"""
    path = tmp_path / "s.qvs"
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            env=python_env(shim_env(path)))
    out, _ = proc.communicate(timeout=60)  # the pipe's end comes with the program's
    writer = int(out.split()[-1])
    os.kill(writer, signal.SIGCONT)
    assert proc.returncode == 0
