"""Fuzzing the session tools with files built from the format: valid
frames of every kind, argument, result and output, nesting on a few
threads (now and then past the depth limit), frames with wrong lengths,
tags, kinds or function indexes under a valid checksum, torn tails and
damaged headers. Every command either works or says one line and returns
1; nothing else escapes. A file built only of valid parts reads without an
error (a torn tail or the depth limit stop it, with a line on stderr)."""

import struct

import hypothesis.strategies as st
import session_files as sf
from fuzzing import EXAMPLES, fuzz
from hypothesis import given, settings
from session_cli import run_main

import qvcore_session
from qvcore_session import limits

u8, i32, u32 = st.integers(0, 255), st.integers(-(2**31), 2**31 - 1), st.integers(0, 2**32 - 1)
i64 = st.integers(-(2**63), 2**63 - 1)
small = st.integers(0, 6)
data = st.binary(max_size=12)


def text(tag, b):
    return bytes([tag]) + struct.pack("<I", len(b)) + b + b"\0"


texts = data.map(lambda b: text(4, b))
redacted = st.builds(lambda n, b: b"\x06" + struct.pack("<I", n) + text(0, b)[1:], u32, data)
request = st.builds(lambda b, n: b"\x07" + struct.pack("<iB", len(b), 1) + b if b is not None else
                    b"\x07" + struct.pack("<iB", n, 0), st.none() | data, i32)
args = st.lists(st.one_of(
    i64.map(lambda v: b"\x01" + struct.pack("<q", v)), st.floats().map(lambda v: b"\x02" + struct.pack("<d", v)),
    st.booleans().map(lambda v: b"\x03" + bytes([v])), texts, st.just(b"\x05"), redacted, request,
    st.builds(lambda t, v: bytes([t, v]), st.sampled_from([8, 9]), u8)), max_size=4).map(
    lambda a: bytes([len(a)]) + b"".join(a))
result = st.one_of(st.just(b"\x00"), i64.map(lambda v: b"\x01" + struct.pack("<q", v)),
                   st.floats().map(lambda v: b"\x02" + struct.pack("<d", v)), texts, st.just(b"\x05"), redacted)
# a response: its bytes when not null and res_len > 0 (a null one may have any res_len)
response = st.builds(lambda null, b, n: b"\x01" + struct.pack("<Bi", null, n if null else len(b) or min(n, 0)) +
                     (b"" if null else b), st.booleans(), data, i32)
output = st.one_of(st.just(b"\x00"), response, texts.map(lambda t: b"\x02" + t), st.just(b"\x02\x05"))
event = st.builds(lambda msg, b, null: text(4, msg or b"")[1:] + struct.pack("<iB", len(b), null) +
                  (b"" if null else b), st.none() | data, data, st.booleans())


def body(kind, fn, thread, start, duration, rest, flags=0):
    return struct.pack("<BBHIqq", kind, flags, fn, thread, 1000 * start, duration) + rest


fixed = (st.integers(0, len(sf.FUNCTIONS) - 1), st.integers(1, 2), small, st.integers(-5, 10**6) | i64)
valid = st.one_of(
    st.builds(lambda f, t, s, d, r, o, a: body(1, f, t, s, d, r + o + a), *fixed, result, output, args),
    st.builds(lambda f, t, s, d, a: body(2, f, t, s, -1, a), *fixed, args),
    st.builds(lambda f, t, s, d, r, o: body(3, f, t, s, d, r + o), *fixed, result, output),
    st.builds(lambda f, t, s, d, e, null: body(4, 0, t, s, d, e, null), *fixed, event, st.sampled_from([0, 1])),
    st.builds(lambda f, t, s, d, e: body(5, 0, t, s, -1, e), *fixed, event),
    st.builds(lambda f, t, s, d: body(6, 0, t, s, d, b""), *fixed),
    st.builds(lambda f, t, s, d, n, b, depth: body(7, 0, t, s, d, struct.pack("<QQI", n, b, depth)), *fixed,
              st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1), st.integers(0, 3) | u32),
).map(sf.framed)
# a frame whose checksum holds but whose parts need not: another kind or function, its body cut or lengthened
damaged = st.one_of(
    st.builds(lambda k, f, rest: sf.framed(body(k, f, 1, 0, 5, rest)), st.integers(0, 9), st.integers(0, 9), data),
    st.builds(lambda f, cut, tail: sf.framed(f[8:][:cut] + tail), valid, st.integers(0, 60), data),
    st.binary(max_size=40).map(sf.framed),
    valid.map(lambda f: f[:4] + bytes([f[4] ^ 1]) + f[5:]),  # a checksum that fails: reading stops there
)
burst = st.builds(lambda n, t: b"".join(sf.call_open(0, t, sf.us(i)) for i in range(n)),
                  st.sampled_from([limits.MAX_DEPTH - 1, limits.MAX_DEPTH + 1]), st.integers(1, 2))


@st.composite
def session_files(draw):
    """(the file's bytes, whether it is built only of valid parts)."""
    frames = draw(st.lists(st.tuples(st.just(True), valid) | st.tuples(st.just(False), damaged) |
                           st.tuples(st.just(True), burst), max_size=12))
    head = sf.header(version=draw(st.sampled_from([1, 2])))
    sound = all(ok for ok, _ in frames)
    how = draw(st.sampled_from(["as is"] * 6 + ["header_len", "byte", "cut", "name"]))
    if how == "header_len":
        head = head[:12] + struct.pack("<I", draw(u32)) + head[16:]
    elif how == "byte":
        at = draw(st.integers(0, len(head) - 1))
        head = head[:at] + bytes([draw(u8)]) + head[at + 1:]
    elif how == "cut":
        head = head[:draw(st.integers(0, len(head)))]
    elif how == "name":
        head = head.replace(b"qvi_stop", b"qvi_\xff\xfeop")
    out = head + b"".join(f for _, f in frames)
    torn = draw(st.integers(0, 8))  # now and then the file ends inside its last frame
    return (out[:-torn] if torn and frames and torn < 3 else out), sound and how == "as is"


COMMANDS = [["show"], ["show", "--failed", "--slower-than", "1ns"], ["stats"], ["stats", "--event", "*"],
            ["export", "-o", "out.csv"], ["trace", "-o", "out.json"], ["stats", "--follow"], ["top", "--once"]]


@settings(fuzz, max_examples=EXAMPLES * 3)
@given(session_files())
def test_every_command_works_or_says_one_line(tmp_path, capsys, case):
    content, sound = case
    path = tmp_path / "f.qvs"
    path.write_bytes(content)
    for command in COMMANDS:
        code, _, err = run_main(capsys, command[0], path, *(str(tmp_path / a) if a.startswith("out.") else a
                                                            for a in command[1:]))
        assert code in ((0,) if sound else (0, 1)), (command, err)
        assert all(line.startswith("qvcore_session: ") for line in err.splitlines()), err
        assert code == 0 or err.count("\n") == 1, err
    try:
        list(qvcore_session.Session(path))
    except qvcore_session.SessionError as e:
        assert not sound and "\n" not in str(e)
