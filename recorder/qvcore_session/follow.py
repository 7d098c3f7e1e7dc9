"""Following session files as their writers grow them.

``Follow`` reads one file: each ``poll`` gives the complete frames written
since the last. A frame the file ends inside of, or whose checksum fails,
is a tail still being written: it is read again on the next poll, and only
once the writer has ended is it torn (``Session.torn``). The writer holds
an exclusive flock on its file until it ends; we learn that from
/proc/locks rather than by taking a lock of our own, which would stand in
the way of a recovery (it takes the file over with a lock). A file whose
name comes to hold another file (a new process, a rotation) is read to its
end first, then the new one is followed.

``Watch`` follows a name or a glob pattern (``session-*.qvs``; ``%p`` is a
glob's ``*`` here), taking up each new file that matches.
"""

from __future__ import annotations

import glob
import mmap
import os
import stat
import time
from typing import Callable, Dict, Iterator, List, Optional, Tuple

from .reader import Session, SessionError, Span

# How often a follower looks again, and how often a pattern is matched anew.
POLL = 0.1
RESCAN = 1.0


def _locked_inodes() -> Optional[set]:
    """(device, inode) of every file an flock is held on, or None when /proc/locks cannot be read."""
    try:
        with open("/proc/locks", "rb") as f:
            text = f.read()
    except OSError:
        return None
    held = set()
    for line in text.splitlines():
        parts = line.split()
        # "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" after the number
        if len(parts) < 6 or parts[1] == b"->" or parts[1] != b"FLOCK":
            continue
        try:
            major, minor, inode = parts[5].split(b":")
            held.add((os.makedev(int(major, 16), int(minor, 16)), int(inode)))
        except ValueError:
            continue
    return held


