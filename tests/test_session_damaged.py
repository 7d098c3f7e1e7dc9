"""Session files from elsewhere: a damaged or crafted header or frame gives
one line on stderr and status 1 from every command, nesting past what the reader follows
stops the reading as a torn frame does, and the tables stay bounded. The
files are written by hand (session_files.py)."""

import csv
import re
import struct

import pytest
import session_files as sf
from session_cli import run_main, tool
from test_session_trace_export import needs_data

import qvcore_session
from qvcore_session import limits
from qvcore_session.nesting import Items

EVERY = ("show", "stats", "export", "trace")
DECODING = ("show", "export", "trace")  # stats reads no arguments


def with_header_len(data, n):
    return data[:12] + struct.pack("<I", n) + data[16:]


H = sf.header()
DAMAGED = {
    "name not UTF-8": (sf.header(functions=["qvi_run", "qvi_x"]).replace(b"qvi_x", b"qvi_\xff"),
                       "the header is malformed: function 1's name is not UTF-8", EVERY),
    "header_len 4": (with_header_len(H, 4), "its length (4 bytes) is shorter than its fixed fields", EVERY),
    "header_len inside the names": (with_header_len(H, 40), "its length ends inside function 0's name", EVERY),
    "header_len past the end": (with_header_len(H, 1 << 31), "the header is incomplete", EVERY),
    "body shorter than its fixed fields": (H + sf.framed(bytes(10)), "frame 0 at byte 108 is malformed: its body of "
                                           "10 bytes is shorter than the 24", EVERY),
    "function out of range": (H + sf.call(77, 1, 0, 5), "it names function 77, beyond the 5 the header lists", EVERY),
    "result past the end": (H + sf.frame(1, 0, 1, 0, 5), "the result runs past the frame's end", EVERY),
    "close with half a status": (H + sf.call_open(0, 1, 0) + sf.frame(3, 0, 1, 0, 5, b"\x01\x00"),
                                 "frame 1 at byte 141 is malformed: the result runs past", EVERY),
    "message longer than its frame": (H + sf.frame(4, 0, 1, 0, 5, struct.pack("<I", 1000) + b"ab"),
                                      "a text of 1000 bytes runs past the frame's end", EVERY),
    "request longer than its frame": (H + sf.frame(1, 1, 1, 0, 5, sf.status_result(0) + b"\x01" + b"\x07" +
                                                   struct.pack("<iB", 999, 1)), "a request of 999 bytes", DECODING),
    "unknown argument tag": (H + sf.frame(1, 1, 1, 0, 5, sf.status_result(0) + b"\x01\x2a"),
                             "argument tag 42 is unknown", DECODING),
    "response longer than its frame": (H + sf.frame(1, 1, 1, 0, 5, b"\x01" + bytes(8) + b"\x01\x00" +
                                                    struct.pack("<i", 50) + b"x" + b"\x00"),
                                       "a response of 50 bytes", DECODING),
}


def run(command, path, tmp_path, capsys):
    out = {"export": ["-o", tmp_path / "out.csv"], "trace": ["-o", tmp_path / "out.json"]}.get(command, [])
    code, _, err = run_main(capsys, command, path, *out)
    return code, err


@pytest.mark.parametrize("command", EVERY)
@pytest.mark.parametrize("case", DAMAGED)
def test_a_damaged_file_is_one_line_and_status_1(tmp_path, capsys, case, command):
    data, message, readers = DAMAGED[case]
    path = tmp_path / "d.qvs"
    path.write_bytes(data)
    code, err = run(command, path, tmp_path, capsys)
    if command in readers:
        assert code == 1 and err.startswith(f"qvcore_session: {path}: ") and err.count("\n") == 1, err
        assert message in err
    else:
        assert code == 0 and err == ""


def test_the_command_line_says_it_without_a_traceback(tmp_path):
    path = tmp_path / "d.qvs"
    path.write_bytes(DAMAGED["function out of range"][0])
    proc = tool("show", path, check=False)
    assert proc.returncode == 1 and proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr


@pytest.mark.parametrize("opens", [limits.MAX_DEPTH, limits.MAX_DEPTH + 1])
def test_nesting_past_the_limit_stops_the_reading_there(tmp_path, capsys, opens):
    frames = [sf.call_open(sf.RUN, 1, sf.us(i)) for i in range(opens)]
    path = tmp_path / "deep.qvs"
    path.write_bytes(sf.header() + b"".join(frames) + sf.call(sf.NOW, 1, sf.us(opens), 5))
    code, out, err = run_main(capsys, "show", path)
    lines = out.splitlines()[1:]
    deep = opens > limits.MAX_DEPTH
    assert code == 0 and len(lines) == limits.MAX_DEPTH + (not deep)
    stop = len(sf.header()) + limits.MAX_DEPTH * len(frames[0])
    assert err == ("" if not deep else f"qvcore_session: {path}: stopped at byte {stop} after {limits.MAX_DEPTH} "
                   f"frames: thread 1 nests calls and events more than {limits.MAX_DEPTH} deep, deeper than this "
                   "reader follows\n")
    assert f"{limits.MAX_DEPTH} calls or events have no end" in run_main(capsys, "stats", path)[1]
    for command, out in (("export", "x.csv"), ("trace", "x.json")):  # calls without an end, as rows and slices
        assert run_main(capsys, command, path, "-o", tmp_path / out)[0] == 0


def test_a_close_further_down_ends_what_is_open_inside_it(tmp_path):
    path = tmp_path / "c.qvs"
    path.write_bytes(sf.header() + sf.call_open(sf.RUN, 1, sf.us(0)) + sf.event_open(b"tick", 1, sf.us(1)) +
                     sf.call_close(sf.STOP, 1, sf.us(9), 5) + sf.call_close(sf.RUN, 1, sf.us(0), 30_000))
    items = [(i.seq, i.kind, i.duration, i.until if i.duration is None else None) for i in
             Items(qvcore_session.Session(path))]
    assert items == [(1, qvcore_session.EVENT, None, sf.us(30)), (0, qvcore_session.CALL, 30_000, None)]


def test_tables_count_keys_past_their_limit_together(tmp_path, capsys):
    n = limits.MAX_KEYS + 3
    frames = [sf.event(b"t%d" % i, 1, sf.us(i), 5) for i in range(n)]
    frames += [sf.call(sf.ORDER, 1, sf.us(i), 5, status=i + 1) for i in range(n)]
    frames += [sf.lost(10 + i, sf.us(i), 5, frames=1, size=9, depth=0) for i in range(n)]
    path = tmp_path / "k.qvs"
    path.write_bytes(sf.header() + b"".join(frames))
    out = run_main(capsys, "stats", path)[1]
    assert re.search(r"^\(other types\) +3 ", out, re.M) and re.search(r"^other threads +3 +3 ", out, re.M)
    assert out.count(" x status ") == limits.MAX_KEYS and "3 x other statuses" in out


def test_odd_bytes_are_escaped_in_every_output(tmp_path, capsys):
    secret = b"\x06" + struct.pack("<II", 3, 2) + b"\xff\xfe\x00"
    path = tmp_path / "o.qvs"
    path.write_bytes(sf.header() + sf.event(b"a\x00b\xff", 1, sf.us(0), 5) +
                     sf.frame(1, sf.ORDER, 1, sf.us(1), 5, sf.status_result(0) + b"\x01" + secret))
    lines = run_main(capsys, "show", path)[1].splitlines()
    assert lines[1].endswith("event 'a\\x00b\\\\xff' 0 B  5 ns") and "qvi_place_order_pb(\\xff\\xfe)" in lines[2]
    assert run_main(capsys, "export", path, "-o", tmp_path / "o.csv")[0] == 0
    with open(tmp_path / "o.csv") as f:
        assert [r["name"] for r in csv.DictReader(f)] == ["a\\x00b\\xff", "qvi_place_order_pb"]


# a gap of more frames and bytes than int64 holds, at a time past what a ns timestamp holds
HUGE = sf.header(wall_ns=(1 << 63) - 1, mono_ns=-(1 << 63)) + sf.lost(1, (1 << 63) - 1, 5, (1 << 64) - 1, 1 << 63, 0)


@pytest.mark.parametrize("suffix", [".csv", pytest.param(".parquet", marks=needs_data),
                                    pytest.param(".arrow", marks=needs_data)])
def test_values_past_int64_are_null_in_the_export(tmp_path, suffix):
    path = tmp_path / "h.qvs"
    path.write_bytes(HUGE)
    tool("export", path, "-o", tmp_path / ("h" + suffix))
    if suffix == ".csv":
        with open(tmp_path / "h.csv") as f:
            row = next(csv.DictReader(f))
        assert (row["start_utc"], row["lost_frames"], row["lost_bytes"], row["kind"]) == ("", "", "", "lost")
