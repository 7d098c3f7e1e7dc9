"""recover: write into their session files what dead writers left in their
rings (a writer killed outright, or every process of a PID namespace whose
first process was). Without arguments it looks in /dev/shm and /tmp, where
recordings keep their rings, for this user's."""

from __future__ import annotations

import os
import sys
from typing import List

from .record import PREFIX, _shown, describe, incomplete
from .rings import RingError, recover, rings_in, status

PLACES = ("/dev/shm", "/tmp")


def _rings(targets: List[str]) -> List[str]:
    found: List[str] = []
    for t in targets or list(PLACES):
        found += rings_in(t) if os.path.isdir(t) else [t]
    me = os.getuid()
    return [r for r in found if not targets and os.stat(r).st_uid == me or targets]


def run(targets: List[str]) -> int:
    code, done = 0, 0
    for ring in _rings(targets):
        try:
            s = status(ring)
            if not s.left_behind:
                if targets:
                    why = "its writer is still running" if s.writer_running else f"its session is {s.state}"
                    print(f"{PREFIX}: {ring}: nothing to recover: {why}", file=sys.stderr)
                continue
            s = recover(ring)
        except RingError as e:
            print(f"{PREFIX}: {ring}: {e}", file=sys.stderr)
            code = 1
            continue
        done += 1
        print(f"{PREFIX}: recovered {_shown(s.session)} (pid {s.pid}): {describe(s)}", file=sys.stderr)
        code = code or (1 if incomplete(s) else 0)
        if os.path.exists(ring):
            os.unlink(ring)  # left for whoever gave its folder: that is us now
    if done == 0 and code == 0:
        print(f"{PREFIX}: nothing to recover", file=sys.stderr)
    return code
