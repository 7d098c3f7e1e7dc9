"""What the tests of the session tools (python -m qvcore_session) share: the
tools run in this process or in a fresh one, the hand-written session file
`mixed` (a test module takes the fixture by importing mixed_session), and
show's lines without their times.
"""

import os
import subprocess
import sys

import pytest
import session_files as sf

import qvcore_session

SHIM = qvcore_session.shim_path()


def tool(*args, env=None, check=True):
    """python -m qvcore_session ARGS in a fresh interpreter, without any preload (nor valgrind)."""
    e = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    e.pop("LD_PRELOAD", None)
    e.update(env or {})
    proc = subprocess.run([sys.executable, "-m", "qvcore_session", *map(str, args)], capture_output=True, text=True,
                          env=e, timeout=300)
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def run_main(capsys, *args):
    code = qvcore_session.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(name="mixed")
def mixed_session(tmp_path):
    """A session file written by hand (session_files.mixed_session): two threads,
    nesting, null and empty message types, a gap of lost frames."""
    path = tmp_path / "mixed.qvs"
    path.write_bytes(sf.mixed_session())
    return path


def body(lines):
    """show's lines without the time: (thread, indented text)."""
    return [(int(line[16:23]), line[24:]) for line in lines if not line.startswith("#")]
