"""The filters of qvcore_session's show and stats (function, event, thread,
failed, slower than, from and to): what each keeps, with the context of
what it keeps, and how durations and times are read."""

import re

import pytest
import session_files as sf
from session_cli import body, mixed_session, run_main, tool  # noqa: F401 (the fixture mixed)

import qvcore_session
from qvcore_session import filters


# filter arguments: show's lines (without times and threads) that must appear, and how many lines in all
RUN_GAP = ["qvi_run()  ...", "  event 'bar' 1 B  ...",
           "    lost 12 frames (1500 B) over 2000 ns: the recorder's buffer was full", "end qvi_run  status 0  60.0 us"]
SHOW_FILTERS = [
    # a gap of lost frames is always shown, with what encloses it
    (["--function", "qvi_get_*"], ["qvi_get_cash_pb(b'acct' (4 B), out, out)  status 0  res 6 B  1500 ns"] + RUN_GAP, 5),
    # the matching call keeps what encloses it
    (["--function", "qvi_place*", "--failed"], ["qvi_run()  ...", "  event 'tick' 3 B  ...",
                                                 "    qvi_place_order_pb(b'buy 1' (5 B), out, out)  status 7  5000 ns",
                                                 "  end event  8000 ns", "end qvi_run  status 0  60.0 us"], 7),
    # a matching call keeps what it did inside
    (["--function", "qvi_run"], ["qvi_run()  ...", "  event 'tick' 3 B  2000 ns", "  event 'tick' 3 B  1000 ns",
                                 "end qvi_run  status 0  60.0 us"], 10),
    (["--event", "None"], ["event None 1 B  1000 ns"] + RUN_GAP, 5),
    (["--event", "t*"], ["qvi_run()  ...", "  event 'tick' 3 B  2000 ns",
                         "    qvi_place_order_pb(b'buy 1' (5 B), out, out)  status 7  5000 ns",
                         "  event 'tick' 3 B  1000 ns"], 9),
    (["--thread", "200"], ["event None 1 B  1000 ns", "event '' 0 B  500 ns"], 3),
    (["--slower-than", "100us"], RUN_GAP + ["qvi_place_order_pb(b'buy 3' (5 B), out, out)  status 0  res 2 B  200.0 us"], 5),
    # an OPEN item slow enough: its opening line (here already shown for the gap) and its end line, when it ends
    (["--function", "qvi_run", "--slower-than", "50us"], RUN_GAP, 4),
    (["--from", "09:00:00.000079", "--to", "0.5"], ["qvi_place_order_pb(b'buy 3' (5 B), out, out)  status 0  res 2 B  200.0 us"], 1),
    (["--from", "0.000041", "--to", "09:00:00.000050"],
     ["qvi_run()  ...", "  event 'bar' 1 B  ...", "    qvi_place_order_pb(b'buy 2' (5 B), out, out)  status 0  res 2 B  3000 ns",
      "    lost 12 frames (1500 B) over 2000 ns: the recorder's buffer was full", "  event 'tick' 3 B  1000 ns",
      "end qvi_run  status 0  60.0 us"], 6),
]


@pytest.mark.parametrize("args, expected, count", SHOW_FILTERS, ids=[" ".join(a) for a, _, _ in SHOW_FILTERS])
def test_show_filters_keep_the_context(mixed, capsys, args, expected, count):
    code, out, _ = run_main(capsys, "show", mixed, *args)
    lines = [text for _, text in body(out.splitlines())]
    assert code == 0 and out.splitlines()[1] == "# only " + " ".join(args)
    assert [line for line in lines if line in expected] == expected and len(lines) == count, lines


@pytest.mark.parametrize("args, calls, events", [
    ([], {"qvi_place_order_pb": 3, "qvi_now": 1, "qvi_run": 1, "qvi_get_cash_pb": 1}, 6),
    (["--function", "qvi_place*", "--function", "qvi_now"], {"qvi_place_order_pb": 3, "qvi_now": 1}, 0),
    (["--failed"], {"qvi_place_order_pb": 1}, 0),
    (["--event", "tick"], {}, 3),
    (["--thread", "200"], {"qvi_get_cash_pb": 1}, 2),
    (["--slower-than", "2.5us"], {"qvi_place_order_pb": 3, "qvi_run": 1}, 1),
    (["--from", "0.00003", "--to", "0.00006"], {"qvi_place_order_pb": 1}, 2),
])
def test_stats_filters(mixed, capsys, args, calls, events):
    out = run_main(capsys, "stats", mixed, *args)[1]
    rows = {line.split()[0]: int(line.split()[1]) for line in out.splitlines() if line.startswith("qvi_")}
    counted = [int(line.split()[1]) for line in out.splitlines() if re.match(r"^('|None )", line)]
    assert rows == calls and sum(counted) == events


@pytest.mark.parametrize("text, ns", [("500us", 500_000), ("2ms", 2_000_000), ("1s", 10**9), ("10ns", 10),
                                      ("1.5ms", 1_500_000), ("0.25 s", 250_000_000)])
def test_durations(text, ns):
    assert filters.parse_duration(text) == ns


# ns after the header's time (09:00:00 UTC); a time of day more than 12 h before the start is the next day's
@pytest.mark.parametrize("text, at", [("09:00:01", 10**9), ("09:00", 0), ("09:00:00.5", 5 * 10**8),
                                      ("08:00", -3_600 * 10**9), ("08:59:59.999999999", -1),
                                      ("20:00", 11 * 3_600 * 10**9), ("21:30", -11.5 * 3_600 * 10**9), ("1.5", 15 * 10**8), ("+0", 0)])
def test_times_are_times_of_day_or_seconds_from_the_start(text, at):
    head = qvcore_session.Header()
    head.wall_ns, head.mono_ns = sf.WALL_NS, sf.MONO_NS
    assert filters.parse_time(text, head) == sf.MONO_NS + at


@pytest.mark.parametrize("args, message", [(["--slower-than", "5"], "'5' is not a duration"),
                                           (["--from", "25:00"], "'25:00' is not a time of day"),
                                           (["--to", "noon"], "'noon' is neither a time of day")])
def test_bad_filters_are_usage_errors(mixed, args, message):
    proc = tool("stats", mixed, *args, check=False)
    assert proc.returncode == 2 and message in proc.stderr
