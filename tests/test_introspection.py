"""What tools that look at the callables instead of calling them see: signatures
for inspect and pydoc, the attributes functools.wraps copies, pickling by
reference and copying as the object itself."""

import copy
import functools
import inspect
import pickle
import pydoc

import pytest

import c_sdk
from conftest import run_python
from registry import DIRECT, RECORDS, WRAPPERS

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
ANY = "(*args, **kwargs)"

# Parameters of the record members after `self`.
RECORD_PARAMS = {
    "__init__": ["data"],
    "__getitem__": ["item"],
    "__setitem__": ["item", "value"],
    "__contains__": ["key"],
    "__getattr__": ["item"],
    "__setattr__": ["item", "value"],
    "__str__": [],
    "__repr__": [],
}

HELPER_SIGNATURES = {
    "is_windows": "()",
    "is_linux": "()",
    "adapt_to_python3": "(func)",
    "c_status_ok": "(status)",
    "c_status_fail": "(status, cfunname='')",
}


def text(names):
    return f"({', '.join(names)})"


# Every module-level callable: (attribute, the signature it binds).
MODULE_CALLABLES = (
    [(row.name, ANY if row.adapted else text(p for p, _ in row.params)) for row in WRAPPERS]
    + [(name, text(p for p, _ in params)) for name, params, _, _ in DIRECT]
    + list(HELPER_SIGNATURES.items())
)


def record_members():
    """(id, function, signature with self) for every member of every record class."""
    out = []
    for cls_name in RECORDS:
        for key, value in vars(getattr(c_sdk, cls_name)).items():
            if isinstance(value, property):
                out.append((f"{cls_name}.{key}.fget", value.fget, "(self)"))
                if value.fset is not None:
                    out.append((f"{cls_name}.{key}.fset", value.fset, "(self, value)"))
            elif key in RECORD_PARAMS:
                out.append((f"{cls_name}.{key}", value, text(["self"] + RECORD_PARAMS[key])))
    return out


RECORD_MEMBERS = record_members()


def every_function():
    return [getattr(c_sdk, n) for n, _ in MODULE_CALLABLES] + [fn for _, fn, _ in RECORD_MEMBERS]


@pytest.mark.parametrize("name,expected", MODULE_CALLABLES, ids=[n for n, _ in MODULE_CALLABLES])
def test_module_callable_signature_and_pydoc_line(name, expected):
    fn = getattr(c_sdk, name)
    sig = inspect.signature(fn)
    assert str(sig) == expected
    kinds = {p.kind for p in sig.parameters.values()}
    if expected == ANY:
        assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.VAR_POSITIONAL,
                                                              inspect.Parameter.VAR_KEYWORD]
    else:
        assert kinds <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        defaults = {p.name: p.default for p in sig.parameters.values() if p.default is not p.empty}
        assert defaults == ({"cfunname": ""} if name == "c_status_fail" else {})
    # pydoc's first line, as help(c_sdk) lists the function.
    first = pydoc.plaintext.document(fn, name).splitlines()[0]
    assert first == (name if fn.__name__ == name else f"{name} = {fn.__name__}") + expected
    assert inspect.isroutine(fn) and not inspect.isfunction(fn)


def test_signature_follows_the_defaults_as_the_call_does(core):
    fn = c_sdk.c_status_fail
    try:
        fn.__defaults__ = ("qvi_run",)
        assert str(inspect.signature(fn)) == "(status, cfunname='qvi_run')"
        fn.__defaults__ = None
        assert str(inspect.signature(fn)) == "(status, cfunname)"
        # A default that no signature text can hold: no signature rather than a wrong one.
        fn.__defaults__ = (object(),)
        with pytest.raises(ValueError, match="no signature found"):
            inspect.signature(fn)
        for default in (b"x", 3, -1.5, True, None):
            fn.__defaults__ = (default,)
            assert inspect.signature(fn).parameters["cfunname"].default == default
    finally:
        fn.__defaults__ = ("",)
    assert str(inspect.signature(fn)) == "(status, cfunname='')"


@pytest.mark.parametrize("cls_name", RECORDS)
def test_record_class_signature_and_help(cls_name):
    cls = getattr(c_sdk, cls_name)
    assert str(inspect.signature(cls)) == "(data)"
    page = pydoc.plain(pydoc.render_doc(cls))
    assert f" |  {cls_name}(data)" in page.splitlines()
    for key in vars(cls):
        if key in RECORD_PARAMS:
            assert f" |  {key}{text(['self'] + RECORD_PARAMS[key])}" in page.splitlines()


@pytest.mark.parametrize("member,fn,expected", RECORD_MEMBERS, ids=[m[0] for m in RECORD_MEMBERS])
def test_record_member_signature_bound_and_unbound(member, fn, expected):
    assert str(inspect.signature(fn)) == expected
    cls = getattr(c_sdk, member.split(".")[0])
    bound = fn.__get__(cls({}), cls)
    assert str(inspect.signature(bound)) == "(" + expected[len("(self"):].lstrip(", ")
    # The names are the ones the call binds.
    params = list(inspect.signature(fn).parameters)
    record = cls.__new__(cls)
    object.__setattr__(record, "data", {"item": 1, "key": 2})
    fn(**dict(zip(params, [record, "item", 1])))


