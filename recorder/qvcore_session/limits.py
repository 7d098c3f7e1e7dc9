"""How much the commands keep while they read a file, whatever the file.

A command holds, besides the frame it is on, the calls and events still
open on each thread, a few tables (event types, failure statuses, threads
that lost frames) and caches of text it already formatted. A file from
elsewhere can make each of these as large as it likes (a thousand-deep
nesting, a new event type in every frame), so each has a bound here, far
above what a recording holds, and the commands stay linear in time and flat
in memory on any input. docs/session-data.md says what happens at each.
"""

from __future__ import annotations

from typing import Callable, Dict, Generic, Hashable, Optional, TypeVar

# Calls and events open inside one another on one thread. A recording nests
# a few deep (qvi_run, an event, a call its callback makes); only a strategy
# recursing through its callbacks goes deeper, and it would exhaust Python's
# own recursion limit first. Deeper nesting stops the reading there, as a
# torn frame does.
MAX_DEPTH = 256

# Calls and events open at once, all threads together: as many as the most
# threads the recorder records at once (4096) each four deep.
MAX_OPEN = 16384

# Distinct keys a summary table counts on its own (event types, failure
# statuses, threads that lost frames), and bytes of such keys in all;
# beyond them, what is new is counted together as "other".
MAX_KEYS = 4096
KEY_BYTES = 1 << 20

# What a cache of formatted text holds before it starts afresh, and the
# largest key it takes (a larger one is formatted each time: it is rare).
MEMO_ENTRIES = 8192
MEMO_BYTES = 1 << 20
MEMO_KEY = 4096

# Text a command holds before writing it out, and the bytes of the rows of
# one Arrow batch: a line or a row is as large as the frame it shows.
OUT_CHARS = 1 << 20
BATCH_BYTES = 16 << 20


class KeyBudget:
    """Whether a summary table may count one more key on its own."""

    __slots__ = ("keys", "size")

    def __init__(self) -> None:
        self.keys = 0
        self.size = 0

    def take(self, size: int) -> bool:
        """True, and the key counted, if one of ``size`` bytes still fits."""
        if self.keys >= MAX_KEYS or self.size + size > KEY_BYTES:
            return False
        self.keys += 1
        self.size += size
        return True


K = TypeVar("K", bound=Hashable)
V = TypeVar("V")


class Memo(Generic[K, V]):
    """Formatted text by what it was formatted from: sessions repeat their
    requests and event types, so each is formatted once. Bounded in entries
    and in the bytes of the keys; a key too large for it is never kept."""

    __slots__ = ("entries", "size", "get")

    def __init__(self) -> None:
        self.entries: Dict[K, V] = {}
        self.size = 0
        # The dict's own get, called for every frame: put clears the dict, never replaces it.
        self.get: Callable[[K], Optional[V]] = self.entries.get

    def put(self, key: K, value: V, size: int) -> V:
        """Keeps value for key, whose bytes are size; returns value."""
        if size <= MEMO_KEY:
            if len(self.entries) >= MEMO_ENTRIES or self.size >= MEMO_BYTES:
                self.entries.clear()
                self.size = 0
            self.entries[key] = value
            self.size += size
        return value

