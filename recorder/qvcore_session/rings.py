"""The recording buffers (rings) that a recording process shares with its
writer, seen from the session tools. Each is a file, qvrec-<pid>-<id>.ring,
under /dev/shm or the folder that C_SDK_RECORD_RING_DIR names. The writer
program, qvrec-writer, reads them for us: ``--status`` says what a session
holds as its writer counted it, ``--recover`` writes what a dead writer
left into the session file. A process whose recording could not start
leaves a qvrec-<pid>-<id>.failed note with its line in a folder given by
C_SDK_RECORD_RING_DIR.
"""

from __future__ import annotations

import fcntl
import json
import os
import signal
import subprocess
import threading
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional


class RingError(Exception):
    """One line: why a ring could not be read or recovered."""


def writer_program() -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "qvrec-writer")


@dataclass
class Status:
    """What a session holds, as its writer (or a salvage) counted it."""

    ring: str
    session: str
    pid: int
    state: str  # writing, complete, stopped
    writer_running: bool
    process_running: bool
    file_bytes: int
    frames: int
    calls: int
    events: int
    failures: int
    lost_frames: int
    lost_bytes: int
    first_ns: int
    last_ns: int
    wall_ns: int
    mono_ns: int
    salvaged: int
    damaged: bool
    stop: Optional[str]

    @property
    def left_behind(self) -> bool:
        """Its writer died before the session was complete."""
        return self.state == "writing" and not self.writer_running


def _run(option: str, ring: str) -> Status:
    proc = subprocess.run([writer_program(), option, ring], capture_output=True, text=True)
    if proc.returncode != 0:
        line = proc.stderr.strip().splitlines()
        raise RingError(line[-1].removeprefix("qvrec-writer: ") if line else f"qvrec-writer failed ({proc.returncode})")
    fields: Dict[str, Any] = json.loads(proc.stdout)
    return Status(**fields)


def status(ring: str) -> Status:
    return _run("--status", ring)


def recover(ring: str) -> Status:
    """Writes what a dead writer left; refused while its writer or its process runs."""
    return _run("--recover", ring)


def rings_in(folder: str) -> List[str]:
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return sorted(os.path.join(folder, n) for n in names if n.startswith("qvrec-") and n.endswith(".ring"))


def failures_in(folder: str) -> List[str]:
    """The lines of processes whose recording could not start."""
    lines = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if name.startswith("qvrec-") and name.endswith(".failed"):
            with open(os.path.join(folder, name), errors="replace") as f:
                lines.append(f.read().strip())
    return lines


def wait_unlocked(path: str, timeout: float) -> bool:
    """Waits until no writer holds the file, at most timeout seconds, asleep
    in flock in a thread of its own. Signals go to the main thread, which
    waits in short slices, so that Ctrl-C ends the wait at once."""
    done = threading.Event()

    def take() -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGQUIT})
        try:
            with open(path, "rb") as f:
                fcntl.flock(f.fileno(), fcntl.LOCK_SH)
        except OSError:
            pass
        done.set()

    threading.Thread(target=take, daemon=True).start()
    deadline = time.monotonic() + timeout
    while not done.wait(min(0.25, max(0.0, deadline - time.monotonic()))):
        if time.monotonic() >= deadline:
            return False
    return True
