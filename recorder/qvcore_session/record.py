"""record: run a command with the recording shim preloaded and recording on,
then say where each session file is and what it holds.

The file name holds the process id (%p) by default, so that every process
of the command that makes core calls records into a file of its own. A
file is complete once its writer lets go of the exclusive lock it holds
on it while writing: record takes a shared lock on each before reading it.

A writer creates its file when it takes the first frame, and it takes the
last ones after its process has ended: a command killed outright or
crashed may be gone before its files exist. So record adopts the command's
orphans (a child subreaper), the writers among them, and waits for its
writers to end before it looks for files.
"""

from __future__ import annotations

import ctypes
import fcntl
import glob
import os
import re
import signal
import subprocess
import sys
import time
from typing import Dict, List, Optional, Tuple

from .reader import Session, SessionError
from .render import duration, size


def shim_path() -> str:
    """The recording shim installed next to this package."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "qvcore_recorder.so")


def environment(pattern: str, max_bytes: Optional[str] = None, core: Optional[str] = None,
                base: Optional[Dict[str, str]] = None) -> Dict[str, str]:
    """The environment of a recorded command: the shim after whatever is
    preloaded already (colon-separated), recording on, into pattern."""
    env = dict(os.environ if base is None else base)
    env["LD_PRELOAD"] = ":".join(p for p in (env.get("LD_PRELOAD", ""), shim_path()) if p)
    env["C_SDK_RECORD"] = "1"
    env["C_SDK_RECORD_FILE"] = pattern
    for key, value in (("C_SDK_RECORD_MAX_BYTES", max_bytes), ("C_SDK_RECORD_CORE", core)):
        if value is not None:
            env[key] = value
        else:
            env.pop(key, None)
    return env


def matching(pattern: str, since: float) -> List[Tuple[str, Optional[int]]]:
    """The files the pattern names that were written to since then, with the
    process id each name holds (None without %p)."""
    if "%p" not in pattern:
        return [(pattern, None)] if os.path.exists(pattern) and os.path.getmtime(pattern) >= since else []
    parts = [re.escape(p) for p in pattern.split("%p")]
    name = re.compile("^" + r"(\d+)".join(parts) + "$")
    found = []
    for path in glob.glob(glob.escape(pattern).replace("%p", "*")):
        m = name.match(path)
        if m and os.path.getmtime(path) >= since:
            pids = {int(g) for g in m.groups()}
            found.append((path, pids.pop() if len(pids) == 1 else None))
    return sorted(found, key=lambda f: (f[1] or 0, f[0]))


PR_SET_CHILD_SUBREAPER = 36
WRITER_NAME = "qvrec-writer"


def adopt_orphans(on: bool) -> bool:
    """Makes this process (or no longer) the reaper of its descendants' orphans."""
    try:
        return int(ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, int(on), 0, 0, 0)) == 0
    except (OSError, AttributeError):
        return False


def _writer_children() -> List[int]:
    """This process's children named qvrec-writer; ended ones are reaped."""
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, ppid = f.read().rpartition(")")[2].split()[:2]
            with open(f"/proc/{entry}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        if int(ppid) != me or comm != WRITER_NAME:
            continue
        if state == "Z":
            try:
                os.waitpid(int(entry), os.WNOHANG)
            except ChildProcessError:
                pass
            continue
        found.append(int(entry))
    return found


def wait_writers(timeout: float) -> bool:
    """Waits until the adopted writers have ended, at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while _writer_children():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def wait_complete(path: str, timeout: float) -> bool:
    """Waits until no writer holds the file (a shared lock is granted), at most timeout seconds."""
    deadline = time.monotonic() + timeout
    with open(path, "rb") as f:
        while True:
            try:
                fcntl.flock(f.fileno(), fcntl.LOCK_SH | fcntl.LOCK_NB)
                fcntl.flock(f.fileno(), fcntl.LOCK_UN)
                return True
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    return False
                time.sleep(0.02)


def summary(path: str) -> str:
    """One line: calls, events, failures, size, span (and what was lost or torn)."""
    from .stats import tally

    s = Session(path)
    t = tally(s)
    calls, events, failures = t.call_count(), t.event_count(), t.failure_count()
    span = duration(t.last - t.first) if t.last > t.first else "0 ns"
    text = (f"{calls} call{'s' if calls != 1 else ''}, {events} event{'s' if events != 1 else ''}, "
            f"{failures} failure{'s' if failures != 1 else ''}, {size(os.path.getsize(path))}, span {span}")
    lost = t.gaps.total()
    if lost:
        text += f"; {lost} frames lost (show or stats says where)"
    if s.torn is not None:
        text += f"; a torn last frame at byte {s.torn[0]}"
    return text


def exit_status(returncode: int) -> int:
    """A shell's: the command's own status, or 128 + the signal that ended it."""
    return 128 - returncode if returncode < 0 else returncode


def record(command: List[str], pattern: str = "session-%p.qvs", max_bytes: Optional[str] = None,
           core: Optional[str] = None, wait: float = 30.0) -> int:
    pattern = os.path.abspath(pattern)  # the command may change its directory
    shim = shim_path()
    if not os.path.exists(shim):
        print(f"qvcore_session: the recording shim is missing ({shim})", file=sys.stderr)
        return 1
    since = time.time() - 1.0  # file times are coarser than the clock
    env = environment(pattern, max_bytes, core)
    adopted = adopt_orphans(True)
    try:
        proc = subprocess.Popen(command, env=env)
    except OSError as e:
        adopt_orphans(False)
        print(f"qvcore_session: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
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
    deadline = time.monotonic() + wait  # for the writers and the files together
    if adopted:
        wait_writers(wait)  # one still writing is reported below, file by file
        adopt_orphans(False)
    files = matching(pattern, since)
    shown = pattern.replace(os.getcwd() + os.sep, "", 1)
    if not files:
        print(f"qvcore_session: no session recorded: {os.path.basename(command[0])} made no core call "
              f"(no file {shown})", file=sys.stderr)
    for path, pid in files:
        name = path.replace(os.getcwd() + os.sep, "", 1)
        if not wait_complete(path, max(0.0, deadline - time.monotonic())):
            print(f"qvcore_session: {name}: still being written after {wait:g} s; what is there so far:",
                  file=sys.stderr)
        try:
            text = summary(path)
        except (OSError, SessionError) as e:
            text = f"unreadable ({e})"
        who = f" (pid {pid})" if pid is not None else ""
        print(f"qvcore_session: recorded {name}{who}: {text}", file=sys.stderr)
    return exit_status(returncode)
