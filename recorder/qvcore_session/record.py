"""record: run a command with the recording shim preloaded and recording on,
then say where each session file is and what it holds.

The file name holds the process id (%p) by default, so that every process
of the command that makes core calls records into a file of its own; a
name that exists already is kept, and the new session takes the next free
numbered name (day.qvs, day.1.qvs, ...). Only processes that call the core
start a writer. Their rings go into a folder of record's own; from each,
record learns the file its writer created and what the writer counted, so
it never reads the sessions again and never takes another run's file for
this one's. It waits for the writers, not for whatever else the command
left running, and writes what a writer that died had not written yet.
"""

from __future__ import annotations

import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional

from .render import duration, size
from .rings import RingError, Status, failures_in, recover, rings_in, status, wait_unlocked, writer_program

PREFIX = "qvcore_session"


def shim_path() -> str:
    """The recording shim installed next to this package."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "qvcore_recorder.so")


def environment(pattern: str, max_bytes: Optional[str] = None, core: Optional[str] = None,
                base: Optional[Dict[str, str]] = None, rings: Optional[str] = None) -> Dict[str, str]:
    """The environment of a recorded command: the shim after whatever is
    preloaded already (colon-separated), recording on, into pattern."""
    env = dict(os.environ if base is None else base)
    env["LD_PRELOAD"] = ":".join(p for p in (env.get("LD_PRELOAD", ""), shim_path()) if p)
    env["C_SDK_RECORD"] = "1"
    env["C_SDK_RECORD_FILE"] = pattern
    for key, value in (("C_SDK_RECORD_MAX_BYTES", max_bytes), ("C_SDK_RECORD_CORE", core),
                       ("C_SDK_RECORD_RING_DIR", rings)):
        if value is not None:
            env[key] = value
        else:
            env.pop(key, None)
    return env


KINDS = ((stat.S_ISLNK, "a symbolic link"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
         (stat.S_ISBLK, "a device"), (stat.S_ISDIR, "a folder"), (stat.S_ISSOCK, "a socket"))


def output_problem(pattern: str) -> Optional[str]:
    """Why the recorder could not write there, asked before the command runs."""
    folder = os.path.dirname(pattern)
    if not os.path.isdir(folder):
        return f"{folder}: no such folder"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"{folder}: not writable"
    if "%p" in pattern:
        return None
    try:
        mode = os.lstat(pattern).st_mode
    except FileNotFoundError:
        return None
    if stat.S_ISREG(mode):
        return None  # an earlier recording: kept, the new one takes the next free name
    kind = next((name for test, name in KINDS if test(mode)), "of another kind")
    return f"{pattern} exists and is not a regular file ({kind})"


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def describe(s: Status) -> str:
    """One line: calls, events, failures, size, span, and whatever is missing."""
    span = duration(s.last_ns - s.first_ns) if s.last_ns > s.first_ns else "0 ns"
    text = (f"{_plural(s.calls, 'call')}, {_plural(s.events, 'event')}, {_plural(s.failures, 'failure')}, "
            f"{size(s.file_bytes)}, span {span}")
    if s.salvaged:
        text += f"; its writer died: {_plural(s.salvaged, 'frame')} recovered from its buffers"
    if s.lost_frames:
        text += f"; {s.lost_frames} frames lost (show or stats says where)"
    if s.damaged:
        text += "; a buffer was damaged and its rest is lost"
    if s.state == "stopped" and s.stop:
        text += f"; stopped early: {s.stop.split(': ', 1)[-1]}"
    return text


def incomplete(s: Status) -> bool:
    return bool(s.lost_frames or s.damaged or s.state != "complete")


def _shown(path: str) -> str:
    return path.replace(os.getcwd() + os.sep, "", 1)


def collect(folder: str, wait: float) -> bool:
    """Reports every ring of the folder once its writer has ended (at most
    `wait` seconds in all), recovering what a dead writer left. True when
    every session is complete."""
    whole = True
    for line in failures_in(folder):
        print(f"{PREFIX}: not recorded: {line.removeprefix('c_sdk recorder: ')}", file=sys.stderr)
        whole = False
    deadline = time.monotonic() + wait
    for ring in rings_in(folder):
        finished = wait_unlocked(ring, max(0.0, deadline - time.monotonic()))
        try:
            s = status(ring)
            if s.left_behind and not s.process_running:
                s = recover(ring)
        except RingError as e:
            print(f"{PREFIX}: {ring}: {e}", file=sys.stderr)
            whole = False
            continue
        name = _shown(s.session)
        if not finished:
            print(f"{PREFIX}: {name}: still being written after {wait:g} s (pid {s.pid} runs on); "
                  f"what is there so far:", file=sys.stderr)
        print(f"{PREFIX}: recorded {name} (pid {s.pid}): {describe(s)}", file=sys.stderr)
        whole = whole and finished and not incomplete(s)
        if finished:
            os.unlink(ring)
    return whole


def exit_status(returncode: int) -> int:
    """A shell's: the command's own status, or 128 + the signal that ended it."""
    return 128 - returncode if returncode < 0 else returncode


def ring_folder() -> str:
    shm = "/dev/shm"
    return tempfile.mkdtemp(prefix="qvrec-record-", dir=shm if os.access(shm, os.W_OK | os.X_OK) else None)


def record(command: List[str], pattern: str = "session-%p.qvs", max_bytes: Optional[str] = None,
           core: Optional[str] = None, wait: float = 30.0) -> int:
    pattern = os.path.abspath(pattern)  # the command may change its directory
    for needed in (shim_path(), writer_program()):
        if not os.path.exists(needed):
            print(f"{PREFIX}: the recorder is not installed whole: {needed} is missing", file=sys.stderr)
            return 1
    problem = output_problem(pattern)
    if problem is not None:
        print(f"{PREFIX}: cannot record: {problem}", file=sys.stderr)
        return 2
    folder = ring_folder()
    try:
        return _record(command, pattern, max_bytes, core, wait, folder)
    except KeyboardInterrupt:
        print(f"{PREFIX}: interrupted; what the writers left is in {folder} "
              f"(python -m qvcore_session recover {folder})", file=sys.stderr)
        return 130
    finally:
        if not rings_in(folder):
            shutil.rmtree(folder, ignore_errors=True)


def _record(command: List[str], pattern: str, max_bytes: Optional[str], core: Optional[str], wait: float,
            folder: str) -> int:
    env = environment(pattern, max_bytes, core, rings=folder)
    try:
        proc = subprocess.Popen(command, env=env)
    except OSError as e:
        print(f"{PREFIX}: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
        return 127
    # Like a shell: Ctrl-C goes to the command, which decides; we stay to report.
    previous = {sig: signal.signal(sig, signal.SIG_IGN) for sig in (signal.SIGINT, signal.SIGQUIT)}
    forward = signal.signal(signal.SIGTERM, lambda sig, _frame: proc.send_signal(sig))
    try:
        returncode = proc.wait()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        signal.signal(signal.SIGTERM, forward)
    if not rings_in(folder) and not failures_in(folder):
        print(f"{PREFIX}: no session recorded: {os.path.basename(command[0])} made no core call "
              f"(no file {_shown(pattern)})", file=sys.stderr)
        return exit_status(returncode)
    whole = collect(folder, wait)
    status_ = exit_status(returncode)
    # A loss never looks like success: a command that succeeded with an
    # incomplete recording ends with 1.
    return 1 if status_ == 0 and not whole else status_
