"""The session tools of qvcore_session reading versions 1 and 2: null message
types, lost frames, nesting per thread, in show, stats and the frames and
items they read. The files are written by hand (session_files.py).
"""

import re

import pytest
import session_files as sf
from session_cli import body, mixed_session, run_main  # noqa: F401 (the fixture mixed)

import qvcore_session
from qvcore_session.nesting import Items


def test_show_nests_per_thread_and_marks_null_types_and_lost_frames(mixed, capsys):
    code, out, err = run_main(capsys, "show", mixed)
    assert code == 0
    assert body(out.splitlines()) == [
        (100, "qvi_now()  -> 1234  300 ns"),  # not a status: its value
        (100, "qvi_run()  ..."),
        (100, "  event 'tick' 3 B  2000 ns"),
        (100, "  event 'tick' 3 B  ..."),
        (100, "    qvi_place_order_pb(b'buy 1' (5 B), out, out)  status 7  5000 ns"),
        (100, "  end event  8000 ns"),
        (200, "event None 1 B  1000 ns"),
        (200, "event '' 0 B  500 ns"),
        (200, "qvi_get_cash_pb(b'acct' (4 B), out, out)  status 0  res 6 B  1500 ns"),
        (100, "  event 'bar' 1 B  ..."),
        (100, "    qvi_place_order_pb(b'buy 2' (5 B), out, out)  status 0  res 2 B  3000 ns"),
        (100, "    lost 12 frames (1500 B) over 2000 ns: the recorder's buffer was full"),
        (100, "  event 'tick' 3 B  1000 ns"),
        (100, "end qvi_run  status 0  60.0 us"),
        (100, "qvi_place_order_pb(b'buy 3' (5 B), out, out)  status 0  res 2 B  200.0 us"),
    ]
    assert err == f"qvcore_session: {mixed}: thread 100 lost 12 frames (1500 B) in 1 gap, the first at frame 11 " \
                  f"(byte {list(qvcore_session.Session(mixed))[11].offset}, 09:00:00.000045)\n"


def test_frames_and_items_of_a_version_2_file(mixed):
    frames = list(qvcore_session.Session(mixed))
    assert [f.msg for f in frames if f.kind == qvcore_session.EVENT] == [b"tick", None, b"", b"tick"]
    gap = frames[11]
    assert (gap.kind, gap.lost_frames, gap.lost_bytes, gap.depth) == (qvcore_session.LOST, 12, 1500, 1)
    s = qvcore_session.Session(mixed)
    items = {(i.seq, i.kind): i for i in Items(s)}
    bar = items[(9, qvcore_session.EVENT)]
    assert bar.duration is None and bar.until == sf.us(45) + 2000 and bar.depth == 1 and bar.parent == 1
    assert items[(12, qvcore_session.EVENT)].parent == 1  # after the gap: inside qvi_run again
    assert items[(1, qvcore_session.CALL)].duration == 60_000
    assert len(items) == 13  # 16 frames: two closes and a stray one make no item of their own


@pytest.mark.parametrize("version", [1, 2])
def test_both_versions_read_alike(tmp_path, version, capsys):
    path = tmp_path / "v.qvs"
    path.write_bytes(sf.header(version) + sf.call(sf.ORDER, 1, sf.us(1), 900, req=b"q", response=b"r"))
    assert [(f.fn, f.result, f.output.data) for f in qvcore_session.Session(path)] == [("qvi_place_order_pb", 0, b"r")]
    assert run_main(capsys, "stats", path)[1].splitlines()[2].split()[:2] == ["qvi_place_order_pb", "1"]


def test_a_version_it_does_not_know_is_refused(tmp_path, capsys):
    path = tmp_path / "v3.qvs"
    path.write_bytes(sf.header(3))
    with pytest.raises(qvcore_session.SessionError, match="version 3; this reader reads versions 1 to 2"):
        qvcore_session.Session(path)
    assert run_main(capsys, "show", path)[0] == 1


def test_stats_tells_null_from_empty_types_and_lists_lost_frames(mixed, capsys):
    out = run_main(capsys, "stats", mixed)[1]
    events = {line.split()[0]: int(line.split()[1]) for line in out.splitlines() if re.match(r"^('|None )", line)}
    assert events == {"'tick'": 3, "None": 1, "''": 1, "'bar'": 1}
    assert re.search(r"qvi_place_order_pb +3 .* 1 x status 7", out)
    assert "1 calls or events have no end in the file" in out
    assert re.search(r"thread 100 +1 +12 +1500 B  09:00:00.000045, frame 11 \(byte \d+\)", out)
