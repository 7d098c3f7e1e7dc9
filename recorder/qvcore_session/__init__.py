"""Reader of the session files that the recording core shim writes, and the
tools around them.

    qvcore-session record -- python strategy.py   # record a session (session-<pid>.qvs)
    qvcore-session show FILE     # the timeline, one line per call or event (filters: --help)
    qvcore-session stats FILE    # latency and failures per core function, rate per event type
    qvcore-session export FILE -o OUT.parquet   # one row per call or event (.arrow, .csv too)
    qvcore-session trace FILE -o OUT.json       # a timeline for Perfetto or chrome://tracing
    qvcore-session recover       # finish the sessions of writers that died
    qvcore-session shim          # the path of qvcore_recorder.so, for LD_PRELOAD

Every command streams: the file is read frame by frame through a memory map
and never held in memory as a whole. A file whose writer died ends with a
torn frame at most; reading stops before it and says so on stderr. A file
damaged otherwise raises ``SessionError`` (the commands: one line, status 1),
and what a command keeps while reading is bounded (limits.py), whatever the file.

``python -m qvcore_session`` does the same as ``qvcore-session``.
From Python, ``Session(path)`` gives the header and iterates ``Frame``
objects (see their attributes); ``Core.replay(path)`` in qvcore_standin
replays a file against the stand-in core.
"""

from __future__ import annotations

from .cli import main
from .reader import (CALL, CALL_CLOSE, CALL_OPEN, EVENT, EVENT_CLOSE, EVENT_OPEN, FLAG_MSG_NULL, KIND_NAMES, LOST,
                     MAGIC, VERSIONS, Session, SessionError)
from .record import shim_path
from .stats import _Latency
from .values import Buffer, Frame, Header, Pointer, Redacted, Response
from .version import __version__

VERSION = VERSIONS[-1]

__all__ = ["Frame", "Session", "SessionError", "shim_path", "main", "Header", "Buffer", "Pointer", "Redacted",
           "Response", "CALL", "CALL_OPEN", "CALL_CLOSE", "EVENT", "EVENT_OPEN", "EVENT_CLOSE", "LOST",
           "FLAG_MSG_NULL", "KIND_NAMES", "MAGIC", "VERSION", "VERSIONS", "_Latency", "__version__"]

