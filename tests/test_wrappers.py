"""Every wrapper and direct callable, checked against the registry and the
stand-in core's record of what it received."""

import pytest

import c_sdk
from interpreter_says import exactly, no_len, not_bytes, not_real
from qvcore_standin import ANY, Buffer, FnPtr, OutPtr, Text
from registry import DIRECT, NAMESPACE, NULL, OUT, WRAPPERS

IDS = [row.name for row in WRAPPERS]
WITH_PARAMS = [row for row in WRAPPERS if row.params]
TEXTUAL = [row for row in WRAPPERS if any(k in ("bytes", "req") for _, k in row.params)]


def valid(row):
    """A valid argument per parameter, distinct enough to see the order."""
    values = {}
    for i, (name, kind) in enumerate(row.params):
        values[name] = {
            "bytes": b"v-" + name.encode(),
            "req": b"r\x00q-" + name.encode(),
            "int": 10 + i,
            "float": 0.5 + i,
            "flag": [0],  # truthy, and not a bool: the truth value is what counts
            "any": print,
        }[kind]
    return values


def expected_cargs(row, values):
    out = []
    for carg in row.cargs:
        if carg == OUT:
            out += [OutPtr(ANY)] * (2 if row.result == "pair" else 1)
        elif carg == NULL:
            out.append(Text(ANY, None))
        elif carg == "<callback>":
            out.append(FnPtr(ANY))
        else:
            v, kind = values[carg], row.kinds[carg]
            if kind == "bytes":
                out.append(Text(ANY, v))
            elif kind == "req":
                out.append(Buffer(ANY, len(v), v, True))
            elif row.core == "qvi_set_mode_consistency":
                out.append(v != 0)
            elif kind == "int":
                out.append(v)
            elif kind == "float":
                out.append(float(v))
            elif kind == "flag":
                out.append(bool(v))
    return out


def default_result(row, values):
    return {
        "pair": (0, row.core.encode()),
        "int": 0,
        "none": None,
        "bytes": b"stand-in error 10" if row.core == "qvi_strerror" else row.core.encode(),
        "text_or_none": b"addr:" + values.get("serv_id", b""),
    }[row.result]


def test_namespace_holds_exactly_the_registry_in_order():
    names = [n for n in vars(c_sdk) if not n.startswith("__")]
    assert names == NAMESPACE


@pytest.mark.parametrize("row", WRAPPERS, ids=IDS)
def test_function_attributes(row):
    fn = getattr(c_sdk, row.name)
    assert fn.__name__ == ("wrapper" if row.adapted else row.name)
    assert fn.__qualname__ == ("adapt_to_python3.<locals>.wrapper" if row.adapted else row.name)
    assert fn.__module__ == "c_sdk"
    assert fn.__doc__ is None
    assert fn.__defaults__ is None


@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("row", WRAPPERS, ids=IDS)
def test_call_reaches_its_core_function_with_exact_arguments(core, row, by_keyword):
    values = valid(row)
    fn = getattr(c_sdk, row.name)
    if by_keyword:  # in reverse order: binding is by name
        result = fn(**dict(reversed(list(values.items()))))
    else:
        result = fn(*values.values())
    calls = core.calls()
    assert [c.fn for c in calls] == [row.core]
    assert list(calls[0].args) == expected_cargs(row, values)
    if row.core != "qvi_set_event_callback_pb":
        assert result == default_result(row, values)


@pytest.mark.parametrize("row", WRAPPERS, ids=IDS)
def test_wrong_argument_count_names_the_function(core, row):
    fn = getattr(c_sdk, row.name)
    n = len(row.params)
    args = list(valid(row).values())
    if n == 0:
        with pytest.raises(TypeError, match=rf"^{row.name}\(\) takes no arguments \(1 given\)$"):
            fn(1)
        with pytest.raises(TypeError, match=rf"^{row.name}\(\) takes no keyword arguments$"):
            fn(x=1)
    else:
        plural = "" if n == 1 else "s"
        msg = rf"^{row.name}\(\) takes exactly {n} positional argument{plural} \({{}} given\)$"
        with pytest.raises(TypeError, match=msg.format(n + 1)):
            fn(*args, 1)
        with pytest.raises(TypeError, match=msg.format(n - 1)):
            fn(*args[:-1])
    assert core.calls() == []


@pytest.mark.parametrize("row", WITH_PARAMS, ids=[r.name for r in WITH_PARAMS])
def test_keyword_errors_name_the_function(core, row):
    fn = getattr(c_sdk, row.name)
    values = valid(row)
    args = list(values.values())
    with pytest.raises(TypeError, match=rf"^{row.name}\(\) got an unexpected keyword argument 'bogus'$"):
        fn(*args, bogus=1)
    first = row.params[0][0]
    with pytest.raises(TypeError, match=rf"^{row.name}\(\) got multiple values for keyword argument '{first}'$"):
        fn(*args, **{first: args[0]})
    assert core.calls() == []


