"""Controller of the stand-in core library ``zadiv3-e.so``, for offline tests.

The stand-in implements every function of the core library's C interface
(``qvcsdk.h``) deterministically, logs each call with its C arguments, and
can be programmed per function. This module drives it through ctypes::

    from qvcore_standin import ANY, Buffer, Call, Core, OutPtr

    core = Core()                       # the core c_sdk loads; asks for the stand-in
    core.reset()
    core.set_status("qvi_place_order_pb", 1017)
    core.set_response("qvi_place_order_pb", b"\\x0a\\x03abc")
    ...                                 # exercise c_sdk
    assert core.calls("qvi_place_order_pb") == [
        Call("qvi_place_order_pb", (Buffer(ANY, 3, b"req", True), ANY, ANY))]

Core functions behave by default as follows (``reset()`` restores it):

- int-returning functions return 0;
- functions with a ``(void** res, int* res_len)`` pair write their own name
  as the response bytes, on every call, whatever status they return;
- ``const char*`` getters return their own name, ``qvi_strerror(n)`` returns
  ``b"stand-in error <n>"``, ``qvi_get_serv_addr(id, &addr)`` writes
  ``b"addr:<id>"``;
- ``qvi_now()`` returns 1700000000000 and ``qvi_now_plus()`` 1700000000.5;
- the call log is on and empty, the event queue is empty.

``reset()`` keeps the registered event callback, since a module registers it
once when it is loaded.

Events: ``queue_event()`` queues one; ``qvi_run()`` delivers queued events
(including those queued by callbacks) until the queue is empty or a callback
calls ``qvi_stop()``; ``qvi_poll()`` and ``deliver_from_thread()`` deliver
the events queued when they are called. With no callback registered, events
are dropped when delivered.

The library is loaded with ``ctypes.CDLL``, so the interpreter lock is
released during every control call; ``deliver_from_thread()`` relies on it.
All ``Core`` objects for the same file share one state: the library's.

The stand-in answers only a process that asked for it, by creating a
``Core`` or by running with ``QVCORE_STANDIN=1``; in any other it returns
``REFUSED`` from every core function that returns a status, so that it is
never taken for a real core. It is installed inside this package
(``qvcore_standin/lib/zadiv3-e.so``), never where a real core goes (next to
the module, which looks there first); ``qvcore-standin which`` (or
``python -m qvcore_standin which``) tells which one a fresh process would load.
"""

from .calls import ANY, Buffer, Call, FnPtr, OutPtr, Text
from .core import REFUSED, Core, NotAStandinError
from .replay import REPLAY_DIVERGED, Replay, ReplayDivergence
from .version import __version__

__all__ = [
    "ANY",
    "Buffer",
    "Call",
    "Core",
    "FnPtr",
    "NotAStandinError",
    "OutPtr",
    "REFUSED",
    "REPLAY_DIVERGED",
    "Replay",
    "ReplayDivergence",
    "Text",
    "__version__",
]