@pytest.mark.parametrize("fn", every_function(), ids=[n for n, _ in MODULE_CALLABLES] + [m[0] for m in RECORD_MEMBERS])
def test_function_attributes_and_wraps(fn):
    assert fn.__globals__ is vars(c_sdk)
    assert fn.__kwdefaults__ is None
    assert not hasattr(fn, "__code__")
    ann = fn.__annotations__
    assert ann == {} and fn.__annotations__ is ann
    with pytest.raises(AttributeError):
        fn.__globals__ = {}

    @functools.wraps(fn)
    def outer(*args, **kwargs):
        return fn(*args, **kwargs)

    assert (outer.__name__, outer.__qualname__, outer.__doc__, outer.__module__) == (
        fn.__name__, fn.__qualname__, fn.__doc__, fn.__module__)
    assert outer.__wrapped__ is fn
    assert inspect.signature(outer) == inspect.signature(fn)


def outcome(step, fn):
    """What step(fn) gives: its value, or the type and text of what it raises."""
    try:
        return "value", step(fn)
    except Exception as e:  # noqa: BLE001 - compared, not handled
        return type(e).__name__, str(e)


def assign(attr, value):
    def step(fn):
        setattr(fn, attr, value)
        return fn.__annotations__
    return step


def delete(attr):
    def step(fn):
        delattr(fn, attr)
        return fn.__annotations__
    return step


ANNOTATION_STEPS = [
    lambda fn: fn.__annotations__,
    assign("__annotations__", {"return": int}),
    assign("__annotations__", [("return", int)]),
    delete("__annotations__"),
    assign("__annotations__", None),
    lambda fn: fn.__kwdefaults__,
]
if hasattr(outcome, "__annotate__"):  # from 3.14 on
    ANNOTATION_STEPS += [
        lambda fn: fn.__annotate__,
        assign("__annotate__", lambda format: {"x": format}),
        assign("__annotate__", lambda format: [format]),
        assign("__annotate__", 3),
        delete("__annotate__"),
        assign("__annotate__", None),
        assign("__annotations__", {"y": 1}),
        lambda fn: fn.__annotate__,
    ]


def test_annotations_are_set_and_reset_as_a_python_functions():
    """The same steps on a Python function and on one of the module give the same
    results and errors, in the words of the running interpreter."""
    def plain(*args, **kwargs):
        pass

    ours = c_sdk.adapt_to_python3(len)
    for i, step in enumerate(ANNOTATION_STEPS):
        assert outcome(step, ours) == outcome(step, plain), i
    with pytest.raises(AttributeError):
        ours.__kwdefaults__ = {}


def test_update_wrapper_onto_an_adapter_function(core):
    def history(req: bytes) -> tuple:
        """Fetches history."""
        return c_sdk.py_qvi_history_ticks_pb(req)

    adapted = functools.update_wrapper(c_sdk.adapt_to_python3(history), history)
    assert (adapted.__name__, adapted.__doc__, adapted.__wrapped__) == ("history", history.__doc__, history)
    assert adapted.__annotations__ == {"req": bytes, "return": tuple}
    assert str(inspect.signature(adapted)) == "(req: bytes) -> tuple"
    assert adapted("q")[0] == c_sdk.CSDK_OPERATE_SUCCESS
    assert core.calls()[-1].args[0].data == b"q"


@pytest.mark.parametrize("fn", every_function(), ids=[n for n, _ in MODULE_CALLABLES] + [m[0] for m in RECORD_MEMBERS])
def test_pickles_by_reference_and_copies_as_itself(fn):
    for protocol in PROTOCOLS:
        data = pickle.dumps(fn, protocol)
        assert pickle.loads(data) is fn, protocol
        assert len(data) < 120  # a reference, not a serialised object
    nested = {"calls": [fn, (fn,)]}
    again = pickle.loads(pickle.dumps(nested))
    assert again["calls"][0] is fn and again["calls"][1][0] is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    assert copy.deepcopy(nested)["calls"][1][0] is fn


def test_unpickled_in_a_fresh_interpreter_as_the_module_attribute():
    names = [n for n, _ in MODULE_CALLABLES]
    members = [m for m, _, _ in RECORD_MEMBERS]
    data = pickle.dumps([getattr(c_sdk, n) for n in names] + [fn for _, fn, _ in RECORD_MEMBERS])
    result = run_python(f"""
        import operator, pickle
        import c_sdk
        loaded = pickle.loads({data!r})
        names, members = {names!r}, {members!r}
        expected = [getattr(c_sdk, n) for n in names] + [operator.attrgetter(m)(c_sdk) for m in members]
        assert len(loaded) == len(expected)
        bad = [n for n, a, b in zip(names + members, loaded, expected) if a is not b]
        assert not bad, bad
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_adapter_function_bound_nowhere_cannot_be_pickled_but_copies():
    fn = c_sdk.adapt_to_python3(len)
    for protocol in PROTOCOLS:
        with pytest.raises(pickle.PicklingError, match=r"^Can't pickle local object "
                           r"'adapt_to_python3\.<locals>\.wrapper'$"):
            pickle.dumps(fn, protocol)
    assert copy.copy(fn) is fn and copy.deepcopy([fn])[0] is fn
    # Once bound at module level it is found there.
    c_sdk.my_len = fn
    for protocol in PROTOCOLS:
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn


def test_a_function_no_longer_bound_is_not_found():
    fn = c_sdk.py_qvi_run
    c_sdk.py_qvi_run = lambda: 0
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(fn)
    # An adapter function whose module name was rebound, likewise.
    adapted = c_sdk.py_qvi_place_order
    del c_sdk.py_qvi_place_order
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(adapted)
