"""Arbitrary Python values, in argument lists of every shape, thrown at every
callable of the module, and arbitrary events thrown at its entry point.

Each call is checked against a model of what the module promises: the
adapter's str encoding, argument binding, the conversion of each parameter
kind in C argument order, the one core call and its result. A call either
returns what the model says, with exactly the core call the model expects, or
raises the model's exception and reaches nothing in the core.

The number of examples per test is bounded for CI; set C_SDK_FUZZ_EXAMPLES
for a longer run (`make fuzz-long EXAMPLES=2000`).
"""

import ctypes
import math
import operator
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import c_sdk
from interpreter_says import not_bytes, not_real, too_large_for_long
from qvcore_standin import ANY, Buffer, Call, FnPtr, OutPtr, Text
from registry import DIRECT, NULL, OUT, WRAPPERS

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


# --- the model ----------------------------------------------------------------


class Raises(Exception):
    """The model's verdict that a call raises `exc`; `exact` says whether its
    message is known to the letter."""

    def __init__(self, exc, exact=True):
        super().__init__(exc)
        self.exc, self.exact = exc, exact


class NanMatch:
    def __eq__(self, other):
        return isinstance(other, float) and math.isnan(other)

    def __repr__(self):
        return "nan"


def expected_failure(fn):
    """Runs one step of the model; an exception becomes the verdict."""
    try:
        return fn()
    except Raises:
        raise
    except Exception as e:  # noqa: BLE001 - any exception is a possible verdict
        raise Raises(e) from None


def adapt(args, kwargs):
    enc = lambda v: v.encode("ascii") if isinstance(v, str) else v  # noqa: E731
    args = [expected_failure(lambda a=a: enc(a)) for a in args]
    return args, {k: expected_failure(lambda v=v: enc(v)) for k, v in kwargs.items()}


def bind(name, params, args, kwargs):
    names = [n for n, _ in params]
    n, nargs = len(names), len(args)

    def count(given):
        return Raises(TypeError(f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} "
                                f"({given} given)"))

    if n == 0:
        if kwargs:
            raise Raises(TypeError(f"{name}() takes no keyword arguments"))
        if args:
            raise Raises(TypeError(f"{name}() takes no arguments ({nargs} given)"))
        return {}
    if nargs > n or (not kwargs and nargs < n):
        raise count(nargs)
    bound = dict(zip(names, args))
    for i in range(nargs, n):
        if names[i] not in kwargs:
            raise count(i)
        bound[names[i]] = kwargs[names[i]]
    for key in kwargs:
        if key in names[nargs:]:
            continue
        what = "got multiple values for keyword argument" if key in names else "got an unexpected keyword argument"
        raise Raises(TypeError(f"{name}() {what} '{key}'"))
    return bound


def c_int(v):
    if isinstance(v, int):
        x = int.__int__(v)
    else:
        method = getattr(type(v), "__int__", None)
        if method is None:
            raise TypeError("an integer is required")
        x = method(v)
        if not isinstance(x, int):
            raise TypeError(f"__int__ returned non-int (type {type(x).__name__})")
        x = int.__int__(x)
    if not LONG_MIN <= x <= LONG_MAX:
        raise OverflowError(too_large_for_long(x))
    if not INT_MIN <= x <= INT_MAX:
        raise OverflowError("value too large to convert to int")
    return x


def c_double(v):
    if isinstance(v, float):
        return float.__float__(v)
    method = getattr(type(v), "__float__", None)
    if method is not None:
        r = method(v)
        if isinstance(r, float):
            return float.__float__(r)
        raise TypeError(f"{type(v).__name__}.__float__ returned non-float (type {type(r).__name__})")
    if getattr(type(v), "__index__", None) is not None:
        return float(operator.index(v))
    raise TypeError(not_real(v))


def c_bytes(v):
    if not isinstance(v, (bytes, bytearray)):
        raise TypeError(not_bytes(v))


def c_request(v):
    n = len(v)
    c_bytes(v)
    if n > INT_MAX:
        raise Raises(OverflowError(), exact=False)
    return n


def raw(v):
    """The bytes in the buffer of a bytes or bytearray (subclass) object."""
    return memoryview(v).tobytes()


def core_args(row_cargs, kinds, bound, result, converted):
    out = []
    for carg in row_cargs:
        if carg == OUT:
            out += [OutPtr(ANY)] * (2 if result == "pair" else 1)
        elif carg == NULL:
            out.append(Text(ANY, None))
        elif carg == "<callback>":
            out.append(FnPtr(ANY))
        else:
            kind, v = kinds[carg], converted[carg]
            if kind == "bytes":
                out.append(Text(ANY, raw(bound[carg]).split(b"\0")[0]))
            elif kind == "req":
                out.append(Buffer(ANY, v, raw(bound[carg]), True))
            elif kind == "float" and math.isnan(v):
                out.append(NanMatch())
            else:
                out.append(v)
    return tuple(out)


