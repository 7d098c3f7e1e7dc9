"""The stand-in never passes for a real core: it answers only a process that
asked for it, it is installed where no real core goes, and a core next to the
module is the one loaded. Also: how the stand-in delivers a null message
type, and how it replays session files of version 1 and 2."""

import ctypes
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

import pytest

import c_sdk
from conftest import QV_PATH, ROOT, run_python
from qvcore_standin import REFUSED, REPLAY_DIVERGED, ReplayDivergence, which

sys.path.insert(0, os.path.join(ROOT, "tools"))
import fake_core  # noqa: E402
from standin_direct import DECLS, cfn  # noqa: E402

MODULE_DIR = os.path.dirname(c_sdk.__file__)
STANDIN = which.resolve().path
REFUSAL_LINE = (f"c_sdk stand-in core: {STANDIN} is the stand-in, not a real core: nothing reaches a market "
                f"and every call that returns a status gets {REFUSED}; set QVCORE_STANDIN=1 or create "
                "qvcore_standin.Core() to ask for the stand-in\n")


def unasked_env(value=None):
    env = {"QVCORE_STANDIN": value} if value is not None else {}
    return env


def run_unasked(code, value=None, path=(QV_PATH,)):
    """Runs code in a fresh interpreter whose environment does not ask (unless `value` does)."""
    saved = os.environ.pop("QVCORE_STANDIN")
    try:
        return run_python(code, unasked_env(value), path=path)
    finally:
        os.environ["QVCORE_STANDIN"] = saved


# ---- asking ----------------------------------------------------------------------------

PLACE = """
import c_sdk, qvcore_standin
{ask}
print(c_sdk.py_qvi_place_order(b'{{"symbol": "SHSE.600000"}}'), c_sdk.py_qvi_get_cash(b'acct'),
      c_sdk.py_qvi_run(), c_sdk.qvi_now())
"""


@pytest.mark.parametrize("ask, env, answered", [
    ("", None, False),
    ("", "0", False),
    ("", "1", True),
    ("", "yes", True),
    ("qvcore_standin.Core()", None, True),
])
def test_only_a_process_that_asked_gets_answers(ask, env, answered):
    proc = run_unasked(PLACE.format(ask=ask), env)
    assert proc.returncode == 0, proc.stderr
    if answered:
        assert proc.stdout == "(0, b'qvi_place_order_pb') (0, b'qvi_get_cash_pb') 0 1700000000000\n"
        assert proc.stderr == ""
    else:  # no success, and one line however many calls were refused
        assert proc.stdout == f"({REFUSED}, None) ({REFUSED}, None) {REFUSED} 1700000000000\n"
        assert proc.stderr == REFUSAL_LINE


UNASKED_CALLS = """
import ctypes, json, sys
lib = ctypes.CDLL(sys.argv[1])
types = {"int": ctypes.c_int, "double": ctypes.c_double, "bool": ctypes.c_bool, "long long": ctypes.c_longlong}
refused = {}
for name, params in json.loads(sys.argv[2]):
    f = getattr(lib, name)
    f.restype = ctypes.c_int
    f.argtypes = [types.get(p, ctypes.c_void_p) for p in params]
    out = [ctypes.c_void_p(0xBAD) for p in params]
    args = [ctypes.byref(o) if p.endswith("**") or p == "int*" else (0 if p in types else None)
            for p, o in zip(params, out)]
    refused[name] = (f(*args), all(o.value == 0xBAD for o in out))
print(json.dumps(refused))
"""


def test_every_status_the_unasked_stand_in_returns_is_the_refusal(tmp_path):
    copy = tmp_path / "zadiv3-e.so"
    shutil.copy(STANDIN, copy)
    int_functions = [(name, params) for ret, name, params in DECLS if ret == "int"]
    code = UNASKED_CALLS.replace("sys.argv[1]", repr(str(copy))).replace("sys.argv[2]",
                                                                          repr(json.dumps(int_functions)))
    proc = run_unasked(code)
    assert proc.returncode == 0, proc.stderr
    answers = json.loads(proc.stdout)
    assert len(answers) == len(int_functions) > 100
    assert {name: tuple(a) for name, a in answers.items() if tuple(a) != (REFUSED, True)} == {}
    assert proc.stderr == REFUSAL_LINE.replace(STANDIN, str(copy))


# ---- where it lives, and which core is loaded ------------------------------------------


