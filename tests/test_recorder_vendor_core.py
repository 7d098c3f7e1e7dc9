"""The recorder beside a core built the way a vendor builds one: default
visibility, no symbolic binding, calls to its own exported functions inside
qvi_run and inside other calls, and a thread of its own calling them while
the session runs. Only what crosses the module may be recorded, and the
recording must replay against the stand-in without divergence."""

import json
import os
import shutil
import subprocess
import sys

import pytest
from conftest import run_python
from recording import ROOT, SHIM, shim_env

import c_sdk
import qvcore_session
import qvcore_standin

pytestmark = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def vendor_site(tmp_path_factory):
    """A folder with the module, the vendor-style core as zadiv3-e.so and the
    stand-in it forwards to under a name of its own."""
    work = tmp_path_factory.mktemp("vendor")
    gen = work / "gen"
    subprocess.run([sys.executable, os.path.join(HERE, "vendor_core", "gen_vendor_core.py"),
                    "--header", os.path.join(ROOT, "include", "qvcsdk.h"), "--out-dir", str(gen)], check=True)
    site = work / "site"
    site.mkdir()
    cxx = os.environ.get("CXX", "g++")
    subprocess.run([cxx, "-std=c++20", "-O1", "-fPIC", "-shared", "-pthread",
                    "-I", os.path.join(ROOT, "include"), "-I", os.path.join(HERE, "vendor_core"),
                    str(gen / "forwarders.cpp"), os.path.join(HERE, "vendor_core", "self_calls.cpp"),
                    "-o", str(site / "zadiv3-e.so"), "-ldl"], check=True)
    shutil.copy(c_sdk.__file__, site)
    shutil.copy(qvcore_standin.Core().path, site / "inner-core.so")
    return site


def test_the_vendor_core_calls_itself_through_its_exports(vendor_site):
    """Otherwise the test below would prove nothing: a preloaded shim sees
    these calls only because they go through the dynamic linker."""
    relocs = subprocess.run(["readelf", "-rW", str(vendor_site / "zadiv3-e.so")], capture_output=True,
                            text=True, check=True).stdout
    own = {line.split()[-3] for line in relocs.splitlines() if "JUMP_SLO" in line or "GLOB_DAT" in line}
    assert {"qvi_now", "qvi_get_c_version", "qvi_get_parameters_pb"} <= own


STRATEGY = r"""
import json, os, sys, c_sdk, qvcore_standin
MODE = sys.argv[1]
core = qvcore_standin.Core(os.environ["VENDOR_CORE_INNER"]) if MODE == "record" else qvcore_standin.Core()
replay = core.replay(sys.argv[2]) if MODE == "replay" else None
seen = []

def on_event(t, p):
    seen.append(("event", t, p.decode()))
    seen.append(c_sdk.py_qvi_history_ticks_pb(b"in " + p))
    seen.append(c_sdk.py_qvi_get_orders(b"orders " + p))
    if p == b"2":
        c_sdk.py_qvi_stop()

c_sdk.py_qvi_set_data_callback(on_event)
if MODE == "record":
    core.set_response("qvi_history_ticks_pb", b"ticks")
    for i in range(3):
        core.queue_event(b"tick", b"%d" % i)
seen.append(c_sdk.py_qvi_history_ticks_pb(b"before"))
seen.append(("run", c_sdk.py_qvi_run()))
seen.append(c_sdk.py_qvi_get_orders(b"after"))
if replay is not None:
    replay.finish()
print(json.dumps([repr(x) for x in seen]))
"""


def test_only_the_modules_calls_are_recorded_and_the_session_replays(vendor_site, tmp_path):
    path = tmp_path / "vendor.qvs"
    inner = str(vendor_site / "inner-core.so")
    env = shim_env(path, VENDOR_CORE_INNER=inner)
    recorded = run_python(STRATEGY.replace("sys.argv[1]", "'record'").replace("sys.argv[2]", repr(str(path))),
                          env, path=(str(vendor_site), os.path.join(ROOT, "standin", "qv")))
    assert recorded.returncode == 0, recorded.stderr
    frames = list(qvcore_session.Session(path))
    calls = [f.fn for f in frames if f.kind in (qvcore_session.CALL, qvcore_session.CALL_OPEN)]
    # What the strategy called, nothing of the core's own.
    assert calls == ["qvi_set_event_callback_pb", "qvi_history_ticks_pb", "qvi_run"] + \
        ["qvi_history_ticks_pb", "qvi_get_orders_pb"] * 3 + ["qvi_stop", "qvi_get_orders_pb"]
    assert len({f.thread for f in frames}) == 1

    replayed = run_python(STRATEGY.replace("sys.argv[1]", "'replay'").replace("sys.argv[2]", repr(str(path))))
    assert replayed.returncode == 0, replayed.stderr
    assert json.loads(replayed.stdout) == json.loads(recorded.stdout)
