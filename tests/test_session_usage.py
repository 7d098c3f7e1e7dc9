"""The session tools as a new user meets them: where --from and --to count
seconds from, the time forms they take, argument errors with their own
command's usage and the nearest name, a filter that matched nothing, the
permissions of what export and trace write."""

import os
import stat
from pathlib import Path

import pytest
import session_files as sf
from session_cli import body, mixed_session, run_main, tool  # noqa: F401 (the fixture mixed)

import qvcore_session
from qvcore_session import filters

DOCS = Path(__file__).resolve().parent.parent / "docs" / "session-data.md"


@pytest.fixture(name="late")
def late_start(tmp_path):
    """A session whose first frame comes 85 ms after the recorder started (the header's time)."""
    path = tmp_path / "late.qvs"
    path.write_bytes(sf.header() + sf.call(sf.ORDER, 1, sf.us(85_000), 900, req=b"first", response=b"r")
                     + sf.call(sf.ORDER, 1, sf.us(85_500), 900, req=b"second", response=b"r"))
    return path


@pytest.mark.parametrize("args, kept", [
    (["--from", "0.0004"], ["second"]),
    (["--from", "4e-4"], ["second"]),
    (["--to", "0.0001"], ["first"]),
    (["--from", "0", "--to", "0"], ["first"]),
    (["--from", "09:00:00.0855"], ["second"]),  # a time of day is the clock's, not the first frame's
])
def test_seconds_count_from_the_first_frame(late, capsys, args, kept):
    code, out, _ = run_main(capsys, "show", late, *args)
    assert code == 0 and [next(w for w in ("first", "second") if w in text) for _, text in body(out.splitlines())] == kept


def test_header_gives_the_first_frame_to_the_microsecond(late, capsys):
    for command in ("show", "stats"):
        first = run_main(capsys, command, late)[1].splitlines()[0]
        assert "first frame " in first and first.endswith("09:00:00.085000 UTC (= --from 0), core /core.so"), first


@pytest.mark.parametrize("text, at", [("1e-4", 100_000), ("2.5E0", 2_500_000_000), (".5", 500_000_000),
                                      ("+3", 3 * 10**9), ("0", 0)])
def test_seconds_in_any_float_notation_count_from_the_origin(text, at):
    head = qvcore_session.Header()
    head.wall_ns, head.mono_ns = sf.WALL_NS, sf.MONO_NS
    assert filters.parse_time(text, head, origin=sf.MONO_NS + 7) == sf.MONO_NS + 7 + at


@pytest.mark.parametrize("text", ["-1", "nan", "inf", "1e400", "12:60", "1:2", "09:00:00.1234567890"])
def test_times_refused(text):
    head = qvcore_session.Header()
    head.wall_ns, head.mono_ns = sf.WALL_NS, sf.MONO_NS
    with pytest.raises(ValueError):
        filters.parse_time(text, head)


def test_help_docs_and_parser_agree_on_the_time_forms(mixed):
    assert "HH:MM[:SS[.fffffffff]]" in filters.TIME_FORMS
    help_text = " ".join(tool("show", "--help").stdout.split())
    assert " ".join(filters.TIME_FORMS.split()) in help_text
    docs = DOCS.read_text()
    assert "`HH:MM[:SS[.fffffffff]]`" in docs and "`1e-4`" in docs and "first frame" in docs


@pytest.mark.parametrize("args, usage, message", [
    (["stats", "{f}", "--slower-than", "2"], "stats", "'2' is not a duration"),
    (["show", "{f}", "--from", "25:00"], "show", "'25:00' is not a time of day"),
    (["show", "{f}", "--to", "noon"], "show", "is neither a time of day nor seconds"),
    (["show", "{f}", "--slowr-than", "2ms"], "show", "did you mean --slower-than?"),
    (["stats", "{f}", "--thread", "x"], "stats", "invalid int value"),
    (["shwo", "{f}"], "", "did you mean 'show'?"),
    (["record"], "record", "no command given"),
])
def test_argument_errors_give_their_own_commands_usage(mixed, args, usage, message):
    proc = tool(*[a.format(f=mixed) for a in args], check=False)
    first = proc.stderr.splitlines()[0]
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr
    assert first.startswith(f"usage: python -m qvcore_session {usage}".rstrip() + " "), first


@pytest.mark.parametrize("args, named", [
    (["--function", "qvi_plce*"], ["--function qvi_plce*"]),
    (["--function", "qvi_now", "--function", "place_order"], ["--function place_order"]),
    (["--event", "tik"], ["--event tik"]),
    (["--function", "qvi_now"], []),
    (["--event", "t*"], []),
])
@pytest.mark.parametrize("command", ["show", "stats"])
def test_a_filter_that_matches_nothing_says_so_in_one_line(mixed, capsys, command, args, named):
    code, _, err = run_main(capsys, command, mixed, *args)
    said = [line for line in err.splitlines() if "nothing matched" in line]
    assert code == 0
    if named:
        assert len(said) == 1 and said[0].startswith(f"qvcore_session: nothing matched {', '.join(named)} (globs")
    else:
        assert not said


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o644])
@pytest.mark.parametrize("command, out", [("export", "out.csv"), ("trace", "out.json"), ("export", "out.parquet")])
def test_exports_take_the_sessions_permissions(mixed, capsys, tmp_path, mode, command, out):
    if out.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    target = tmp_path / out
    target.write_text("an earlier file, readable by all")
    os.chmod(target, 0o666)
    os.chmod(mixed, mode)
    old = os.umask(0)
    try:
        code = run_main(capsys, command, mixed, "-o", target)[0]
    finally:
        os.umask(old)
    assert code == 0 and stat.S_IMODE(target.stat().st_mode) == mode
    assert "an earlier file" not in target.read_bytes().decode(errors="replace")
