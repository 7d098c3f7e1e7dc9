"""What the shim writes and when it writes nothing more: secrets redacted, a
file for its owner only, one line and a recording stopped on a write
failure, nothing at all when switched off, its settings checked, a forked
child not recorded.

Sessions are recorded in subprocesses with the shim preloaded.
"""

import os
import stat
import subprocess
import sys

import pytest
from conftest import run_python
from recording import SHIM, checked, recorder_lines, shim_env

import qvcore_session

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")


# (call, the secret in it, a text of the same call that is not secret)
SECRETS = [
    ("c_sdk.py_qvi_set_token(b'tok-SECRET-1')", b"tok-SECRET-1", None),
    ("c_sdk.py_qvi_set_apitoken(b'api-SECRET-2')", b"api-SECRET-2", None),
    ("c_sdk.py_qvi_set_ctp_md_info(b'tcp://front', b'md-user', b'pw-SECRET-3')", b"pw-SECRET-3", b"md-user"),
    ("c_sdk.py_qvi_set_bus_info(b'bus:1', b'bus-user', b'pw-SECRET-4')", b"pw-SECRET-4", b"bus-user"),
    ("c_sdk.py_qvi_set_bus_secure(1, b'ca-pem', b'cert-pem', b'key-SECRET-5', [0])", b"key-SECRET-5", b"cert-pem"),
    ("core.set_text('qvi_get_encrypted_token', b'enc-SECRET-6'); c_sdk.py_qvi_get_encrypted_token()",
     b"enc-SECRET-6", None),
]


@pytest.fixture(scope="module")
def secrets_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("secrets") / "secrets.qvs"
    code = "import c_sdk, qvcore_standin\ncore = qvcore_standin.Core()\n" + "\n".join(c for c, _, _ in SECRETS)
    checked(run_python(code, shim_env(path)))
    return path


@pytest.mark.parametrize("call, secret, plain", SECRETS, ids=[s.decode() for _, s, _ in SECRETS])
def test_secrets_never_reach_the_file(secrets_file, call, secret, plain):
    raw = secrets_file.read_bytes()
    assert secret not in raw and b"<redacted: %d bytes>" % len(secret) in raw
    if plain is not None:
        assert plain in raw
    shown = subprocess.run([sys.executable, "-m", "qvcore_session", "show", str(secrets_file)],
                           capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert secret.decode() not in shown.stdout and f"<redacted: {len(secret)} bytes>" in shown.stdout


@pytest.mark.parametrize("existing", [None, 0o644, 0o666])
def test_the_file_is_readable_by_its_owner_only_and_an_earlier_one_is_kept(tmp_path, existing):
    path = tmp_path / "mode.qvs"
    earlier = b"an older file, longer than the new one will be" * 1000
    if existing is not None:
        path.write_bytes(earlier)
        os.chmod(path, existing)
    proc = checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(path)))
    written = path if existing is None else tmp_path / "mode.1.qvs"
    assert stat.S_IMODE(os.stat(written).st_mode) == 0o600
    assert [f.fn for f in qvcore_session.Session(written)] == ["qvi_now"]
    if existing is not None:
        assert path.read_bytes() == earlier and stat.S_IMODE(os.stat(path).st_mode) == existing
        assert recorder_lines(proc.stderr) == [f"c_sdk recorder: {path} exists: recording into {written}"]


# ---- write failures, switched off ----------------------------------------------------------

# The session of every failure case: its own output must not change.
BUSY = r"""
import os, time, c_sdk, qvcore_standin
core = qvcore_standin.Core()
seen = []
c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append((t, len(p))))
for i in range(300):
    seen.append(c_sdk.py_qvi_history_ticks_pb(b"request %d" % i + b"x" * 200))
    if i == 100 and REMOVE:
        while not os.path.exists(REMOVE):  # the writer creates it just after the first frame
            time.sleep(0.001)
        os.remove(REMOVE)
    core.queue_event(b"tick", b"p" * i)
    c_sdk.qvi_poll()
    if SLOW:  # a small ring keeps up with this pace
        time.sleep(0.001)
c_sdk.py_qvi_stop()
print(len(seen), seen[-3:])
"""