class Locks:
    """Whether a writer holds a file: /proc/locks, else a shared lock tried and let go at once."""

    @staticmethod
    def writing(fd: int) -> bool:
        held = _locked_inodes()
        st = os.fstat(fd)
        if held is not None:
            return (st.st_dev, st.st_ino) in held
        import fcntl

        try:
            with open(f"/proc/self/fd/{fd}", "rb") as f:
                fcntl.flock(f.fileno(), fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        except OSError:
            return False
        return False


LOCKS = Locks()


class Follow:
    """One session file, read as its writer grows it.

    ``session`` is None until the file holds its whole header. After each
    ``poll``: ``writing`` says whether a writer still holds the file,
    ``ended`` whether it has ended and everything it wrote has been read
    (the torn tail, if any, in ``session.torn``). ``notes`` collects what a
    reader should be told (a new file at the name)."""

    def __init__(self, path: str, on_new: Optional[Callable[[Session], None]] = None):
        self.path = path
        self.fd = -1
        self.inode: Tuple[int, int] = (0, 0)
        self.session: Optional[Session] = None
        self.position = 0
        self.count = 0
        self.writing = True
        self.ended = False
        self.on_new = on_new  # told of each new file's session once its header is read
        self.notes: List[str] = []
        self.seen = -1
        self.retired = False
        self._opened = time.monotonic()
        self._open()

    def _open(self) -> bool:
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
        except FileNotFoundError:
            return False
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            os.close(fd)
            raise SessionError(f"{self.path} is not a regular file")
        if self.fd >= 0:
            os.close(self.fd)
        self.fd, self.inode = fd, (st.st_dev, st.st_ino)
        self.session, self.position, self.count, self.writing, self.ended = None, 0, 0, True, False
        self.retired = False
        self.seen = -1  # the size at the last poll
        self._opened = time.monotonic()
        return True

    def retire(self) -> None:
        """After its end: lets the file go (a pattern may match a day of them),
        keeping what is needed to notice a new file at the name."""
        if self.ended and self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
            self.retired = True

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def _header(self) -> bool:
        """Reads the header once the file holds it; a writer that ended without one leaves no session."""
        writing = LOCKS.writing(self.fd)
        try:
            self.session = Session(self.path, fd=self.fd)
        except SessionError:
            if writing or os.fstat(self.fd).st_size == 0 and time.monotonic() - self._opened < 1.0:
                return False  # still being made
            raise
        self.position = self.session.header.size
        if self.on_new is not None:
            self.on_new(self.session)
        return True

    def _replaced(self) -> bool:
        """The name now holds another file than the one read."""
        try:
            st = os.stat(self.path)
        except OSError:
            return False
        return (st.st_dev, st.st_ino) != self.inode

    def poll(self) -> Iterator[Span]:
        """The complete frames written since the last poll; ``ended`` once a
        poll has found nothing new and no writer."""
        if self.retired or not self.ready():
            return
        s = self.session
        assert s is not None
        size = os.fstat(self.fd).st_size
        if size < self.position:
            self.notes.append(f"{self.path} was cut to {size} bytes, shorter than what was read: reading it anew")
            self._open()
            return
        if size == self.seen:
            # Nothing new since the last poll: has the writer ended? That is asked
            # before the size is again, so that an end seen here means that all it
            # wrote is in what is read next. A file that grows is not asked.
            writing = LOCKS.writing(self.fd)
            size = os.fstat(self.fd).st_size
            self.writing = writing
            self.ended = not writing
        if size != self.seen:
            self.seen = size
            if size > self.position:
                # A new mapping per poll that finds more; an earlier one goes once
                # nothing refers to its view (a caller may still hold a frame of it).
                mv = memoryview(mmap.mmap(self.fd, size, access=mmap.ACCESS_READ))
                try:
                    yield from s.walk(mv, self.position, self.count)
                finally:
                    self.position, self.count = s.position, s.frame_count
        # A torn tail (s.torn) is one still being written until the writer ends.

    def ready(self) -> bool:
        """The file is there and its header read (a file that cannot be a session raises SessionError)."""
        if self.retired or self.fd < 0 and not self._open():
            return False
        return self.session is not None or self._header()

    def started(self, idle: Callable[[], None] = lambda: None) -> Session:
        """Waits for the file's header and first frame (or its writer's end
        without one): what the first line and the seconds of --from count from."""
        while True:
            if self.ready():
                assert self.session is not None
                if self.session.first_start() is not None or not LOCKS.writing(self.fd):
                    return self.session
            idle()
            time.sleep(POLL)

    def spans(self, idle: Callable[[], None] = lambda: None,
              stop: Callable[[], bool] = lambda: False) -> Iterator[Span]:
        """The frames as they come until the writer has ended (or stop() says
        so); idle() is called before each wait for more."""
        while True:
            yield from self.poll()
            if self.ended or stop():
                return
            idle()
            time.sleep(POLL)

    def renewed(self) -> bool:
        """After its end: takes up a new file at the name, if there is one (True)."""
        if not self.ended or not self._replaced():
            return False
        old = self.session
        if not self._open():
            return False
        if old is not None:
            self.notes.append(f"{self.path}: a new session file at this name; following it")
        return True


def is_pattern(name: str) -> bool:
    return "%p" in name or any(c in name for c in "*?[")


class Watch:
    """The session files of a name or a pattern, each followed."""

    def __init__(self, name: str, on_new: Optional[Callable[[Session], None]] = None):
        self.name = name
        self.pattern = name.replace("%p", "*") if is_pattern(name) else None
        self.on_new = on_new
        self.files: Dict[str, Follow] = {}
        self._scanned = -RESCAN
        self.notes: List[str] = []
        if self.pattern is None:
            self.files[name] = Follow(name, on_new)

    def scan(self) -> None:
        """Takes up the files that have come to match the pattern (at most once per RESCAN seconds)."""
        now = time.monotonic()
        if self.pattern is None or now - self._scanned < RESCAN:
            return
        self._scanned = now
        for path in sorted(glob.glob(self.pattern)):
            if path not in self.files and not path.endswith(".failed"):
                try:
                    self.files[path] = Follow(path, self.on_new)
                except (OSError, SessionError) as e:
                    self.notes.append(str(e))