def which_output(path=(QV_PATH,), env=None):
    code = "import sys, runpy; sys.argv = ['qvcore_standin', 'which']; runpy.run_module('qvcore_standin', run_name='__main__')"
    return run_python(code, env, path=path)


def test_the_stand_in_lives_apart_from_where_a_real_core_goes():
    assert not os.path.exists(os.path.join(MODULE_DIR, "zadiv3-e.so"))
    assert STANDIN == os.path.join(MODULE_DIR, "qvcore_standin", "lib", "zadiv3-e.so")
    proc = which_output()
    assert proc.stdout == (f"module: {c_sdk.__file__}\ncore:   {STANDIN} (the stand-in: nothing reaches a market; "
                           "it answers only a process that sets QVCORE_STANDIN=1 or creates qvcore_standin.Core())\n")


def test_no_installed_file_is_where_a_real_core_goes():
    import importlib.metadata

    try:
        files = importlib.metadata.files("c_sdk")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("c_sdk is not installed (a build on PYTHONPATH)")
    names = {f.as_posix() for f in files or ()}
    assert "zadiv3-e.so" not in names and "qvcore_standin/lib/zadiv3-e.so" in names
    entry = [e for e in importlib.metadata.entry_points(group="pytest11") if e.name == "qvcore_standin"]
    assert [e.value for e in entry] == ["qvcore_standin.pytest_plugin"]


@pytest.fixture(scope="module")
def beside_a_real_core(tmp_path_factory):
    """A copy of the module with a core that is not the stand-in next to it,
    and the stand-in in its own folder too."""
    if shutil.which(os.environ.get("CC", "cc")) is None:
        pytest.skip("no C compiler to build the fake core")
    folder = tmp_path_factory.mktemp("site")
    shutil.copy(c_sdk.__file__, folder)
    shutil.copytree(os.path.dirname(STANDIN), folder / "qvcore_standin" / "lib")
    fake_core.build(str(folder))
    return folder


def test_a_core_next_to_the_module_is_the_one_loaded_and_which_says_so(beside_a_real_core):
    folder = beside_a_real_core
    module = os.path.join(folder, os.path.basename(c_sdk.__file__))
    path = (str(folder), os.path.join(ROOT, "standin", "python"), QV_PATH)
    proc = run_python("import c_sdk\nprint(c_sdk.py_qvi_place_order(b'x'), c_sdk.qvi_now())", path=path)
    assert proc.stdout == f"({fake_core.STATUS}, None) 42\n", proc.stderr
    assert which_output(path).stdout == f"module: {module}\ncore:   {folder / 'zadiv3-e.so'} (not the stand-in)\n"
    proc = run_python("import c_sdk, qvcore_standin\nqvcore_standin.Core()", path=path)
    assert "NotAStandinError" in proc.stderr and "is not the stand-in core library" in proc.stderr


def test_which_follows_the_loader_through_ld_library_path(beside_a_real_core, tmp_path):
    shutil.copy(STANDIN, tmp_path / "zadiv3-e.so")
    path = (str(beside_a_real_core), os.path.join(ROOT, "standin", "python"), QV_PATH)
    proc = which_output(path, {"LD_LIBRARY_PATH": str(tmp_path)})
    assert proc.stdout.splitlines()[1].startswith(f"core:   {tmp_path / 'zadiv3-e.so'} (the stand-in")
    os.remove(beside_a_real_core / "zadiv3-e.so")
    try:
        assert which_output(path).stdout.splitlines()[1].startswith(
            f"core:   {beside_a_real_core / 'qvcore_standin' / 'lib' / 'zadiv3-e.so'} (the stand-in")
    finally:
        fake_core.build(str(beside_a_real_core))


# ---- events and session files ------------------------------------------------------------

CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)


@pytest.fixture
def delivered(core):
    """The events the core delivers: (msg_type or None, data bytes)."""
    seen = []

    def on_event(msg, data, length):
        seen.append((msg, ctypes.string_at(data, length) if data and length > 0 else b""))

    keep = CALLBACK(on_event)
    cfn(core, "qvi_set_event_callback_pb", None, ctypes.c_void_p)(ctypes.cast(keep, ctypes.c_void_p))
    yield seen
    del keep


def test_a_null_message_type_is_delivered_as_null(core, delivered):
    core.queue_event(None, b"ab")
    core.queue_event(b"", b"cd")
    assert cfn(core, "qvi_run", ctypes.c_int)() == 0
    assert delivered == [(None, b"ab"), (b"", b"cd")]


