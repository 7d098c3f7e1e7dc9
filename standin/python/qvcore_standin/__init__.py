"""Controller of the stand-in core library ``zadiv3-e.so``, for offline tests.

The stand-in implements every function of the core library's C interface
(``qvcsdk.h``) deterministically, logs each call with its C arguments, and
can be programmed per function. This module drives it through ctypes::

    from qvcore_standin import ANY, Buffer, Call, Core, OutPtr

    core = Core()                       # the zadiv3-e.so next to c_sdk
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
"""

import ctypes
import json
import os
import struct
from dataclasses import dataclass
from typing import List, Optional, Tuple
from unittest import mock

__all__ = [
    "ANY",
    "Buffer",
    "Call",
    "Core",
    "FnPtr",
    "NotAStandinError",
    "OutPtr",
    "Replay",
    "ReplayDivergence",
    "Text",
]

#: Equal to anything: stands for the addresses a test cannot know.
ANY = mock.ANY

_OK, _UNKNOWN_FUNCTION, _NOT_APPLICABLE, _BAD_ARGUMENT = 0, -1, -2, -3
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


@dataclass(frozen=True)
class Text:
    """A ``const char*`` argument: its address and bytes up to the NUL (None if null)."""

    addr: int
    value: Optional[bytes]


@dataclass(frozen=True)
class Buffer:
    """A ``(void* req, int req_len)`` request argument.

    ``length`` is req_len as received; ``data`` holds the req_len bytes, or is
    None when the pointer is null or req_len is negative; ``nul_follows``
    tells whether a NUL byte follows the last one.
    """

    addr: int
    length: int
    data: Optional[bytes]
    nul_follows: bool


@dataclass(frozen=True)
class OutPtr:
    """A non-null out-parameter (``void** res``, ``int* res_len``, ``char** addr``).

    A null out-parameter is logged as None.
    """

    addr: int


@dataclass(frozen=True)
class FnPtr:
    """A non-null function pointer argument (the event callback); null is None."""

    addr: int


@dataclass(frozen=True)
class Call:
    """One logged core call: the function name and its arguments, in C order.

    A request pair counts as one argument (a ``Buffer``); scalars are ``int``,
    ``float`` or ``bool``.
    """

    fn: str
    args: Tuple = ()


class NotAStandinError(RuntimeError):
    """The library loaded is not the stand-in (a real core library, say)."""


class ReplayDivergence(AssertionError):
    """The code under test did not do what the recording did.

    ``position`` is where in the recording (frame number and byte offset),
    ``expected`` what the recording has there, ``got`` what came instead."""

    def __init__(self, position: str, expected: str, got: str):
        super().__init__(f"replay diverged at {position}: recorded {expected}; got {got}")
        self.position, self.expected, self.got = position, expected, got


#: The status every core call returns once a replay has diverged.
REPLAY_DIVERGED = -1000


class Replay:
    """A replay in progress (see ``Core.replay``); a context manager whose
    exit calls ``finish()``."""

    def __init__(self, core: "Core", path: str):
        self.core, self.path = core, path
        self.finished = False

    def divergence(self) -> Optional[ReplayDivergence]:
        """The divergence so far, if any, without ending the replay."""
        lib = self.core.lib
        parts = [lib.standin_replay_divergence(i) for i in range(3)]
        if parts[0] is None:
            return None
        return ReplayDivergence(*(p.decode("utf-8", "replace") for p in parts))

    def check(self) -> None:
        """Raises ``ReplayDivergence`` if the replay has diverged so far."""
        d = self.divergence()
        if d is not None:
            raise d

    def frames(self) -> int:
        """How many frames of the recording have been used."""
        return self.core.lib.standin_replay_frames()

    def finish(self) -> None:
        """Delivers the events recorded after the last call, ends the
        replay, and raises ``ReplayDivergence`` if the session diverged or
        stopped before the end of the recording."""
        if self.finished:
            return
        d = self.divergence()
        self.finished = True
        diverged = self.core.lib.standin_replay_finish()
        d = d or self.divergence()
        if diverged:
            raise d or ReplayDivergence("?", "?", "?")

    def __enter__(self) -> "Replay":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.finish()
        elif not self.finished:
            self.finished = True
            self.core.lib.standin_replay_finish()


def _decode_arg(a):
    t = a["t"]
    if t in ("int", "bool"):
        return a["v"]
    if t == "double":
        return struct.unpack(">d", bytes.fromhex(a["bits"]))[0]
    if t == "text":
        return Text(a["addr"], None if a["v"] is None else bytes.fromhex(a["v"]))
    if t == "buffer":
        data = None if a["data"] is None else bytes.fromhex(a["data"])
        return Buffer(a["addr"], a["len"], data, a["nul"])
    if t == "out":
        return OutPtr(a["addr"]) if a["addr"] else None
    if t == "fn":
        return FnPtr(a["addr"]) if a["addr"] else None
    raise ValueError(f"unknown argument kind in the call log: {t!r}")


