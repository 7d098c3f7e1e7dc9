"""The files the tools write (export, trace)."""

from __future__ import annotations

import os
import stat


def create_like(out: str, session: str) -> None:
    """Creates (or empties) out with the session file's permission bits, before
    anything is written to it: a session may hold account data, and what is
    exported from it is no less private (a 0600 session gives a 0600 export)."""
    mode = stat.S_IMODE(os.stat(session).st_mode)
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    try:
        os.fchmod(fd, mode)  # the umask, or an earlier file at the name, may have left others
    finally:
        os.close(fd)