def busy(remove="", slow=False):
    return f"REMOVE = {remove!r}\nSLOW = {slow!r}\n" + BUSY


@pytest.fixture(scope="module")
def unrecorded_busy():
    return checked(run_python(busy())).stdout


# A file size limit fails the writer's writes as a full disk would (EFBIG instead of ENOSPC);
# one ring of 64 KiB fits under it.
FILE_SIZE_LIMIT = "import resource\nresource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))\n"
SMALL_RINGS = {"C_SDK_RECORD_THREADS": "1", "C_SDK_RECORD_BUFFER": "64k"}


@pytest.mark.parametrize("failure", ["file too large", "size limit", "file removed"])
def test_a_write_failure_stops_the_recording_with_one_line_and_nothing_else(tmp_path, failure, unrecorded_busy):
    path = str(tmp_path / "s.qvs")
    extra = {"C_SDK_RECORD_MAX_BYTES": "20k"} if failure == "size limit" else {}
    code = busy(path if failure == "file removed" else "", slow=failure == "file too large")
    if failure == "file too large":
        code = FILE_SIZE_LIMIT + code
        extra = SMALL_RINGS
    proc = run_python(code, shim_env(path, **extra))
    assert proc.returncode == 0 and proc.stdout == unrecorded_busy
    lines = recorder_lines(proc.stderr)
    assert len(lines) == 1 and lines[0].endswith("; recording stopped"), proc.stderr
    assert {"file too large": "writing failed (File too large)",
            "size limit": "the size limit of 20480 bytes is reached",
            "file removed": "the file was removed"}[failure] in lines[0]
    assert proc.stderr.strip() == lines[0]
    if failure != "file removed":
        session = qvcore_session.Session(path)
        frames = list(session)
        assert session.torn is None and len(frames) > 10 and os.path.getsize(path) <= 100000


@pytest.mark.parametrize("switch", [None, "0", "off"])
def test_the_shim_switched_off_changes_nothing(tmp_path, switch, unrecorded_busy):
    path = tmp_path / "never.qvs"
    env = shim_env(None, C_SDK_RECORD_FILE=str(path))
    if switch is not None:
        env["C_SDK_RECORD"] = switch
    probe = (busy() + "with open('/proc/self/maps') as f:\n    maps = f.read()\n"
             "print('shim' if 'qvcore_recorder.so' in maps else 'no shim')\n"
             "cb = core.callback_address()\n"
             "owner = [l.split()[-1] for l in maps.splitlines()"
             " if int(l.split('-')[0], 16) <= cb < int(l.split()[0].split('-')[1], 16)]\n"
             "print(os.path.basename(owner[0]) == os.path.basename(c_sdk.__file__))\n")
    proc = checked(run_python(probe, env))
    assert proc.stdout == unrecorded_busy + "shim\nTrue\n" and proc.stderr == ""
    assert not path.exists()


def test_the_settings_are_checked(tmp_path):
    proc = checked(run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(None, C_SDK_RECORD="1")))
    assert recorder_lines(proc.stderr) == [
        "c_sdk recorder: C_SDK_RECORD is on but C_SDK_RECORD_FILE is not set; not recording"]
    pattern = tmp_path / "s-%p.qvs"
    proc = checked(run_python("import c_sdk, os\nc_sdk.qvi_now()\nprint(os.getpid())", shim_env(pattern)))
    assert (tmp_path / f"s-{proc.stdout.strip()}.qvs").exists()


def test_only_the_parent_of_a_fork_records(tmp_path):
    path = tmp_path / "fork.qvs"
    code = ("import os, c_sdk\nc_sdk.qvi_now()\npid = os.fork()\n"
            "if pid == 0:\n    c_sdk.py_qvi_get_orgcode()\n    os._exit(0)\n"
            "os.waitpid(pid, 0)\nc_sdk.qvi_now_plus()\n")
    checked(run_python(code, shim_env(path)))
    assert [f.fn for f in qvcore_session.Session(path)] == ["qvi_now", "qvi_now_plus"]