def _c_int(name, value):
    if not isinstance(value, int) or not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{name} must be an int within the C int range, got {value!r}")
    return value


def _default_path():
    try:
        import c_sdk
    except ImportError as e:
        raise ImportError("Core() without a path needs c_sdk installed; pass the path of zadiv3-e.so") from e
    return os.path.join(os.path.dirname(c_sdk.__file__), "zadiv3-e.so")


_PROTOTYPES = {
    "standin_reset": (None, []),
    "standin_log_enable": (ctypes.c_int, [ctypes.c_int]),
    "standin_log_clear": (None, []),
    "standin_log_size": (ctypes.c_longlong, []),
    "standin_log_json": (ctypes.c_char_p, []),
    "standin_function_count": (ctypes.c_int, []),
    "standin_function_name": (ctypes.c_char_p, [ctypes.c_int]),
    "standin_function_caps": (ctypes.c_int, [ctypes.c_char_p]),
    "standin_set_status": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "standin_set_response": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "standin_set_response_raw": (
        ctypes.c_int,
        [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int],
    ),
    "standin_set_text": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    "standin_set_now": (None, [ctypes.c_longlong]),
    "standin_set_now_plus": (None, [ctypes.c_double]),
    "standin_set_stop_error_code": (None, [ctypes.c_int]),
    "standin_queue_event": (
        ctypes.c_int,
        [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int],
    ),
    "standin_queued": (ctypes.c_int, []),
    "standin_deliver_from_thread": (ctypes.c_int, []),
    "standin_callback_address": (ctypes.c_ulonglong, []),
    "standin_replay_start": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "standin_replay_finish": (ctypes.c_int, []),
    "standin_replay_active": (ctypes.c_int, []),
    "standin_replay_divergence": (ctypes.c_char_p, [ctypes.c_int]),
    "standin_replay_error": (ctypes.c_char_p, []),
    "standin_replay_frames": (ctypes.c_longlong, []),
}


