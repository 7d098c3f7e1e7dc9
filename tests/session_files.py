"""Session files written by hand, frame by frame, in the recorder's layout
(docs/session-file.md), for what a recording cannot be made to show on
purpose: null message types, lost frames, stray closes, several threads."""

import struct
import zlib

MAGIC = b"\x89QVSESS\n"
FUNCTIONS = ["qvi_run", "qvi_place_order_pb", "qvi_get_cash_pb", "qvi_now", "qvi_stop"]
RUN, ORDER, CASH, NOW, STOP = range(5)
WALL_NS = 1_796_000_000_000_000_000 - 1_796_000_000_000_000_000 % 86_400_000_000_000 + 9 * 3_600_000_000_000
MONO_NS = 5_000_000_000


def header(version=2, pid=100, functions=FUNCTIONS, wall_ns=WALL_NS, mono_ns=MONO_NS, core=b"/core.so"):
    names = b"".join(bytes([len(n)]) + n.encode() for n in functions)
    rest = struct.pack("<qqIH", wall_ns, mono_ns, pid, len(functions)) + names + struct.pack("<H", len(core)) + core
    return MAGIC + struct.pack("<HHI", version, 0, 8 + 8 + len(rest)) + rest


def frame(kind, fn, thread, start, duration, rest=b"", flags=0):
    return framed(struct.pack("<BBHIqq", kind, flags, fn, thread, start, duration) + rest)


def framed(body):
    """A frame of any body, its length and checksum right."""
    return struct.pack("<II", len(body), zlib.adler32(body)) + body


def request(data):
    return b"\x07" + struct.pack("<iB", len(data), 1) + data


def status_result(status, response=None):
    out = b"\x00" if response is None else b"\x01" + struct.pack("<Bi", 0, len(response)) + response
    return b"\x01" + struct.pack("<q", status) + out


def call(fn, thread, start, duration, status=0, req=None, response=None):
    args = b"\x00" if req is None else b"\x03" + request(req) + b"\x08\x01\x08\x01"
    return frame(1, fn, thread, start, duration, status_result(status, response) + args)


def call_open(fn, thread, start):
    return frame(2, fn, thread, start, -1, b"\x00")


def call_close(fn, thread, start, duration, status=0):
    return frame(3, fn, thread, start, duration, status_result(status))


def _event(msg, payload):
    text = b"" if msg is None else msg
    return struct.pack("<I", len(text)) + text + b"\x00" + struct.pack("<iB", len(payload), 0) + payload


def event(msg, thread, start, duration, payload=b""):
    return frame(4, 0, thread, start, duration, _event(msg, payload), flags=1 if msg is None else 0)


def event_open(msg, thread, start, payload=b""):
    return frame(5, 0, thread, start, -1, _event(msg, payload), flags=1 if msg is None else 0)


def event_close(thread, start, duration):
    return frame(6, 0, thread, start, duration)


def lost(thread, start, duration, frames, size, depth):
    return frame(7, 0, thread, start, duration, struct.pack("<QQI", frames, size, depth))


def us(x):
    """x microseconds after the header's monotonic time."""
    return MONO_NS + int(x * 1000)


def mixed_session(version=2):
    """Two threads. The main thread (100) runs qvi_run with events inside,
    one of which places an order that fails, and loses frames inside an
    event (its close is lost: the LOST frame keeps depth 1, qvi_run). The
    other thread (200) delivers an event with a null message type and one
    with an empty one, and calls qvi_get_cash_pb; then a close whose open
    was lost is passed over."""
    m, o = 100, 200
    frames = [
        call(NOW, m, us(0), 300, status=1234),
        call_open(RUN, m, us(10)),
        event(b"tick", m, us(11), 2_000, b"p=1"),
        event_open(b"tick", m, us(20), b"p=2"),
        call(ORDER, m, us(21), 5_000, status=7, req=b"buy 1"),
        event_close(m, us(20), 8_000),
        event(None, o, us(25), 1_000, b"x"),
        event(b"", o, us(26), 500),
        call(CASH, o, us(27), 1_500, req=b"acct", response=b"cash=1"),
        event_open(b"bar", m, us(40), b"b"),
        call(ORDER, m, us(41), 3_000, req=b"buy 2", response=b"ok"),
        lost(m, us(45), 2_000, frames=12, size=1500, depth=1),
        event(b"tick", m, us(50), 1_000, b"p=3"),
        call_close(STOP, o, us(60), 100),  # its open was lost: passed over
        call_close(RUN, m, us(10), 60_000, status=0),
        call(ORDER, m, us(80), 200_000, req=b"buy 3", response=b"ok"),
    ]
    return header(version) + b"".join(frames)
