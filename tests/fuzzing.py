"""What the fuzz tests share: their settings, arbitrary Python values of
every kind (among them odd objects whose special methods raise or return
anything), and the outcome of a call.

The number of examples per test is bounded for CI; set C_SDK_FUZZ_EXAMPLES
for a longer run (`make fuzz-long EXAMPLES=2000`).
"""

import math
import os
import warnings

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("C_SDK_FUZZ_EXAMPLES", "20"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
LONG_MIN, LONG_MAX = -(2**63), 2**63 - 1


# --- values -----------------------------------------------------------------


class Boom(Exception):
    """Raised by the odd objects' special methods."""


class IntSub(int):
    pass


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class StrSub(str):
    pass


# What an odd object's special method returns when it does not raise.
RETURNS = [0, 1, -1, 7, 2**31, 2**40, 2**70, 2.5, "x", b"x", True, None, IntSub(3), FloatSub(1.5)]
SPECIAL = ["__int__", "__float__", "__index__", "__bool__", "__len__"]
BASES = {"object": (object, None), "int": (int, 5), "float": (float, 2.5), "bytes": (bytes, b"ab\0c"),
         "bytearray": (bytearray, b"xyz"), "str": (str, "s")}


def make_odd(base, behaviour):
    """An object of a new class derived from `base` whose special methods
    (a subset of SPECIAL) raise Boom or return a fixed value."""
    ns = {}
    for name, (raises, value) in behaviour:
        if raises:
            def method(self, _name=name):
                raise Boom(_name)
        else:
            def method(self, _value=value):
                return _value
        ns[name] = method
    ns["__repr__"] = lambda self, _d=(base, behaviour): f"Odd{_d!r}"
    ns["__hash__"] = lambda self: 1
    ns["__eq__"] = lambda self, other: self is other
    cls_base, init = BASES[base]
    cls = type("Odd", (cls_base,), ns)
    return cls() if init is None else cls(init)


odd = st.builds(
    make_odd,
    st.sampled_from(sorted(BASES)),
    st.lists(st.tuples(st.sampled_from(SPECIAL), st.tuples(st.booleans(), st.sampled_from(RETURNS))),
             max_size=3, unique_by=lambda t: t[0]).map(tuple),
)

INT_EDGES = [0, 1, -1, INT_MAX, INT_MAX + 1, INT_MIN, INT_MIN - 1, 2**32, LONG_MAX, LONG_MAX + 1, LONG_MIN,
             LONG_MIN - 1, 2**64, 10**40]
ints = st.sampled_from(INT_EDGES) | st.integers()
floats = st.floats() | st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 2.9, -2.9, 1e308, 2.0**31])
ascii_text = st.text(st.characters(max_codepoint=127), max_size=8)
texts = ascii_text | st.text(max_size=8) | st.builds(StrSub, ascii_text)
byte_strings = (st.binary(max_size=16) | st.binary(max_size=16).map(bytearray)
                | st.builds(BytesSub, st.binary(max_size=8)) | st.builds(ByteArraySub, st.binary(max_size=8)))
scalars = (st.none() | st.booleans() | ints | floats | texts | byte_strings
           | st.binary(max_size=8).map(memoryview) | st.builds(IntSub, ints) | st.builds(FloatSub, floats) | odd)
values = scalars | st.lists(scalars, max_size=3) | st.tuples(scalars) | st.dictionaries(ascii_text, scalars,
                                                                                          max_size=2)


# --- outcomes -------------------------------------------------------------------


def outcome(fn, *args, **kwargs):
    """('ok', value) or ('raise', exception type)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001
            return "raise", type(e)


def same_outcome(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert got[1] is want[1] or (got[1] == want[1] and type(got[1]) is type(want[1])), (got, want)
    else:
        assert got[1] is want[1], (got, want)