@pytest.mark.parametrize("row", TEXTUAL, ids=[r.name for r in TEXTUAL])
def test_str_is_accepted_only_through_the_adapter(core, row):
    values = valid(row)
    name = next(n for n, k in row.params if k in ("bytes", "req"))
    values[name] = values[name].decode()
    fn = getattr(c_sdk, row.name)
    if row.adapted:
        fn(**values)
        assert list(core.calls()[0].args) == expected_cargs(row, {**values, name: values[name].encode()})
        with pytest.raises(UnicodeEncodeError):
            fn(**{**values, name: "é"})
        assert len(core.calls()) == 1
    else:
        with pytest.raises(TypeError, match=exactly(not_bytes(""))):
            fn(**values)
        assert core.calls() == []


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


BAD = {
    "bytes": (None, TypeError, exactly(not_bytes(None))),
    "req": (None, TypeError, exactly(no_len(None))),
    "int": (b"5", TypeError, "^an integer is required$"),
    "float": (b"x", TypeError, exactly(not_real(b"x"))),
    "flag": (Truthless(), ZeroDivisionError, "no truth"),
}
BAD_CASES = [(row, name) for row in WRAPPERS for name, kind in row.params if kind in BAD]


@pytest.mark.parametrize("row,param", BAD_CASES, ids=[f"{r.name}-{p}" for r, p in BAD_CASES])
def test_a_failing_conversion_never_reaches_the_core(core, row, param):
    values = valid(row)
    bad, exc, msg = BAD[row.kinds[param]]
    values[param] = bad
    with pytest.raises(exc, match=msg):
        getattr(c_sdk, row.name)(**values)
    assert core.calls() == []


@pytest.mark.parametrize("status", [-3, 1, 2**31 - 1, -(2**31)])
@pytest.mark.parametrize("row", WRAPPERS, ids=IDS)
def test_failure_statuses_come_back_as_statuses(core, row, status):
    if row.result in ("none", "bytes") or row.core == "qvi_set_event_callback_pb":
        pytest.skip("no status to return")
    core.set_status(row.core, status)
    if row.result == "pair":
        core.set_response(row.core, b"written anyway")
    result = getattr(c_sdk, row.name)(*valid(row).values())
    expected = {"pair": (status, None), "int": status, "text_or_none": None}[row.result]
    assert result == expected and type(result) is type(expected)


PAIRS = [row for row in WRAPPERS if row.result == "pair"]


@pytest.mark.parametrize("row", PAIRS, ids=[r.name for r in PAIRS])
def test_success_copies_exactly_the_response(core, row):
    fn = getattr(c_sdk, row.name)
    args = list(valid(row).values())
    core.set_response(row.core, b"\x00abc\xff")
    assert fn(*args) == (0, b"\x00abc\xff")
    core.set_response(row.core, b"")
    assert fn(*args) == (0, b"")


@pytest.mark.parametrize("attr,params,result,doc", DIRECT, ids=[d[0] for d in DIRECT])
def test_direct_callables(core, attr, params, result, doc):
    fn = getattr(c_sdk, attr)
    assert (fn.__name__, fn.__doc__, fn.__module__, fn.__defaults__) == ("wrap", doc, "c_sdk", None)
    values = {n: (b"d-" + n.encode() if k == "bytes" else 3 if k == "int" else []) for n, k in params}
    out = fn(**values)
    assert [c.fn for c in core.calls()] == [attr]
    assert type(out) is {"none": type(None), "bytes": bytes, "int": int, "float": float}[result]
    if params:
        with pytest.raises(TypeError, match=r"^wrap\(\) takes exactly"):
            fn()
        if any(k == "bytes" for _, k in params):
            with pytest.raises(TypeError, match=exactly(not_bytes(""))):
                fn(**{n: (v.decode() if isinstance(v, bytes) else v) for n, v in values.items()})
    else:
        with pytest.raises(TypeError, match=r"^wrap\(\) takes no arguments \(1 given\)$"):
            fn(1)
    assert len(core.calls()) == 1


KIND_NAMES = {"bytes": "bytes", "req": "request", "int": "int", "float": "float", "flag": "flag", "any": "any"}


@pytest.mark.parametrize("row", WRAPPERS, ids=IDS)
def test_described_call_matches_the_registry(row):
    meta = getattr(c_sdk, row.name).__core__
    assert meta["core"] == row.core and meta["adapted"] == row.adapted
    assert meta["params"] == tuple((n, KIND_NAMES[k]) for n, k in row.params)
    assert meta["result"] == {"text_or_none": "bytes-or-none"}.get(row.result, row.result)
