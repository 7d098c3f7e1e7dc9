"""The four record classes: a mapping reached through items, attributes and properties."""

import re
import sys
import types
import weakref

import pytest

import c_sdk

HEAD = ["__module__", "__slots__", "__init__", "__getitem__", "__setitem__", "__getattr__",
        "__setattr__", "__str__", "__repr__"]
TAIL = ["data", "__doc__"]
TICK = ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
        "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
        "receive_local_time"]
BAR = ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
       "position", "frequency", "receive_local_time"]
# name: (methods in namespace order, fields, whether the fields have setters)
SHAPES = {
    "QuoteItemLikeDict2": (HEAD, ["bid_p", "bid_v", "ask_p", "ask_v"], False),
    "TickLikeDict2": (HEAD, TICK, True),
    "BarLikeDict2": (HEAD[:5] + ["__contains__"] + HEAD[5:], BAR, True),
    "ObjectLikeDict2": (HEAD[:4] + ["__getattr__", "__setitem__"] + HEAD[6:], [], False),
}


@pytest.fixture(params=list(SHAPES))
def cls(request):
    return getattr(c_sdk, request.param)


def fields_of(cls):
    return SHAPES[cls.__name__][1]


def test_classes_are_bound_in_order():
    names = [n for n in vars(c_sdk) if n.endswith("LikeDict2")]
    assert names == ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]


def test_class_shape(cls):
    methods, fields, setters = SHAPES[cls.__name__]
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("c_sdk", cls.__name__, None)
    assert cls.__slots__ == ["data"]
    assert list(vars(cls)) == methods + fields + TAIL
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        weakref.ref(cls({}))
    for name in methods[2:]:
        fn = vars(cls)[name]
        assert (fn.__name__, fn.__qualname__, fn.__doc__) == (name, f"{cls.__name__}.{name}", None)
    for name in fields:
        prop = vars(cls)[name]
        assert type(prop) is property and prop.fdel is None and prop.__doc__ is None
        assert (prop.fset is not None) == setters
        for f in (prop.fget, prop.fset) if setters else (prop.fget,):
            assert (f.__name__, f.__qualname__) == (name, f"{cls.__name__}.{name}")


def test_reads_and_writes_reach_the_callers_dict(cls):
    d = {"k": 1, 2: "two"}
    rec = cls(d)
    assert (rec.k, rec["k"], rec[2]) == (1, 1, "two")
    assert rec.missing is None and rec["missing"] is None
    assert getattr(rec, "missing", "default") is None and hasattr(rec, "missing")
    assert (rec.get, rec.keys, rec.items) == (None, None, None)
    rec.a = "attr"
    rec["b"] = "item"
    rec.__setattr__(item="c", value=3)
    rec.__setitem__(3, value="three")
    d["d"] = "dict"
    assert d == {"k": 1, 2: "two", "a": "attr", "b": "item", "c": 3, 3: "three", "d": "dict"}
    assert (rec.a, rec.b, rec["c"], rec.d) == ("attr", "item", 3, "dict")
    with pytest.raises(TypeError, match="unhashable"):
        rec[[]]


def test_properties(cls):
    d = {}
    rec = cls(d)
    setters = SHAPES[cls.__name__][2]
    for i, name in enumerate(fields_of(cls)):
        assert getattr(rec, name) is None
        d[name] = i
        assert getattr(rec, name) == rec[name] == i
        setattr(rec, name, -i)  # through __setattr__, even without a setter
        assert d[name] == -i
        if setters:
            object.__setattr__(rec, name, i * 10)
            assert d[name] == rec[name] == i * 10
        else:
            with pytest.raises(AttributeError):
                object.__setattr__(rec, name, 0)
    quotes = []
    tick = c_sdk.TickLikeDict2({"quotes": quotes})
    assert tick.quotes is quotes


def test_data_slot(cls):
    d, other = {"x": 1}, {"x": 2}
    rec = cls(data=d)
    assert rec.data is d
    rec["data"] = "key"
    assert d["data"] == rec["data"] == "key" and rec.data is d
    rec.data = other
    rec.x = 3
    assert rec.data is other and d["x"] == 1 and other == {"x": 3}


def test_data_is_compared_by_inequality(cls):
    class Same:
        __hash__ = object.__hash__

        def __ne__(self, other):
            return False

    class Name(str):
        pass

    d, other, third = {}, {}, {}
    rec = cls(d)
    rec.__setattr__(Same(), other)
    assert rec.data is other
    rec.__setattr__(Name("data"), third)
    assert rec.data is third and d == {} and other == {}


@pytest.mark.parametrize("d", [{}, {"b": 1, "a": [2, "x"]}])
def test_str_and_repr_are_the_mappings(cls, d):
    rec = cls(d)
    assert (str(rec), repr(rec)) == (str(d), repr(d))


