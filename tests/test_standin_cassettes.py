"""Recorded sessions as pytest cassettes: the core_session marker with
--record-mode none, once and all, normalizers, and the divergence messages,
run in pytest's own pytester, in processes of their own (recording runs
pytest again under the shim)."""

import os

import pytest
from recording import SHIM
from test_standin_plugin import plugin_args

import qvcore_standin

pytest_plugins = ["pytester"]

needs_shim = pytest.mark.skipif(not os.path.exists(SHIM), reason="this build has no recording shim")

# Each run's requests carry a fresh id and time, as real orders do.
STRATEGY = """
import os, time, pytest, c_sdk

def drop_changing(request):
    return request.split(b" id=")[0]

NORMALIZE = {normalize}

@pytest.mark.core_session(normalize=NORMALIZE)
def test_order(standin_core):
    standin_core.set_response("qvi_place_order_pb", b"placed")
    request = b"buy 100 SHSE.600000 id=%d ts=%d" % (os.getpid(), time.time_ns())
    assert c_sdk.py_qvi_place_order(request) == (0, b"placed")
    assert c_sdk.qvi_now() > 0
"""


def run(pytester, *args):
    # LD_PRELOAD stays as it is (a sanitizer's runtime first); the plugin adds the shim when it records.
    return pytester.runpytest_subprocess(*plugin_args(), "-p", "no:cacheprovider", *args)


def session(pytester, test="test_order"):
    return pytester.path / "sessions" / "test_strategy" / f"{test}.qvs"


@needs_shim
def test_record_once_then_replay_offline_with_requests_that_change(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    assert session(pytester).exists()
    recorded = session(pytester).read_bytes()
    run(pytester).assert_outcomes(passed=1)  # offline: the stand-in answers from the file
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)  # there already: replayed, not recorded
    assert session(pytester).read_bytes() == recorded


@needs_shim
def test_record_all_records_anew_and_keeps_the_earlier_session(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order_pb": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    earlier = session(pytester).read_bytes()
    run(pytester, "--record-mode=all").assert_outcomes(passed=1)
    kept = session(pytester).with_name("test_order.1.qvs")
    assert kept.read_bytes() == earlier and session(pytester).read_bytes() != earlier


@needs_shim
def test_a_session_that_cannot_replay_is_caught_the_day_it_is_recorded(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize="None"))
    result = run(pytester, "--record-mode=once")
    result.assert_outcomes(passed=1, errors=1)
    out = result.stdout.str()
    assert "the session just recorded does not replay: replay diverged at frame 0" in out
    assert "the requests differ at byte " in out


def test_a_missing_session_fails_with_one_line_naming_the_option(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize="None"))
    result = run(pytester)
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines([f"no recorded session {session(pytester)}: record it with pytest "
                                 "--record-mode=once"])


@needs_shim
def test_a_normalizer_that_raises_fails_with_its_function_and_frame(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": lambda b: 1 / 0}'))
    result = run(pytester)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*replay diverged at frame 0 (byte *): recorded qvi_place_order_pb(*"
                                 "(its normalizer raised)",
                                 "the normalizer for qvi_place_order_pb raised ZeroDivisionError: division by zero"])


@needs_shim
def test_sessions_are_found_next_to_the_test_file_from_any_folder(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    elsewhere = pytester.mkdir("elsewhere")
    os.chdir(elsewhere)
    result = pytester.runpytest_subprocess(*plugin_args(), "-p", "no:cacheprovider", str(pytester.path))
    result.assert_outcomes(passed=1)


ONE_BYTE = """
import c_sdk

def test_changed(replay_session):
    with replay_session("sessions/test_strategy/test_order.qvs"):  # relative to this file
        c_sdk.py_qvi_place_order(REQUEST)
        c_sdk.qvi_now()
"""


@needs_shim
def test_a_one_byte_change_is_shown_where_it_is(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    recorded = [f for f in __import__("qvcore_session").Session(session(pytester)) if f.fn == "qvi_place_order_pb"]
    request = recorded[0].args[0].data
    changed = request[:4] + b"2" + request[5:]  # "buy 200" for "buy 100"
    pytester.makepyfile(test_changed=f"REQUEST = {changed!r}\n" + ONE_BYTE)
    result = run(pytester, "test_changed.py")
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*the requests differ at byte 4 (recorded * bytes, got *):",
                                 "  recorded 000000  62 75 79 20 31 *|buy 1*",
                                 "  got      000000  62 75 79 20 32 *|buy 2*"])


def test_a_missing_file_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        qvcore_standin.Core().replay(tmp_path / "nowhere.qvs")


WRONG_FUNCTION = """
import c_sdk

def cancel_all():
    c_sdk.py_qvi_cancel_order(b"7")

def test_cancels(replay_session):
    with replay_session("sessions/test_strategy/test_order.qvs"):
        cancel_all()
"""


@needs_shim
def test_a_call_of_the_wrong_function_names_both_and_where_it_was_made(pytester):
    pytester.makepyfile(test_strategy=STRATEGY.format(normalize='{"qvi_place_order*": drop_changing}'))
    run(pytester, "--record-mode=once").assert_outcomes(passed=1)
    pytester.makepyfile(test_wrong=WRONG_FUNCTION)
    result = run(pytester, "test_wrong.py")
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["replay diverged at frame 0 (byte *): recorded qvi_place_order_pb(*); "
                                 "got qvi_cancel_orders_pb(b'7' (1 B))",
                                 f"the call came from {pytester.path / 'test_wrong.py'}:4, in cancel_all"])
