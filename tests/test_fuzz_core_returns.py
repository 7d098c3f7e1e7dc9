"""Whatever the core hands back (failing statuses, any response or text, null
pointers, missing writes, negative or overlong lengths) through every callable
that passes it on: the call returns what the module promises or refuses it
with the reason.
"""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import c_sdk
from call_model import STATUSES, TARGETS
from fuzzing import INT_MIN, fuzz

HANDED_BACK = [t for t in TARGETS if t.result in ("pair", "text_or_none", "bytes")]
SIMPLE = {"bytes": b"a", "req": b"req", "int": 1, "float": 1.0, "flag": True}
core_texts = st.none() | st.binary(max_size=12).map(lambda b: b.replace(b"\0", b"."))


@st.composite
def handed_back(draw, target):
    """How the core answers: (status, response or text, raw bending)."""
    status = draw(STATUSES) if target.result != "bytes" else 0
    if target.result == "bytes":
        return status, draw(core_texts), {}
    value = draw(st.binary(max_size=12) if target.result == "pair" else core_texts)
    if target.result == "text_or_none":  # a null pointer written, or nothing at all
        return status, value, draw(st.sampled_from([{}, {"null_pointer": True}, {"write": False}]))
    bend = {}
    if draw(st.booleans()):
        bend["null_pointer"] = draw(st.booleans())
        bend["write"] = draw(st.booleans())
        if draw(st.booleans()):
            bend["length"] = draw(st.sampled_from([INT_MIN, -1, 0, 1, 40]) | st.integers(-3, 40))
    return status, value, bend


def expected_back(target, status, value, bend):
    """What the call returns, or (RuntimeError, message)."""
    name = target.core
    if target.result == "bytes":
        return (RuntimeError, f"{name}() returned a null text") if value is None else value
    if status != 0:
        return (status, None) if target.result == "pair" else None
    written = bend.get("write", True)
    if target.result == "text_or_none":
        if not written or bend.get("null_pointer") or value is None:
            return RuntimeError, f"{name}() reported success with a null text"
        return value
    if not written:  # the module's own null and 0 stay
        return status, b""
    n = bend.get("length", len(value))
    if n < 0:
        return RuntimeError, f"{name}() reported success with a negative response length ({n})"
    if n > 0 and bend.get("null_pointer"):
        return RuntimeError, f"{name}() reported success with a null response of {n} bytes"
    return status, (value + bytes(n))[:n]


@pytest.mark.parametrize("target", HANDED_BACK, ids=[t.attr for t in HANDED_BACK])
@fuzz
@given(data=st.data())
def test_whatever_the_core_hands_back(quiet_core, target, data):
    core = quiet_core
    core.reset()
    status, value, bend = data.draw(handed_back(target), label="answer")
    if target.result == "pair":
        core.set_status(target.core, status)
        core.set_response(target.core, value)
    elif target.result == "text_or_none":
        core.set_status(target.core, status)
        core.set_text(target.core, value)
    else:
        core.set_text(target.core, value)
    if bend:
        core.set_response_raw(target.core, **bend)
    args = [SIMPLE[kind] for _, kind in target.params]
    expected = expected_back(target, status, value, bend)
    if isinstance(expected, tuple) and expected[0] is RuntimeError:
        with pytest.raises(RuntimeError) as info:
            getattr(c_sdk, target.attr)(*args)
        assert str(info.value) == expected[1]
    else:
        got = getattr(c_sdk, target.attr)(*args)
        assert got == expected and type(got) is type(expected)