def session_file(path, frames, version=2, functions=("qvi_run", "qvi_stop")):
    """A session file written by hand: frames are (kind, flags, fn, thread, rest)."""
    names = b"".join(bytes([len(n)]) + n.encode() for n in functions)
    tail = struct.pack("<qqIH", 1, 2, 3, len(functions)) + names + struct.pack("<H", 4) + b"core"
    header = b"\x89QVSESS\n" + struct.pack("<HHI", version, 0, 8 + 8 + len(tail)) + tail
    offsets, out = [], bytearray(header)
    for kind, flags, fn, thread, rest in frames:
        body = struct.pack("<BBHIqq", kind, flags, fn, thread, 10, 1) + rest
        offsets.append(len(out))
        out += struct.pack("<II", len(body), zlib.adler32(body)) + body
    path.write_bytes(bytes(out))
    return offsets


def event(msg, data=b""):
    return struct.pack("<I", len(msg)) + msg + b"\0" + struct.pack("<iB", len(data), 0) + data


RUN_OPEN = (2, 0, 0, 77, b"\0")                       # qvi_run(), no arguments
RUN_CLOSE = (3, 0, 0, 77, b"\x01" + struct.pack("<q", 0) + b"\0")  # status 0, no output
STOP = (1, 0, 1, 77, b"\x01" + struct.pack("<q", 0) + b"\0" + b"\0")


@pytest.mark.parametrize("version, null_flag, expected", [
    (1, False, [(b"tick", b"ab")]),
    (2, False, [(b"tick", b"ab")]),
    (2, True, [(None, b"ab")]),  # the flag: a null msg_type, whose text is empty
])
def test_replay_reads_both_versions_and_hands_back_a_null_message_type(core, delivered, tmp_path, version,
                                                                        null_flag, expected):
    path = tmp_path / "v.qvs"
    msg = b"" if null_flag else b"tick"
    session_file(path, [RUN_OPEN, (4, 1 if null_flag else 0, 0, 77, event(msg, b"ab")), RUN_CLOSE], version)
    with core.replay(path):
        assert cfn(core, "qvi_run", ctypes.c_int)() == 0
    assert delivered == expected


def test_replay_stops_at_lost_frames_and_names_the_gap(core, tmp_path, capfd):
    path = tmp_path / "lost.qvs"
    lost = (7, 0, 0, 4242, struct.pack("<QQI", 17, 2048, 0))
    offsets = session_file(path, [STOP, lost, STOP])
    stop = cfn(core, "qvi_stop", ctypes.c_int)
    replay = core.replay(path)
    assert stop() == 0 and stop() == REPLAY_DIVERGED
    with pytest.raises(ReplayDivergence) as e:
        replay.finish()
    divergence, *call_site = str(e.value).splitlines()
    assert divergence == (f"replay diverged at frame 1 (byte {offsets[1]}): recorded a gap where thread 4242 "
                          "lost 17 frames (2048 B) to a full buffer; got qvi_stop()")
    assert call_site and call_site[0].startswith(f"the call came from {__file__}:")
    assert capfd.readouterr().err == f"stand-in replay: diverged at frame 1 (byte {offsets[1]}): " \
                                     f"{divergence.split(': ', 1)[1]}\n"


def test_queued_events_are_ignored_while_a_replay_is_on(core, delivered, tmp_path):
    path = tmp_path / "run.qvs"
    session_file(path, [RUN_OPEN, RUN_CLOSE])
    with core.replay(path):
        core.queue_event(b"live", b"x")
        assert core.queued() == 0 and core.deliver_from_thread() == 0
        assert cfn(core, "qvi_run", ctypes.c_int)() == 0
    assert delivered == []
    core.queue_event(b"live")  # and taken again once it is over
    assert core.deliver_from_thread() == 1 and delivered == [(b"live", b"")]


def test_replay_refuses_a_version_it_does_not_know(core, tmp_path):
    path = tmp_path / "v3.qvs"
    session_file(path, [STOP], version=3)
    with pytest.raises(ValueError, match=r"a session file of version 3, not 1 to 2$"):
        core.replay(path)


def test_the_controller_module_runs_as_a_command():
    proc = subprocess.run([sys.executable, "-m", "qvcore_standin", "what"], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 2 and "invalid choice: 'what'" in proc.stderr