class Target:
    """A callable over one core function, as its users know it."""

    def __init__(self, attr, name, adapted, params, core, cargs, result):
        self.attr, self.name, self.adapted, self.params = attr, name, adapted, tuple(params)
        self.core, self.cargs, self.result = core, tuple(cargs), result

    def __repr__(self):
        return self.attr

    def model(self, args, kwargs, status):
        """(core call, result) of a call, or raises Raises."""
        if self.adapted:
            args, kwargs = adapt(args, kwargs)
        bound = bind(self.name, self.params, args, kwargs)
        kinds = dict(self.params)
        converted = {}
        for carg in self.cargs:  # every check, in C argument order
            if carg in kinds:
                convert = {"bytes": c_bytes, "req": c_request, "int": c_int, "float": c_double, "flag": bool,
                           "any": lambda v: v}[kinds[carg]]
                converted[carg] = expected_failure(lambda: convert(bound[carg]))
        for carg in self.cargs:  # then the buffers of the requests
            if carg in kinds and kinds[carg] == "req":
                size = len(raw(bound[carg]))
                if size != converted[carg]:
                    raise Raises(ValueError(), exact=False)
        if self.core == "qvi_set_mode_consistency":
            converted["mode"] = converted["mode"] != 0
        call = Call(self.core, core_args(self.cargs, kinds, bound, self.result, converted))
        ok = status == 0
        if self.result == "pair":
            result = (status, self.core.encode() if ok else None)
        elif self.result == "int":
            result = {"qvi_now": 1700000000000}.get(self.core, status)
        elif self.result == "float":
            result = 1700000000.5
        elif self.result == "bytes":
            result = (b"stand-in error %d" % converted["errorno"] if self.core == "qvi_strerror"
                      else self.core.encode())
        elif self.result == "text_or_none":
            result = b"addr:" + raw(bound["serv_id"]).split(b"\0")[0] if ok else None
        else:
            result = None
        return call, result


TARGETS = [Target(r.name, r.name, r.adapted, r.params, r.core, r.cargs, r.result) for r in WRAPPERS] + [
    Target(attr, "wrap", False, params, attr, [n for n, _ in params], result) for attr, params, result, _ in DIRECT]
PROGRAMMABLE = {"pair", "text_or_none"}
STATUSES = st.sampled_from([0, 0, 0, 1, -3, INT_MAX, INT_MIN])


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


@pytest.fixture
def quiet_core(standin):
    standin.reset()
    yield standin
    standin.reset()


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


# --- what the core hands back ----------------------------------------------------

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


# --- helpers -------------------------------------------------------------------


def outcome(fn, *args, **kwargs):
    """('ok', value) or ('raise', exception type)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001
            return "raise", type(e)


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


def same_outcome(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert got[1] is want[1] or (got[1] == want[1] and type(got[1]) is type(want[1])), (got, want)
    else:
        assert got[1] is want[1], (got, want)


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


# --- record classes ------------------------------------------------------------


class Reference:
    """The record classes' members, written in Python: what each must do."""

    def init(self, data):
        self.data = data

    def get(self, item):
        return self.data.get(item)

    def setitem(self, item, value):
        self.data[item] = value

    def contains(self, key):
        return key in self.data

    def setattr(self, item, value, cls=None):
        if item != "data":
            self.data[item] = value
        else:
            super(cls, self).__setattr__(item, value)

    def str(self):
        return self.data.__str__()

    def repr(self):
        return self.data.__repr__()


MEMBERS = {"__init__": (Reference.init, 1), "__getitem__": (Reference.get, 1), "__getattr__": (Reference.get, 1),
           "__setitem__": (Reference.setitem, 2), "__contains__": (Reference.contains, 1),
           "__setattr__": (Reference.setattr, 2), "__str__": (Reference.str, 0), "__repr__": (Reference.repr, 0)}
RECORD_MEMBERS = []
for _cls_name in ("QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"):
    _cls = getattr(c_sdk, _cls_name)
    for _name, _member in vars(_cls).items():
        if _name in MEMBERS:
            RECORD_MEMBERS.append((_cls_name, _name, "method"))
        elif isinstance(_member, property):
            RECORD_MEMBERS.append((_cls_name, _name, "fget"))
            if _member.fset is not None:
                RECORD_MEMBERS.append((_cls_name, _name, "fset"))

mappings = st.dictionaries(ascii_text | ints, scalars, max_size=4)


