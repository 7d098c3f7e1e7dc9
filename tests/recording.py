"""What the recorder's tests share: the shim, and the environment and checks
of a subprocess recorded with it preloaded."""

import os

import qvcore_session

SHIM = qvcore_session.shim_path()
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def shim_env(path=None, **extra):
    """The environment of a recorded subprocess: the shim preloaded after
    whatever is preloaded already (the sanitizer runtimes must come first),
    colon-separated (valgrind drops its own entries from a child's list by
    colons, and would drop a space-separated shim with them)."""
    preload = ":".join(p for p in (os.environ.get("LD_PRELOAD", ""), SHIM) if p)
    env = {"LD_PRELOAD": preload}
    if path is not None:
        env.update(C_SDK_RECORD="1", C_SDK_RECORD_FILE=str(path))
    env.update(extra)
    return env


def recorder_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("c_sdk recorder:")]


def checked(proc):
    assert proc.returncode == 0, proc.stderr
    return proc


# For a recorded program: the pid of its writer, a grandchild (the process
# that starts it stays its parent), once the first recorded call started it.
FIND_WRITER = r'''
def writer_pid():
    import os
    def kids(pid):
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(k) for k in f.read().split()]
    for middle in kids(os.getpid()):
        for k in kids(middle):
            with open(f"/proc/{k}/comm") as f:
                if f.read().strip() == "qvrec-writer":
                    return k
'''
