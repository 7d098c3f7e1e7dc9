"""Normalized matching of requests during a replay. Real requests carry
values that change on every run (a client order id, a timestamp, a
sequence number); a normalizer is a callable ``bytes -> bytes`` that takes
them out, applied to the recorded and to the live request of a function
before they are compared. The recorded response is returned as recorded.

``normalize`` maps a core function's name, or an ``fnmatch`` pattern of
names (``"qvi_place_order*"``), to its normalizer; an exact name wins over
a pattern, and patterns are tried in the mapping's order.
"""

from __future__ import annotations

import ctypes
import fnmatch
from typing import Callable, Dict, Mapping, Optional, Tuple

Normalizer = Callable[[bytes], bytes]
NormalizeMap = Mapping[str, Normalizer]

SAME, DIFFERENT, UNNORMALIZED, FAILED = 1, 0, 2, -1

CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p,
                            ctypes.c_int)


class Normalizing:
    """The normalizers of one replay, as the stand-in calls them."""

    def __init__(self, normalize: NormalizeMap):
        for key, value in normalize.items():
            if not isinstance(key, str) or not callable(value):
                raise TypeError(f"normalize maps a function name or pattern to a callable, not {key!r}: {value!r}")
        self.normalize = dict(normalize)
        self._found: Dict[str, Optional[Normalizer]] = {}
        #: (function, exception) of a normalizer that raised.
        self.error: Optional[Tuple[str, BaseException]] = None
        #: (function, recorded, live) after normalizing, for the last requests that differed.
        self.differed: Optional[Tuple[str, bytes, bytes]] = None
        self.callback = CALLBACK(self._compare)  # kept alive as long as the replay

    def for_function(self, name: str) -> Optional[Normalizer]:
        if name not in self._found:
            found = self.normalize.get(name)
            if found is None:
                found = next((f for pattern, f in self.normalize.items() if fnmatch.fnmatchcase(name, pattern)), None)
            self._found[name] = found
        return self._found[name]

    def _apply(self, f: Normalizer, data: bytes) -> bytes:
        out = f(data)
        if not isinstance(out, (bytes, bytearray)):
            raise TypeError(f"a normalizer must return bytes, not {type(out).__name__}")
        return bytes(out)

    def _compare(self, fn: bytes, recorded: int, recorded_len: int, live: int, live_len: int) -> int:
        name = fn.decode("utf-8", "replace")
        f = self.for_function(name)
        if f is None:
            return UNNORMALIZED
        try:
            a = self._apply(f, ctypes.string_at(recorded, recorded_len))
            b = self._apply(f, ctypes.string_at(live, live_len))
        except BaseException as e:  # reported as the divergence, with the function and the frame
            self.error = (name, e)
            return FAILED
        if a == b:
            return SAME
        self.differed = (name, a, b)
        return DIFFERENT
