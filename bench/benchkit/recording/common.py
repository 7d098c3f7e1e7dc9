"""What every measurement of the recording shim shares: where things are, the
environment of each mode, this run's results file, and the shim's writer
process."""

import json
import os
import signal
import subprocess
import sys
import sysconfig
import time

from ..paths import BENCH, OUT as BENCH_OUT, ROOT, STAGE

OUT = os.path.join(BENCH_OUT, "recorder")
SHIM = os.path.join(STAGE, "qvcore_recorder.so")
RESULTS = os.path.join(OUT, "results.json")
MARKDOWN = os.path.join(BENCH, "recorder.md")
BEFORE = os.path.join(BENCH, "recorder-before.json")
SCRIPT = os.path.join(BENCH, "recorder.py")
OPS = ["request_response", "request_response_kw", "adapter_bytes", "adapter_str", "setter12", "event"]
LETTERS = dict(zip(OPS, "abcdef"))
NO_SHIM, OFF, RECORDING = "no shim", "shim off", "recording"
MODES = [NO_SHIM, OFF, RECORDING]
# The shim's writer names itself so (prctl PR_SET_NAME); it is a child of the recorded process.
WRITER_COMM = "qvrec-writer"
# What a worker prints on stdout for the process that started it, one JSON object a line.
RESULT_PREFIX = "bench-recorder: "


def pythonpath():
    return [OUT, BENCH, os.path.join(ROOT, "standin", "qv"), os.path.join(ROOT, "standin", "python"), STAGE]


def build_benchctl():
    """bench/ctl/benchctl.c on its own (callgrind's client requests, the per-call clock), without the peers' build."""
    os.makedirs(OUT, exist_ok=True)
    target = os.path.join(OUT, "benchctl" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(BENCH, "ctl", "benchctl.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", source, "-o",
                        target], check=True)


# Every measured process gets an environment of this size (padded), whatever
# its mode and whoever started it (make adds variables of its own): the
# environment's size moves the interpreter's first allocations, and with them
# a count by 1-2%.
ENV_SIZE = 4096


def env_for(mode, session):
    """The environment of a process measured in mode: the shim preloaded unless
    "no shim", recording into session when the mode records; nothing else of
    the caller's but PATH and HOME."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.environ.get("HOME", "/"),
           "PYTHONHASHSEED": "0", "PYTHONPATH": os.pathsep.join(pythonpath()), "QVCORE_STANDIN": "1"}
    if mode != NO_SHIM:
        env["LD_PRELOAD"] = SHIM
    if mode.startswith(RECORDING):
        env.update(C_SDK_RECORD="1", C_SDK_RECORD_FILE=session)
    used = sum(len(k) + len(v) + 2 for k, v in env.items()) + len("BENCH_PAD=") + 1
    env["BENCH_PAD"] = "x" * max(0, ENV_SIZE - used)
    return env


def say(obj):
    """A worker's result, for the process that started it."""
    print(RESULT_PREFIX + json.dumps(obj), flush=True)


def said(stdout):
    """The results a worker printed with say()."""
    return [json.loads(line[len(RESULT_PREFIX):]) for line in stdout.splitlines() if line.startswith(RESULT_PREFIX)]


# ---- the writer process ---------------------------------------------------------------


def _stat(pid):
    """(state, ppid) of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()  # the name, in parentheses, may hold spaces
    return fields[0], int(fields[1])


def _comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return None


# The shim starts its writer as a grandchild (the middle process that starts
# it stays its parent), so that it is never the recorded process's own child;
# a recorded process started through this prefix is a child subreaper (kept
# across exec), so that a writer orphaned all the same is found as well.
SUBREAPER = [sys.executable, "-c", "import ctypes, os, sys; ctypes.CDLL(None).prctl(36, 1, 0, 0, 0); "
             "os.execvp(sys.argv[1], sys.argv[1:])"]


def writers(pid):
    """The pids of pid's children and grandchildren named qvrec-writer."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            st = _stat(entry)
            if st:
                parents[int(entry)] = st[1]
    near = {p for p, parent in parents.items() if parent == pid}
    near |= {p for p, parent in parents.items() if parent in near}
    return sorted(p for p in near if _comm(p) == WRITER_COMM)


def wait_for_writers(pid, seconds=3.0):
    """pid's writer processes, waiting a little for one to start."""
    deadline = time.monotonic() + seconds
    while True:
        found = writers(pid)
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def alive(pid):
    st = _stat(pid)
    return st is not None and st[0] != "Z"


def wait_gone(pids, seconds):
    deadline = time.monotonic() + seconds
    while any(alive(p) for p in pids):
        if time.monotonic() > deadline:
            sys.exit(f"bench/recorder.py: the writer process(es) {pids} still run after {seconds:.0f} s")
        time.sleep(0.1)


def stop(pid):
    """SIGSTOP, and wait until the process is stopped."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 2
    while (_stat(pid) or ("T",))[0] not in ("T", "t") and time.monotonic() < deadline:
        time.sleep(0.01)


def resume(pid):
    try:
        os.kill(pid, signal.SIGCONT)
    except ProcessLookupError:
        pass


# ---- this run's results --------------------------------------------------------------


def revision():
    """The commit measured, marked when the tree differs from it."""
    def git(*a):
        return subprocess.run(["git", "-C", ROOT, *a], capture_output=True, text=True).stdout.strip()

    rev = git("rev-parse", "--short", "HEAD") or "unknown"
    return rev + ("+changes" if git("status", "--porcelain", "--untracked-files=no") else "")


def load(path):
    if path and os.path.exists(path):
        with open(path) as f:
            return json.load(f)
    return {}


def save(section, data):
    """Puts one command's figures into this run's results.json, beside the others'."""
    results = load(RESULTS)
    results[section] = dict(data, revision=revision(), date=time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    os.makedirs(OUT, exist_ok=True)
    with open(RESULTS, "w") as f:
        json.dump(results, f, indent=1)
    return results


def wait_complete(path, seconds=120.0):
    """Waits until the writer has finished the session file: it holds an
    exclusive flock on it while it writes."""
    import fcntl

    if not os.path.exists(path):
        return
    deadline = time.monotonic() + seconds
    with open(path, "rb") as f:
        while True:
            try:
                fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
                fcntl.flock(f, fcntl.LOCK_UN)
                return
            except BlockingIOError:
                if time.monotonic() > deadline:
                    sys.exit(f"bench/recorder.py: {path} is still being written after {seconds:.0f} s")
                time.sleep(0.05)
