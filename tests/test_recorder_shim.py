"""The shim itself: it exports exactly the core functions, its generator
refuses a header it cannot redact, its frames check at every size, it finds
the core it forwards to, and records calls from several threads.

Sessions are recorded in subprocesses with the shim preloaded.
"""

import os
import subprocess
import sys

import pytest
from conftest import run_python
from recording import ROOT, SHIM, checked, shim_env

import c_sdk
import qvcore_session
import qvcore_standin

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")


def test_the_shim_exports_exactly_the_core_functions_and_its_recording_control(core):
    nm = subprocess.run(["nm", "-D", "--defined-only", SHIM], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("binutils missing")
    exported = sorted(line.split()[-1] for line in nm.stdout.splitlines() if " T " in line)
    assert exported == sorted(core.functions() + ["qvrec_control_start", "qvrec_control_stop"])


def test_the_generator_refuses_a_secret_it_cannot_find(tmp_path):
    with open(os.path.join(ROOT, "include", "qvcsdk.h")) as f:
        header = f.read()
    renamed = header.replace("qvi_set_bus_info(const char* server_addr, const char* user_name, const char* password)",
                             "qvi_set_bus_info(const char* server_addr, const char* user_name, const char* pass)")
    assert renamed != header
    (tmp_path / "h.h").write_text(renamed)
    gen = subprocess.run([sys.executable, os.path.join(ROOT, "recorder", "gen_recorder.py"), "--header",
                          str(tmp_path / "h.h"), "--out-dir", str(tmp_path / "out")], capture_output=True, text=True)
    assert gen.returncode == 1 and "qvi_set_bus_info(password)" in gen.stderr


SIZES = [0, 1, 15, 16, 17, 100, 255, 5500, 5536, 5537, 5552, 20000, 70001]


def test_every_frame_checks_whatever_its_size(tmp_path, core):
    """The shim's checksum agrees with zlib's on bodies of every length class
    (the vector loop, its chunking, the tail), and replay reads them too."""
    path = tmp_path / "sizes.qvs"
    code = ("import c_sdk, qvcore_standin\ncore = qvcore_standin.Core()\n"
            "c_sdk.py_qvi_set_data_callback(lambda t, p: None)\n"
            f"for n in {SIZES}:\n"
            "    core.queue_event(b'e', bytes(range(256)) * (n // 256) + bytes(n % 256))\n"
            "    core.set_response('qvi_get_orders_pb', b'\\xff' * n)\n"
            "    c_sdk.py_qvi_get_orders(b'\\x80' * n)\n"
            "    c_sdk.qvi_poll()\n")
    checked(run_python(code, shim_env(path)))
    session = qvcore_session.Session(path)
    frames = list(session)
    assert session.torn is None and len(frames) == 1 + 4 * len(SIZES)
    assert [len(f.payload) for f in frames if f.kind == qvcore_session.EVENT] == SIZES
    assert [f.output.data or b"" for f in frames if f.fn == "qvi_get_orders_pb"] == [b"\xff" * n for n in SIZES]
    seen = []
    with core.replay(path):
        c_sdk.py_qvi_set_data_callback(lambda t, p: seen.append(len(p)))
        for n in SIZES:
            assert c_sdk.py_qvi_get_orders(b"\x80" * n) == (0, b"\xff" * n)
            c_sdk.qvi_poll()
    assert seen == SIZES


# ---- where the shim finds the core ------------------------------------------------------

def deployed_in_place(tmp_path):
    """c_sdk with the shim as its zadiv3-e.so and the stand-in under another name."""
    import shutil

    folder = tmp_path / "site"
    folder.mkdir()
    shutil.copy(c_sdk.__file__, folder)
    shutil.copy(SHIM, folder / "zadiv3-e.so")
    shutil.copy(os.path.join(os.path.dirname(SHIM), "qvcore_session", "qvrec-writer"), folder)
    shutil.copy(qvcore_standin.Core().path, folder / "real-core.so")
    return folder


IN_PLACE = ("import sys, c_sdk, qvcore_standin\n"
            "core = qvcore_standin.Core(sys.argv[-1] if len(sys.argv) > 1 else {real!r})\n"
            "core.set_response('qvi_get_orders_pb', b'from the real core')\n"
            "print(c_sdk.py_qvi_get_orders(b'q'), c_sdk.__file__.startswith({folder!r}))\n")


@pytest.mark.parametrize("named", [True, False])
def test_the_shim_in_the_cores_place_forwards_to_the_core_it_is_given(tmp_path, named):
    folder = deployed_in_place(tmp_path)
    path = tmp_path / "inplace.qvs"
    env = {"C_SDK_RECORD": "1", "C_SDK_RECORD_FILE": str(path)}
    if named:
        env["C_SDK_RECORD_CORE"] = str(folder / "real-core.so")
    code = IN_PLACE.format(real=str(folder / "real-core.so"), folder=str(folder))
    proc = run_python(code, env, path=(str(folder), os.path.join(ROOT, "standin", "qv")))
    if named:
        assert proc.returncode == 0 and proc.stdout == "(0, b'from the real core') True\n", proc.stderr
        frames = list(qvcore_session.Session(path))
        assert [f.fn for f in frames] == ["qvi_get_orders_pb"] and frames[0].output.data == b"from the real core"
    else:  # it would find only itself: a clear stop rather than endless recursion
        assert proc.returncode != 0
        assert "c_sdk recorder: the core library found is the recorder itself: " in proc.stderr


def test_a_core_named_that_cannot_be_loaded_stops_the_process_with_the_reason(tmp_path):
    proc = run_python("import c_sdk\nc_sdk.qvi_now()", shim_env(tmp_path / "x.qvs",
                                                                C_SDK_RECORD_CORE=str(tmp_path / "none.so")))
    assert proc.returncode != 0
    assert "c_sdk recorder: cannot load the core library named by C_SDK_RECORD_CORE: " in proc.stderr


def test_calls_from_several_threads_are_recorded_with_their_threads(tmp_path):
    path = tmp_path / "threads.qvs"
    code = ("import threading, c_sdk\n"
            "def work(k):\n"
            "    for i in range(200):\n"
            "        c_sdk.py_qvi_history_ticks_pb(b'%d' % k)\n"
            "ts = [threading.Thread(target=work, args=(k,)) for k in range(4)]\n"
            "[t.start() for t in ts]\n[t.join() for t in ts]\n")
    checked(run_python(code, shim_env(path)))
    by_thread = {}
    for f in qvcore_session.Session(path):
        by_thread.setdefault(f.thread, set()).add(f.args[0].data)
    assert len(by_thread) == 4 and sorted(map(tuple, by_thread.values())) == [(b"0",), (b"1",), (b"2",), (b"3",)]