def test_other_mappings_and_none(cls):
    class Mapping(dict):
        def get(self, key):
            return ("got", key)

        def __str__(self):
            return "S"

        def __repr__(self):
            return "R"

    rec = cls(Mapping())
    assert (rec.k, rec["k"], str(rec), repr(rec)) == (("got", "k"), ("got", "k"), "S", "R")
    for name in fields_of(cls):
        assert getattr(rec, name) == ("got", name)
    rec = cls(None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        rec.anything
    with pytest.raises(TypeError, match="does not support item assignment"):
        rec.anything = 1
    with pytest.raises(TypeError, match="does not support item assignment"):
        rec["anything"] = 1


def test_argument_errors(cls):
    init = r"__init__\(\) takes exactly 2 positional arguments"
    with pytest.raises(TypeError, match=init + r" \(1 given\)"):
        cls()
    with pytest.raises(TypeError, match=init + r" \(3 given\)"):
        cls({}, {})
    with pytest.raises(TypeError, match=r"__init__\(\)"):
        cls(mapping={})
    rec = cls({})
    with pytest.raises(TypeError, match=r"__getitem__\(\) takes exactly 2"):
        rec.__getitem__()
    with pytest.raises(TypeError, match=r"__setattr__\(\) takes exactly 3"):
        rec.__setattr__("x")
    with pytest.raises(TypeError, match=r"__str__\(\) takes exactly 1"):
        rec.__str__(1)


def test_members_work_on_any_object_with_data():
    holder = types.SimpleNamespace(data={"k": 1})
    assert c_sdk.TickLikeDict2.__getitem__(holder, "k") == 1
    assert c_sdk.TickLikeDict2.price.fget(holder) is None


def test_iteration_fails_fast(cls):
    rec = cls({0: "zero", "k": 1})
    for iterate in (iter, list, lambda r: [x for x in r]):
        with pytest.raises(TypeError, match=f"'{cls.__name__}' object is not iterable"):
            iterate(rec)
    if cls is c_sdk.BarLikeDict2:
        assert ("k" in rec, "zero" in rec) == (True, False)
    else:
        # The interpreter words this refusal itself, and its wording has
        # changed between versions: ask it about a plain object of that name.
        plain = type(cls.__name__, (), {})()
        with pytest.raises(TypeError) as expected:
            "zero" in plain
        with pytest.raises(TypeError, match=f"^{re.escape(str(expected.value))}$"):
            "zero" in rec


def test_bar_membership():
    d = {"close": 1, "volume": None}
    bar = c_sdk.BarLikeDict2(d)
    assert [k in bar for k in ("close", "volume", "open", "data")] == [True, True, False, False]
    assert bar.volume is None and bar.open is None
    bar.open = 2
    assert "open" in bar and bar.__contains__(key="open") is True
    with pytest.raises(TypeError, match="unhashable"):
        [] in bar


def test_empty_slot_fails_clearly(cls):
    made = cls.__new__(cls)
    deleted = cls({})
    del deleted.data
    for rec in (made, deleted):
        accesses = [lambda: rec.data, lambda: rec.anything, lambda: rec["k"], lambda: str(rec),
                    lambda: repr(rec), lambda: setattr(rec, "k", 1)]
        accesses += [lambda f=f: getattr(rec, f) for f in fields_of(cls)]
        for access in accesses:
            with pytest.raises(AttributeError, match="empty 'data' slot"):
                access()
        rec.data = {"k": 1}
        assert rec.k == 1


def test_data_assignment_follows_the_module_level_name(cls, monkeypatch):
    name = cls.__name__
    seen = []

    class Hook:
        __slots__ = ()

        def __setattr__(self, item, value):
            seen.append(item)
            object.__setattr__(self, item, value)

    class Record(cls, Hook):
        __slots__ = ()

    d, e = {}, {}
    rec = Record(d)  # super(<cls>, rec) reaches Hook.__setattr__
    assert seen == ["data"] and rec.data is d
    monkeypatch.setattr(c_sdk, name, Hook)  # super(Hook, rec) reaches object.__setattr__
    rec.data = e
    assert seen == ["data"] and rec.data is e
    monkeypatch.setattr(c_sdk, name, int)
    with pytest.raises(TypeError, match="super"):
        cls({})
    rec.k = 1  # other names never look the class up
    monkeypatch.delattr(c_sdk, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
        rec.data = d
    assert rec.data is e and e == {"k": 1}


def test_reference_counts_settle(cls):
    key, value, other = "k" + str(id(cls)), object(), object()
    d = {key: value}
    field = (fields_of(cls) or ["f"])[0]

    def use(rec):
        rec[key], getattr(rec, key), rec.missing, getattr(rec, field), str(rec), repr(rec)
        rec[key] = other
        setattr(rec, key, value)
        rec.data = d
        rec["data"] = other
        del d["data"]
        with pytest.raises(TypeError):
            iter(rec)

    def counts_after(rounds, rec):
        for _ in range(rounds):
            use(rec)
            cls(d)
        return [sys.getrefcount(x) for x in (d, key, value, other)]

    rec = cls(d)
    # The first rounds fill (and, on newer interpreters, refill) caches that
    # hold names; after them, more rounds must leave every count where it is.
    before = counts_after(100, rec)
    assert counts_after(1000, rec) == before
    held = sys.getrefcount(d)
    del rec
    assert sys.getrefcount(d) == held - 1
