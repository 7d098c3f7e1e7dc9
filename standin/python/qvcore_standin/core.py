"""The controller: a ``Core`` loads the stand-in library through ctypes,
asks for it, programs it and reads its call log."""

import ctypes
import errno
import json
import os
from typing import List, Optional

from . import which
from .calls import Call, decode_arg
from .normalize import NormalizeMap, Normalizing
from .replay import Replay

#: The status every core function returning one gets from the stand-in in a
#: process that did not ask for it (neither created a ``Core`` nor set
#: ``QVCORE_STANDIN=1``). Nothing it answers then is a success.
REFUSED: int = -1001

_OK, _UNKNOWN_FUNCTION, _NOT_APPLICABLE, _BAD_ARGUMENT = 0, -1, -2, -3
_NULL_MSG_TYPE = -1
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


class NotAStandinError(RuntimeError):
    """The library loaded is not the stand-in (a real core library, say)."""


def _c_int(name: str, value: int) -> int:
    if not isinstance(value, int) or not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{name} must be an int within the C int range, got {value!r}")
    return value


def _default_path() -> str:
    found = which.resolve()
    if found.path is None:
        raise ImportError(f"no {which.CORE_FILE} where c_sdk looks for it; pass the path of one")
    return found.path


_PROTOTYPES = {
    "standin_ask": (None, []),
    "standin_asked": (ctypes.c_int, []),
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
    "standin_replay_set_normalizer": (None, [ctypes.c_void_p]),
    "standin_replay_set_divergence_hook": (None, [ctypes.c_void_p]),
    "standin_replay_divergent_request": (ctypes.c_void_p, [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]),
}


class Core:
    """Programs and observes the stand-in core library.

    ``Core(path=None)``: ``path`` is the zadiv3-e.so to load; by default the
    one c_sdk loads (see ``python -m qvcore_standin which``): a core next to
    the module, else the stand-in inside this package. Raises
    ``NotAStandinError`` when the file has no stand-in controls. Creating a
    ``Core`` asks for the stand-in: from then on it answers this process
    (without asking, every status it returns is ``REFUSED``).
    Programming methods raise ``KeyError`` for a name that is no core
    function and ``ValueError`` when the function has no such value (e.g.
    ``set_response`` on a function without a response).
    """

    def __init__(self, path: "Optional[str | os.PathLike[str]]" = None):
        self.path: str = os.fspath(path) if path is not None else _default_path()
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
        self.lib.standin_ask()

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
            Call(r["fn"], tuple(decode_arg(a) for a in r["args"]))
            for r in records
            if fn is None or r["fn"] == fn
        ]

    def call_count(self) -> int:
        """Number of logged calls, without decoding them."""
        count: int = self.lib.standin_log_size()
        return count

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
        c_length = _c_int("length", length) if length is not None else 0
        rc = self.lib.standin_set_response_raw(
            fn.encode(), int(null_pointer), int(has_length), c_length, int(write)
        )
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
        self,
        msg_type: Optional[bytes],
        payload: bytes = b"",
        data_len: Optional[int] = None,
        null_data: bool = False,
    ) -> None:
        """Queues an event for the callback: ``msg_type`` arrives
        NUL-terminated (any bytes, even NULs), or as a null pointer when it
        is None; ``data`` points at ``payload`` (or is null with
        ``null_data``), and ``data_len`` is ``len(payload)`` unless given (it
        may be 0, negative or larger than the payload, which is then
        zero-padded up to 16 MiB). Ignored while a replay is on: the
        recording gives the events then."""
        payload = bytes(payload)
        msg = None if msg_type is None else bytes(msg_type)
        msg_len = _NULL_MSG_TYPE if msg is None else len(msg)
        data_len = len(payload) if data_len is None else _c_int("data_len", data_len)
        rc = self.lib.standin_queue_event(msg, msg_len, payload, len(payload), data_len, int(null_data))
        if rc != _OK:
            raise ValueError(f"stand-in refused the event ({rc})")

    def queued(self) -> int:
        """Number of events waiting in the queue."""
        count: int = self.lib.standin_queued()
        return count

    def deliver_from_thread(self) -> int:
        """Delivers the events queued now from a new native thread, joined
        before returning; returns how many reached the callback. Under a
        replay it delivers nothing and returns 0."""
        count: int = self.lib.standin_deliver_from_thread()
        return count

    def callback_address(self) -> int:
        """Address of the registered event callback (0 if none)."""
        address: int = self.lib.standin_callback_address()
        return address

    # ---- replay ---------------------------------------------------------------

    def asked(self) -> bool:
        """Whether the library answers this process (always, once a ``Core``
        exists)."""
        return bool(self.lib.standin_asked())

    def replay(self, path: "str | os.PathLike[str]", paced: bool = False,
               normalize: Optional[NormalizeMap] = None) -> Replay:
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
        ``reset()`` ends a replay without a check. ``normalize`` maps core
        function names (or ``fnmatch`` patterns) to callables ``bytes ->
        bytes`` applied to the recorded and the live request before they
        are compared (see ``qvcore_standin.normalize``). A missing file
        raises ``FileNotFoundError``; a file that is no session, ``ValueError``."""
        if not os.path.exists(path):
            raise FileNotFoundError(errno.ENOENT, "no session file", os.fspath(path))
        normalizing = Normalizing(normalize) if normalize else None
        rc = self.lib.standin_replay_start(os.fsencode(path), int(bool(paced)))
        if rc != _OK:
            raise ValueError(self.lib.standin_replay_error().decode("utf-8", "replace"))
        if normalizing is not None:
            self.lib.standin_replay_set_normalizer(ctypes.cast(normalizing.callback, ctypes.c_void_p))
        replay = Replay(self, os.fspath(path), normalizing)
        self.lib.standin_replay_set_divergence_hook(ctypes.cast(replay.hook, ctypes.c_void_p))
        return replay
