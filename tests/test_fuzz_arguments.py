"""Arbitrary Python values, in argument lists of every shape, thrown at every
callable of the module.

Each call is checked against the model of call_model.py: it either returns
what the model says, with exactly the core call the model expects, or raises
the model's exception and reaches nothing in the core.
"""

import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import c_sdk
from call_model import PROGRAMMABLE, STATUSES, TARGETS, Raises
from fuzzing import INT_MAX, INT_MIN, ascii_text, byte_strings, floats, fuzz, ints, values


# A value that a parameter of this kind accepts, to reach the core often.
VALID = {
    "bytes": byte_strings,
    "req": byte_strings,
    "int": st.integers(INT_MIN, INT_MAX) | st.floats(-1e9, 1e9) | st.booleans(),
    "float": floats | ints,
    "flag": values,
    "any": values,
}


@st.composite
def arguments(draw, params, adapted):
    """(args, kwargs) for a callable with these parameters: exact, by position
    or keyword, too few, too many, unknown and repeated keywords."""
    names = [n for n, _ in params]

    def value(kind):
        good = VALID[kind]
        if adapted and kind in ("bytes", "req"):
            good = good | ascii_text
        return draw(good | values if draw(st.booleans()) else values)

    shape = draw(st.sampled_from(["positional", "keyword", "mixed", "random"]))
    if shape == "random":
        npos = draw(st.integers(0, len(names) + 2))
        args = [value(params[i][1]) if i < len(names) else draw(values) for i in range(npos)]
        kwnames = draw(st.lists(st.sampled_from(names + ["bogus", "req", "self", "x"]) if names
                                else st.sampled_from(["bogus", "x"]), max_size=3, unique=True))
        kinds = dict(params)
        kwargs = {k: value(kinds.get(k, "any")) for k in kwnames}
        return args, kwargs
    npos = {"positional": len(names), "keyword": 0}.get(shape)
    if npos is None:  # mixed: the first ones by position, the rest by keyword
        npos = draw(st.integers(0, len(names)))
    args = [value(kind) for _, kind in params[:npos]]
    rest = list(params[npos:])
    rest = draw(st.permutations(rest)) if rest else rest
    kwargs = {name: value(kind) for name, kind in rest}
    return args, kwargs


def same_exception(actual, expected):
    exc = expected.exc
    assert type(actual) is type(exc), f"raised {actual!r}, expected {exc!r}"
    if expected.exact:
        assert str(actual) == str(exc)


def check_call(core, fn, target, args, kwargs, status):
    """Calls fn and checks it against the model and the core's call log."""
    core.clear_calls()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # __int__ returning an int subclass warns; the value is used
        try:
            call, result = target.model(args, kwargs, status)
        except Raises as expected:
            with pytest.raises(Exception) as info:
                fn(*args, **kwargs)
            same_exception(info.value, expected)
            assert core.calls() == [], "a refused call reached the core"
            return
        actual = fn(*args, **kwargs)
    assert [call] == core.calls()
    assert actual == result and type(actual) is type(result)


@pytest.mark.parametrize("target", TARGETS, ids=[t.attr for t in TARGETS])
@fuzz
@given(data=st.data())
def test_any_arguments(quiet_core, target, data):
    core = quiet_core
    fn = getattr(c_sdk, target.attr)
    status = 0
    if target.result in PROGRAMMABLE or (target.result == "int" and target.attr.startswith("py_")):
        status = data.draw(STATUSES, label="status")
        core.set_status(target.core, status)
    args, kwargs = data.draw(arguments(target.params, target.adapted), label="arguments")
    check_call(core, fn, target, args, kwargs, status)
