"""The status helpers, the platform probes and the adapter on arbitrary
arguments, against the same written in Python."""

from hypothesis import given
from hypothesis import strategies as st

import c_sdk
from fuzzing import ascii_text, fuzz, outcome, same_outcome, values


class Recorder:
    def __init__(self):
        self.lines = []

    def debug(self, text):
        self.lines.append(text)


def reference_helpers(logged):
    """c_status_ok and c_status_fail, written in Python."""

    def c_status_ok(status):
        return status == 0

    def c_status_fail(status, cfunname=""):
        isfail = status != 0
        if isfail:
            info = c_sdk.py_qvi_strerror(status).decode("utf8")
            if cfunname:
                logged.append("invoke c fun={} error code={}, error info={}".format(cfunname, status, info))
            else:
                logged.append("invoke c fun error code={}, error info={}".format(status, info))
        return isfail

    return c_status_ok, c_status_fail


@fuzz
@given(st.lists(values, max_size=3),
       st.dictionaries(st.sampled_from(["status", "cfunname", "x"]), values, max_size=2))
def test_status_helpers(quiet_core, args, kwargs):
    core = quiet_core
    logged = []
    ok_ref, fail_ref = reference_helpers(logged)
    c_sdk.qvsdklogger = logger = Recorder()
    core.clear_calls()
    want_fail = outcome(fail_ref, *args, **kwargs)
    want_calls = core.calls()
    core.clear_calls()
    same_outcome(outcome(c_sdk.c_status_fail, *args, **kwargs), want_fail)
    assert core.calls() == want_calls and logger.lines == logged
    same_outcome(outcome(c_sdk.c_status_ok, *args, **kwargs), outcome(ok_ref, *args, **kwargs))


@fuzz
@given(st.lists(values, max_size=2), st.dictionaries(st.sampled_from(["func", "x"]), values, max_size=2),
       st.lists(values, max_size=4), st.dictionaries(ascii_text, values, max_size=3), st.booleans())
def test_adapter_and_probes(args, kwargs, call_args, call_kwargs, py2):
    for probe, system in ((c_sdk.is_linux, "linux"), (c_sdk.is_windows, "windows")):
        same_outcome(outcome(probe, *args, **kwargs), outcome(lambda: system == "linux", *args, **kwargs))
    same_outcome(outcome(c_sdk.adapt_to_python3, *args, **kwargs)[:1] + (None,),
                 outcome(lambda func: None, *args, **kwargs)[:1] + (None,))
    seen = []
    wrapped = c_sdk.adapt_to_python3(lambda *a, **k: seen.append((a, k)) or "done")
    c_sdk.IS_PY2 = py2
    enc = (lambda v: v) if py2 else (lambda v: v.encode("ascii") if isinstance(v, str) else v)
    want = outcome(lambda: (tuple(map(enc, call_args)), {k: enc(v) for k, v in call_kwargs.items()}))
    got = outcome(wrapped, *call_args, **call_kwargs)
    if want[0] == "raise":
        assert got == want and seen == []
    else:
        assert got == ("ok", "done") and seen == [want[1]]
        assert [type(a) for a in seen[0][0]] == [type(a) for a in want[1][0]]