class Core:
    """Programs and observes the stand-in core library.

    ``Core(path=None)``: ``path`` is the zadiv3-e.so to load; by default the
    one next to the installed c_sdk module, which is the one c_sdk uses.
    Raises ``NotAStandinError`` when the file has no stand-in controls.
    Programming methods raise ``KeyError`` for a name that is no core
    function and ``ValueError`` when the function has no such value (e.g.
    ``set_response`` on a function without a response).
    """

    def __init__(self, path: Optional[str] = None):
        self.path = os.fspath(path) if path is not None else _default_path()
        #: The loaded library; core functions can be called through it too.
        self.lib = ctypes.CDLL(self.path)
        try:
            for name, (restype, argtypes) in _PROTOTYPES.items():
                fn = getattr(self.lib, name)
                fn.restype, fn.argtypes = restype, argtypes
        except AttributeError as e:
            raise NotAStandinError(
                f"{self.path} is not the stand-in core library: it has no {name}() control function"
            ) from e

    def _check(self, rc: int, fn: str, what: str) -> None:
        if rc == _UNKNOWN_FUNCTION:
            raise KeyError(f"no core function named {fn!r}")
        if rc == _NOT_APPLICABLE:
            raise ValueError(f"{fn} has no {what} to program")
        if rc == _BAD_ARGUMENT:
            raise ValueError(f"bad argument programming the {what} of {fn}")
        if rc != _OK:
            raise RuntimeError(f"stand-in returned {rc} programming the {what} of {fn}")

    # ---- state ----------------------------------------------------------

    def reset(self) -> None:
        """Restores every default: log on and empty, queue empty, nothing
        programmed, stop flag cleared. Keeps the event callback. Must not run
        while other threads are inside core calls."""
        self.lib.standin_reset()

    def functions(self) -> List[str]:
        """Names of all core functions, in the header's order."""
        return [self.lib.standin_function_name(i).decode() for i in range(self.lib.standin_function_count())]

    # ---- call log ---------------------------------------------------------

    def log_enabled(self, flag: bool) -> bool:
        """Switches the call log on or off; returns the previous state."""
        return bool(self.lib.standin_log_enable(1 if flag else 0))

    def calls(self, fn: Optional[str] = None) -> List[Call]:
        """The logged calls, oldest first; only those of ``fn`` if given."""
        records = json.loads(self.lib.standin_log_json())
        return [
            Call(r["fn"], tuple(_decode_arg(a) for a in r["args"]))
            for r in records
            if fn is None or r["fn"] == fn
        ]

    def call_count(self) -> int:
        """Number of logged calls, without decoding them."""
        return self.lib.standin_log_size()

    def clear_calls(self) -> None:
        self.lib.standin_log_clear()

    # ---- programming --------------------------------------------------------

    def set_status(self, fn: str, value: int) -> None:
        """The int that ``fn`` returns (for response functions: the status
        returned while the response is still written)."""
        self._check(self.lib.standin_set_status(fn.encode(), _c_int("value", value)), fn, "int result")

    def set_response(self, fn: str, data: bytes) -> None:
        """The response bytes ``fn`` writes, with res_len = len(data)."""
        data = bytes(data)
        self._check(self.lib.standin_set_response(fn.encode(), data, len(data)), fn, "response")

    def set_response_raw(
        self, fn: str, null_pointer: bool = False, length: Optional[int] = None, write: bool = True
    ) -> None:
        """Bends the current response of ``fn``: writes a null pointer,
        and/or an arbitrary res_len (possibly negative or larger than the
        bytes, which are then zero-padded up to 16 MiB), or, with
        ``write=False``, leaves the out-parameters untouched. For
        ``qvi_get_serv_addr`` only ``null_pointer`` and ``write`` apply."""
        has_length = length is not None
        length = _c_int("length", length) if has_length else 0
        rc = self.lib.standin_set_response_raw(fn.encode(), int(null_pointer), int(has_length), length, int(write))
        self._check(rc, fn, "response" if not has_length else "response length")

    def set_text(self, fn: str, text: Optional[bytes]) -> None:
        """The text a ``const char*`` getter returns, or that
        ``qvi_get_serv_addr`` writes; None means a null pointer."""
        if text is not None:
            text = bytes(text)
            if b"\0" in text:
                raise ValueError("a C text cannot contain a NUL byte")
        self._check(self.lib.standin_set_text(fn.encode(), text), fn, "text")

    def set_now(self, value: int) -> None:
        """What ``qvi_now()`` returns (milliseconds)."""
        self.lib.standin_set_now(value)

    def set_now_plus(self, value: float) -> None:
        """What ``qvi_now_plus()`` returns (seconds)."""
        self.lib.standin_set_now_plus(value)

    def set_stop_error_code(self, code: int) -> None:
        """What ``qvi_get_stop_error_code()`` returns."""
        self.lib.standin_set_stop_error_code(_c_int("code", code))

    # ---- events ---------------------------------------------------------------

    def queue_event(
        self, msg_type: bytes, payload: bytes = b"", data_len: Optional[int] = None, null_data: bool = False
    ) -> None:
        """Queues an event for the callback: ``msg_type`` arrives
        NUL-terminated (any bytes, even NULs), ``data`` points at ``payload``
        (or is null with ``null_data``), and ``data_len`` is
        ``len(payload)`` unless given (it may be 0, negative or larger than
        the payload, which is then zero-padded up to 16 MiB)."""
        msg_type, payload = bytes(msg_type), bytes(payload)
        data_len = len(payload) if data_len is None else _c_int("data_len", data_len)
        rc = self.lib.standin_queue_event(
            msg_type, len(msg_type), payload, len(payload), data_len, int(null_data)
        )
        if rc != _OK:
            raise ValueError(f"stand-in refused the event ({rc})")

    def queued(self) -> int:
        """Number of events waiting in the queue."""
        return self.lib.standin_queued()

    def deliver_from_thread(self) -> int:
        """Delivers the events queued now from a new native thread, joined
        before returning; returns how many reached the callback."""
        return self.lib.standin_deliver_from_thread()

    def callback_address(self) -> int:
        """Address of the registered event callback (0 if none)."""
        return self.lib.standin_callback_address()

    # ---- replay ---------------------------------------------------------------

    def replay(self, path, paced: bool = False) -> Replay:
        """Replays a session file written by the recording shim: from now
        on every core call is answered with its recorded result, in recorded
        order, and the recorded events are delivered where they happened
        (those recorded between two calls when the second comes, on its
        thread). The first call that is not the recorded one, or has other
        arguments or request bytes, stops the replay: it and every later
        call get ``REPLAY_DIVERGED``, a running ``qvi_run`` returns, and
        ``finish()`` raises ``ReplayDivergence`` naming it. ``paced`` keeps
        the recorded time between calls and events. Use it as
        ``with core.replay(path): ...`` or call ``finish()`` at the end.
        ``reset()`` ends a replay without a check."""
        rc = self.lib.standin_replay_start(os.fsencode(path), int(bool(paced)))
        if rc != _OK:
            raise ValueError(self.lib.standin_replay_error().decode("utf-8", "replace"))
        return Replay(self, os.fspath(path))
