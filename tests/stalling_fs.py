"""A file system that stops answering writes on command, for the recorder's
tests: a passthrough of ROOT mounted at MOUNT whose every write blocks while
the file CONTROL exists.

    python stalling_fs.py ROOT MOUNT CONTROL      (stays in the foreground)
"""

import errno
import os
import sys
import time

from fuse import FUSE, FuseOSError, Operations


class Stalling(Operations):
    def __init__(self, root, control):
        self.root = root
        self.control = control

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise FuseOSError(e.errno) from None
        return {k: getattr(st, k) for k in ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid",
                                            "st_atime", "st_mtime", "st_ctime")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def access(self, path, mode):
        if not os.access(self._path(path), mode):
            raise FuseOSError(errno.EACCES)

    def chmod(self, path, mode):
        os.chmod(self._path(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self._path(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._path(path), times)

    def unlink(self, path):
        os.unlink(self._path(path))

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        return {k: getattr(st, k) for k in ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail",
                                            "f_ffree", "f_files", "f_flag", "f_frsize", "f_namemax")}

    def open(self, path, flags):
        return os.open(self._path(path), flags & ~os.O_NONBLOCK)

    def create(self, path, mode, fi=None):
        return os.open(self._path(path), os.O_WRONLY | os.O_CREAT, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        while os.path.exists(self.control):
            time.sleep(0.01)
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        with open(self._path(path), "r+b") as f:
            f.truncate(length)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)
        return 0


if __name__ == "__main__":
    root, mount, control = sys.argv[1:4]
    FUSE(Stalling(root, control), mount, foreground=True, nothreads=False, allow_other=False)
