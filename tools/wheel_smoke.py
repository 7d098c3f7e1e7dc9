"""Smoke check of an installed c_sdk wheel, run by check_wheel.py in a fresh
venv (with only the stand-in qv package on PYTHONPATH): the module, the
stand-in core in its own folder (and nothing where a real core goes) and the
type stubs are installed; unasked, the stand-in refuses; asked, one request,
one failing status and one event make the round trip through it."""

import os
import sys
import sysconfig

import c_sdk
import qvcore_standin

site = os.path.realpath(sysconfig.get_paths()["platlib"])
here = os.path.realpath(os.path.dirname(c_sdk.__file__))
assert here == site, f"c_sdk imported from {here}, not from the venv's {site}"
standin = os.path.join(here, "qvcore_standin", "lib", "zadiv3-e.so")
for name in (standin, os.path.join("c_sdk-stubs", "__init__.pyi"), os.path.join("qvcore_standin", "py.typed")):
    assert os.path.isfile(os.path.join(here, name)), f"{name} is not installed"
assert not os.path.exists(os.path.join(here, "zadiv3-e.so")), "a zadiv3-e.so is installed where a real core goes"
assert os.environ.get("QVCORE_STANDIN") is None
assert c_sdk.py_qvi_place_order("order") == (qvcore_standin.REFUSED, None)

core = qvcore_standin.Core()
assert os.path.realpath(core.path) == standin
core.reset()
core.set_response("qvi_place_order_pb", b"accepted")
assert c_sdk.py_qvi_place_order("order") == (0, b"accepted")
core.set_status("qvi_place_order_pb", 5)
assert c_sdk.py_qvi_place_order(b"order") == (5, None)
assert c_sdk.c_status_fail(5, "qvi_place_order_pb") is True

events = []


def on_event(message_type, payload):
    events.append((message_type, payload))
    c_sdk.py_qvi_stop()


c_sdk.py_qvi_set_data_callback(on_event)
core.queue_event(b"tick", b"\x01\x02")
assert c_sdk.py_qvi_run() == 0
assert events == [("tick", b"\x01\x02")], events
assert [c.fn for c in core.calls()][:2] == ["qvi_place_order_pb"] * 2
print(f"smoke ok: CPython {sys.version.split()[0]}, {os.path.basename(c_sdk.__file__)}")
