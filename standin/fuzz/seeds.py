"""Seeds for the replay fuzzer: session files written with the test suite's
helpers (tests/session_files.py, tests/crafted_sessions.py), one with every
argument, result and output the format has and calls nested inside events
inside calls, and with --record a real recording of the demo strategy.

    python standin/fuzz/seeds.py OUT_DIR [--record]
"""

import argparse
import os
import pathlib
import struct
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

from crafted_sessions import CASES, NESTING_LIMIT, nested, session  # noqa: E402
from session_files import call_close, event, event_close, event_open, frame, header, mixed_session  # noqa: E402

# Functions the stand-in has, by the argument and result kinds they record.
FUNCTIONS = ["qvi_run", "qvi_poll", "qvi_subscribe", "qvi_get_serv_addr", "qvi_now", "qvi_now_plus",
             "qvi_strerror", "qvi_get_encrypted_token", "qvi_set_token", "qvi_set_event_callback_pb",
             "qvi_get_cash_pb", "qvi_set_timer"]
RUN, POLL, SUB, ADDR, NOW, NOW_PLUS, STRERROR, TOKEN, SET_TOKEN, CALLBACK, CASH, TIMER = range(len(FUNCTIONS))
KEEP_CHECKSUMS = 0x8000  # header flag the harness reads: leave the checksums as they are


def text(data):
    return b"\x04" + struct.pack("<I", len(data)) + data + b"\0"


def status(value=0, out=b"\x00"):
    return b"\x01" + struct.pack("<q", value) + out


def call(fn, result, args, thread=7):
    return frame(1, fn, thread, 100, 5, result + args)


def every_part():
    """Every argument tag, result tag and output kind, and a call inside an
    event inside a call."""
    secret = b"<redacted: 12 bytes>"
    frames = [
        call(CALLBACK, b"\x00\x00", b"\x01\x09\x01"),
        call(SUB, status(), b"\x03" + text(b"SHSE.600000") + b"\x05" + b"\x03\x01"),
        call(ADDR, status(0, b"\x02" + text(b"addr:1")), b"\x02" + text(b"1") + b"\x08\x01"),
        call(ADDR, status(0, b"\x02\x05"), b"\x02" + text(b"2") + b"\x08\x00"),
        call(NOW, status(1_700_000_000_000), b"\x00"),
        call(NOW_PLUS, b"\x02" + struct.pack("<d", 1.5) + b"\x00", b"\x00"),
        call(STRERROR, b"\x04" + struct.pack("<I", 5) + b"error\0\x00", b"\x01\x01" + struct.pack("<q", 3)),
        call(TOKEN, b"\x06" + struct.pack("<II", 12, len(secret)) + secret + b"\0\x00", b"\x00"),
        call(SET_TOKEN, status(), b"\x01\x06" + struct.pack("<II", 12, len(secret)) + secret + b"\0"),
        call(TIMER, b"\x00\x00", b"\x02\x02" + struct.pack("<d", 0.25) + b"\x09\x01"),
        call(CASH, status(0, b"\x01\x00" + struct.pack("<i", 6) + b"cash=1"),
             b"\x03\x07" + struct.pack("<iB", 4, 1) + b"acct" + b"\x08\x01\x08\x01"),
        call(CASH, status(0, b"\x01\x01" + struct.pack("<i", 0)),
             b"\x03\x07" + struct.pack("<iB", -5, 0) + b"\x08\x00\x08\x00"),
        frame(2, RUN, 7, 100, -1, b"\x00"),
        event(b"tick", 7, 101, 5, b"p=1"),
        event_open(b"bar", 7, 102, b"b"),
        frame(2, POLL, 7, 103, -1, b"\x00"),
        event(None, 7, 104, 5, b"x"),
        call_close(POLL, 7, 103, 10),
        event_close(7, 102, 20),
        call_close(RUN, 7, 100, 50),
        frame(7, 0, 9, 200, 5, struct.pack("<QQI", 3, 300, 0)),
    ]
    return header(functions=FUNCTIONS) + b"".join(frames)


def torn(data):
    """data with its checksums kept and the last byte flipped: a torn last frame."""
    flags = struct.unpack_from("<H", data, 10)[0] | KEEP_CHECKSUMS
    data = data[:10] + struct.pack("<H", flags) + data[12:]
    return data[:-1] + bytes([data[-1] ^ 1])


def seeds():
    yield "mixed-v1", mixed_session(1)
    yield "mixed-v2", mixed_session(2)
    yield "every-part", every_part()
    yield "every-part-torn", torn(every_part())
    yield "nested-beyond-limit", session(nested(NESTING_LIMIT + 20))
    for i, (name, frames, *_rest) in enumerate(CASES):
        if "50,000" not in name:  # the limit is reached by the one above, in a 64 KiB input
            yield f"crafted-{i:02d}", session(frames)


def record_demo(out):
    """The demo strategy recorded through the shim, if this interpreter has it."""
    try:
        import qvcore_session
    except ImportError:
        return "no qvcore_session on this interpreter's path"
    if not os.path.exists(qvcore_session.shim_path()):
        return f"no recording shim at {qvcore_session.shim_path()}"
    demo = ROOT / "examples" / "demo_strategy.py"
    proc = subprocess.run([sys.executable, "-m", "qvcore_session", "record", "-o", str(out), "--", sys.executable,
                           str(demo)], capture_output=True, text=True, env=dict(os.environ, QVCORE_STANDIN="1"),
                          timeout=300)
    return None if proc.returncode == 0 and out.exists() else f"recording failed:\n{proc.stderr}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", type=pathlib.Path)
    ap.add_argument("--record", action="store_true", help="add a recording of examples/demo_strategy.py")
    args = ap.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    count = 0
    for name, data in seeds():
        (args.out / f"{name}.qvs").write_bytes(data)
        count += 1
    if args.record:
        failed = record_demo(args.out / "demo-recorded.qvs")
        if failed:
            sys.exit(f"seeds: {failed}")
        count += 1
    print(f"seeds: {count} session files in {args.out}")


if __name__ == "__main__":
    main()
