"""Session files no recorder writes: checksum-valid frames whose parts lie
about their lengths or tags, headers that lie about their size, nesting far
deeper than any recording. The stand-in's replay must refuse each with one
line; the replay tests and the fuzz seeds (standin/fuzz/seeds.py) use them.

Each case is (name, frames, code, frame, recorded, got): the frames after
the header, the code a strategy runs under the replay, and the divergence
it must end with (at frame `frame`, "recorded <recorded>; got <got>").
"""

import struct

from session_files import MAGIC, event, event_close, event_open, frame, header, status_result

FUNCTIONS = ["qvi_run", "qvi_place_order_pb", "qvi_get_cash_pb", "qvi_now", "qvi_stop", "qvi_subscribe"]
RUN, ORDER, CASH, NOW, STOP, SUB = range(6)
CALL, CALL_OPEN = 1, 2
NESTING_LIMIT = 1000  # calls and events a replay follows open at once (docs/session-file.md)


def u32(v):
    return struct.pack("<I", v)


def i32(v):
    return struct.pack("<i", v)


def text(data, nul=b"\0", length=None):
    return b"\x04" + u32(len(data) if length is None else length) + data + nul


OUTS = b"\x08\x01\x08\x01"  # the two out-parameters of a request-response call
SUBSCRIBE = "c_sdk.py_qvi_subscribe(b'SHSE.600000', b'tick', True)"
SUBSCRIBED = "qvi_subscribe(b'SHSE.600000', b'tick', True)"
ORDER_CODE = "c_sdk.py_qvi_place_order(b'buy')"
ORDERED = "qvi_place_order_pb(b'buy' (3 B), out, out)"


def call(fn, rest):
    return frame(CALL, fn, 1, 10, 5, rest)


def malformed(why):
    return f"a malformed frame ({why})"


def nested(depth, closed=False):
    """depth EVENT_OPEN frames, one inside the other (their closes too when closed)."""
    opens = event_open(b"tick", 1, 10) * depth
    return opens + (event_close(1, 10, 5) * depth if closed else b"")


def deeper_than_the_limit(what):
    return f"{what} nested deeper than a replay follows ({NESTING_LIMIT} calls and events open at once)"


CASES = [
    ("a text claiming 0xFFFFFFFF bytes",
     call(SUB, status_result(0) + b"\x03" + text(b"SHSE", b"", length=0xFFFFFFFF)),
     SUBSCRIBE, 0, malformed("argument 1 of 3: a text of 4294967295 bytes runs past the frame's end"), SUBSCRIBED),
    ("a readable request of -1000 bytes",
     call(ORDER, status_result(0) + b"\x03\x07" + i32(-1000) + b"\x01" + OUTS),
     ORDER_CODE, 0, malformed("argument 1 of 3: a readable request of -1000 bytes"), ORDERED),
    ("a request longer than its frame",
     call(ORDER, status_result(0) + b"\x03\x07" + i32(4096) + b"\x01buy" + OUTS),
     ORDER_CODE, 0, malformed("argument 1 of 3: a request of 4096 bytes runs past the frame's end"), ORDERED),
    ("a text without its NUL",
     call(SUB, status_result(0) + b"\x03" + text(b"SHSE.600000", b"X") + text(b"tick") + b"\x03\x01"),
     SUBSCRIBE, 0, malformed("argument 1 of 3: a text of 11 bytes without its NUL"), SUBSCRIBED),
    ("more arguments than the frame holds",
     call(STOP, status_result(0) + b"\xc8" + b"\x01" + struct.pack("<q", 7)),
     "c_sdk.py_qvi_stop()", 0, malformed("argument 2 of 200: the frame ends inside a field"), "qvi_stop()"),
    ("an argument of unknown tag",
     call(STOP, status_result(0) + b"\x01\x2a"),
     "c_sdk.py_qvi_stop()", 0, malformed("argument 1 of 1: the unknown tag 42"), "qvi_stop()"),
    ("a result of unknown tag",
     call(STOP, b"\x03" + struct.pack("<q", 0) + b"\x00\x00"),
     "c_sdk.py_qvi_stop()", 0, malformed("the result: the unknown tag 3"), "qvi_stop()"),
    ("a response longer than its frame",
     call(CASH, b"\x01" + struct.pack("<q", 0) + b"\x01\x00" + i32(1 << 30) + b"cash" + b"\x03" +
          b"\x07" + i32(4) + b"\x01acct" + OUTS),
     "c_sdk.py_qvi_get_cash(b'acct')", 0,
     malformed("the output: a response of 1073741824 bytes runs past the frame's end"),
     "qvi_get_cash_pb(b'acct' (4 B), out, out)"),
    ("a written text of unknown tag",
     call(STOP, status_result(0)[:-1] + b"\x02\x09" + b"\x00"),
     "c_sdk.py_qvi_stop()", 0, malformed("the output: a written text with the tag 9"), "qvi_stop()"),
    ("a function index beyond the header's",
     call(99, status_result(0) + b"\x00"),
     "c_sdk.py_qvi_stop()", 0, malformed("function index 99, but the header names 6"), "qvi_stop()"),
    ("event data longer than its frame",
     frame(4, 0, 1, 10, 5, u32(4) + b"tick\0" + i32(1_000_000) + b"\x00" + b"abc") + call(STOP, status_result(0) + b"\x00"),
     "c_sdk.py_qvi_stop()", 0, malformed("the event: event data of 1000000 bytes runs past the frame's end"), "qvi_stop()"),
    ("a gap record cut short",
     frame(7, 0, 1, 10, 5, b"\x11\x00\x00\x00"),
     "c_sdk.py_qvi_stop()", 0, malformed("a gap record of 20 bytes runs past the frame's end"), "qvi_stop()"),
    ("50,000 nested events",
     nested(50_000),
     "", NESTING_LIMIT, deeper_than_the_limit("the event b'tick'"), "the end of the session"),
    ("50,000 nested events inside qvi_run",
     frame(CALL_OPEN, RUN, 1, 10, -1, b"\x00") + nested(50_000),
     "c_sdk.py_qvi_run()", NESTING_LIMIT, deeper_than_the_limit("the event b'tick'"), "the return from qvi_run"),
]

# The depth a replay follows, and one more.
AT_THE_LIMIT = nested(NESTING_LIMIT, closed=True) + event(b"after", 1, 10, 5)
BEYOND_THE_LIMIT = nested(NESTING_LIMIT + 1, closed=True)


def session(frames, functions=FUNCTIONS):
    """A whole file: the header naming `functions`, then `frames`."""
    return header(functions=functions) + frames


def header_with_length(length, functions=FUNCTIONS):
    """A header whose header_len field says `length` (the rest as written)."""
    good = header(functions=functions)
    return good[:12] + u32(length) + good[16:]


# (name, file bytes, what the replay's ValueError says after the path)
HEADERS = [
    ("header_len shorter than the fixed fields", header_with_length(10),
     "the header is malformed (header_len 10 is shorter than its 38 bytes of fixed fields)"),
    ("header_len cutting the function names", header_with_length(40),
     "the header is malformed (its 6 function names and core path run past header_len 40)"),
    ("header_len beyond the file", header_with_length(1 << 20), "the header is incomplete"),
    ("a file cut inside the fixed fields", header()[:20], "the header is incomplete"),
    ("only the magic", MAGIC, "the header is incomplete"),
]