@pytest.mark.parametrize("cls_name,name,how", RECORD_MEMBERS, ids=["-".join(m) for m in RECORD_MEMBERS])
@fuzz
@given(data=st.data())
def test_record_members(cls_name, name, how, data):
    cls = getattr(c_sdk, cls_name)
    member = vars(cls)[name]
    c_fn = member if how == "method" else getattr(member, how)
    if how == "method":
        ref_fn, nargs = MEMBERS[name]
        if name == "__setattr__":
            ref_fn = lambda self, *a, _f=ref_fn: _f(self, *a, cls=cls)  # noqa: E731
    elif how == "fget":
        ref_fn, nargs = (lambda self, _k=name: self.data.get(_k)), 0
    else:
        ref_fn, nargs = (lambda self, value, _k=name: Reference.setitem(self, _k, value)), 1

    items = data.draw(st.lists(values | ascii_text, min_size=nargs, max_size=nargs), label="args")
    contents = data.draw(mappings | st.sampled_from([None, [], "text"]), label="data")
    copy = lambda: dict(contents) if isinstance(contents, dict) else contents  # noqa: E731
    mine, theirs = cls(copy()), cls(copy())
    if data.draw(st.booleans(), label="wrong self"):
        other = data.draw(values, label="self")
        mine = theirs = other
    if data.draw(st.integers(0, 9), label="shape") == 0:  # a wrong argument list: refused
        extra = data.draw(st.lists(values, max_size=nargs + 2).filter(lambda e: len(e) != nargs + 1))
        assert outcome(c_fn, *extra) == ("raise", TypeError)
        return
    same_outcome(outcome(c_fn, mine, *items), outcome(ref_fn, theirs, *items))
    if isinstance(mine, cls) and mine is not theirs:
        assert outcome(lambda: mine.data is theirs.data or mine.data == theirs.data) == ("ok", True)


# --- events -----------------------------------------------------------------------


events = st.tuples(
    st.binary(max_size=10) | st.text(max_size=6).map(str.encode) | st.none(),  # None: a null msg_type
    st.binary(max_size=24),
    st.none() | st.integers(-3, 40),  # data_len: len(payload) when None
    st.booleans(),                    # null data pointer
    st.sampled_from(["take", "raise", "call"]),
)


def expected_event(msg, payload, data_len, null_data, py2):
    """(message type, payload) as the callable gets them, or the exception type."""
    if msg is None:
        return RuntimeError
    name = msg.split(b"\0")[0]
    if not py2:
        try:
            name = name.decode("utf-8")
        except UnicodeDecodeError:
            return UnicodeDecodeError
    n = len(payload) if data_len is None else data_len
    if null_data and n > 0:
        return RuntimeError
    if n < 0:
        return SystemError
    return name, b"" if null_data else (payload + bytes(n))[:n]


@fuzz
@given(st.lists(events, max_size=12), st.sampled_from(["run", "poll", "thread"]), st.booleans())
def test_any_events(quiet_core, monkeypatch, batch, how, py2):
    core = quiet_core
    printed, unraisable, seen = [], [], []
    monkeypatch.setattr("sys.excepthook", lambda t, v, tb: printed.append(t))
    monkeypatch.setattr("sys.unraisablehook", lambda u: unraisable.append((u.exc_type, u.object)))
    expected, behaviour, failures = [], [], []
    for msg, payload, data_len, null_data, what in batch:
        event = expected_event(msg, payload, data_len, null_data, py2)
        if isinstance(event, tuple):
            expected.append(event)
            behaviour.append(what)
            if what == "raise":
                failures.append(Boom)
        else:
            failures.append(event)

    def callback(msg_type, payload):
        what = behaviour[len(seen)]
        seen.append((msg_type, payload))
        if what == "raise":
            raise Boom(msg_type)
        if what == "call":
            assert c_sdk.py_qvi_place_order(payload) == (0, b"qvi_place_order_pb")

    def deliver():
        queued = core.queued()
        if how == "thread":  # from a native thread the interpreter has never seen
            assert core.deliver_from_thread() == queued
        else:
            assert (c_sdk.py_qvi_run() if how == "run" else c_sdk.qvi_poll()) == 0

    c_sdk.py_qvi_set_data_callback(callback)
    c_sdk.IS_PY2 = py2
    # The stand-in queues no null message type: such an event goes straight
    # to the entry point, in its place among the others, with the lock held
    # as from inside a core call, or without it.
    proto = ctypes.CFUNCTYPE if how == "thread" else ctypes.PYFUNCTYPE
    entry = proto(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)(core.callback_address())
    for msg, payload, data_len, null_data, _ in batch:
        if msg is not None:
            core.queue_event(msg, payload, data_len=data_len, null_data=null_data)
            continue
        deliver()
        n = len(payload) if data_len is None else data_len
        buffer = ctypes.create_string_buffer(payload, max(n, len(payload), 1))
        entry(None, None if null_data else buffer, n)
    deliver()
    assert seen == expected
    assert all(type(t) is (bytes if py2 else str) for t, _ in seen)
    assert printed == failures
    assert unraisable == [(t, "c_sdk.callback_wrapper") for t in failures]
    assert core.queued() == 0
