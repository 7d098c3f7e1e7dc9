"""Nothing grows: every callable called over and over with valid and invalid
arguments leaves the reference counts of what it was given where they were,
and the memory of the process settles; the same for a million events.

C_SDK_LEAK_EVENTS sets the number of events (default 10**6);
C_SDK_RSS_CHECK=0 skips the resident-size checks, which mean nothing under
a sanitizer's or valgrind's allocator (the reference counts and the traced
Python memory are still checked there).
"""

import gc
import os
import sys
import tracemalloc

import pytest

import c_sdk
from registry import DIRECT, WRAPPERS

EVENTS = int(os.environ.get("C_SDK_LEAK_EVENTS", str(10**6)))
RSS_CHECK = os.environ.get("C_SDK_RSS_CHECK", "1") != "0"
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Boom(Exception):
    pass


class Truthless:
    def __bool__(self):
        raise Boom("truth")


class LyingBytes(bytes):
    def __len__(self):
        return 99


class BadInt:
    def __int__(self):
        return "not an int"


def fresh(kind, i):
    """A valid argument that no cache shares, so its count is its own."""
    return {
        "bytes": b"bytes-%d" % i,
        "req": bytearray(b"req\0-%d" % i),
        "int": 100000 + i,
        "float": 0.25 + i,
        "flag": [i],
        "any": lambda t, p: None,
    }[kind]


BAD = {"bytes": lambda: Boom(), "req": lambda: LyingBytes(b"ab"), "int": lambda: 2**40, "float": lambda: "x",
       "flag": Truthless, "any": lambda: None}


def cases(name, params, adapted):
    """(args, kwargs) lists for one callable: one valid call, then invalid ones."""
    valid = [fresh(kind, i) for i, (_, kind) in enumerate(params)]
    out = [(valid, {}), (valid + [BadInt()], {}), (valid, {"bogus": BadInt()}),
           ([], {n: v for (n, _), v in zip(params, valid)})]
    for i, (_, kind) in enumerate(params):
        bad = list(valid)
        bad[i] = BAD[kind]()
        out.append((bad, {}))
        if adapted and kind in ("bytes", "req"):
            out.append((valid[:i] + ["text-%d" % i] + valid[i + 1:], {}))
            out.append((valid[:i] + ["é-%d" % i] + valid[i + 1:], {}))
    if params:
        out.append((valid, {params[0][0]: valid[0]}))  # given twice
    return out


CALLABLES = [(getattr(c_sdk, r.name), cases(r.name, r.params, r.adapted))
             for r in WRAPPERS if r.name != "py_qvi_run"]
CALLABLES += [(getattr(c_sdk, d[0]), cases(d[0], d[1], False)) for d in DIRECT if d[0] != "qvi_poll"]


class Logger:
    def debug(self, text):
        pass


def helper_calls():
    """Helpers and record members, valid and invalid."""
    d = {"k": 1}
    rec_classes = [c_sdk.QuoteItemLikeDict2, c_sdk.TickLikeDict2, c_sdk.BarLikeDict2, c_sdk.ObjectLikeDict2]
    # Strings built at run time: a literal is shared with code objects (and
    # immortal on some interpreters), so its count moves with everything else.
    text = "".join(["ab", "c"])
    where = "".join(["f", "n"])
    calls = [
        (c_sdk.c_status_ok, [0], {}), (c_sdk.c_status_ok, [], {}), (c_sdk.c_status_fail, [5, where], {}),
        (c_sdk.c_status_fail, [2**40], {}), (c_sdk.c_status_fail, [BadInt()], {}), (c_sdk.is_linux, [], {}),
        (c_sdk.is_windows, [1], {}), (c_sdk.adapt_to_python3, [len], {}), (c_sdk.adapt_to_python3, [], {"x": 1}),
    ]
    wrapped = c_sdk.adapt_to_python3(lambda *a, **k: (a, k))
    calls += [(wrapped, [text, b"x", 3], {"k": text}), (wrapped, ["é" + text], {})]
    for cls in rec_classes:
        rec = cls(d)

        def use(rec=rec):
            rec.k, rec["k"], rec.missing, rec["m"]
            rec.a = [1]
            rec["b"] = (2,)
            str(rec), repr(rec)
            rec.data = d
            for name, prop in vars(type(rec)).items():
                if isinstance(prop, property):
                    getattr(rec, name)
                    if prop.fset is not None:
                        setattr(rec, name, name)
            try:
                rec[[]]
            except TypeError:
                pass
        calls.append((use, [], {}))
        calls.append((cls, [], {}))
        calls.append((cls, [None], {}))
    return calls


def one_round(extra):
    for fn, argsets in CALLABLES:
        for args, kwargs in argsets:
            try:
                fn(*args, **kwargs)
            except Exception:  # noqa: BLE001 - refusals are part of the round
                pass
    for fn, args, kwargs in extra:
        try:
            fn(*args, **kwargs)
        except Exception:  # noqa: BLE001
            pass


@pytest.fixture
def quiet(standin):
    """No call log (it would grow by design), a logger that drops lines."""
    standin.reset()
    standin.log_enabled(False)
    c_sdk.qvsdklogger = Logger()
    yield standin
    standin.reset()


def test_every_callable_gives_back_what_it_was_given(quiet):
    extra = helper_calls()
    passed = [a for _, argsets in CALLABLES for args, kwargs in argsets for a in [*args, *kwargs.values()]]
    passed += [a for _, args, kwargs in extra for a in [*args, *kwargs.values()]]
    passed += [fn for fn, _ in CALLABLES]
    # None, bools and small ints are shared by everything (the lists of
    # counts below hold small ints themselves).
    passed = [o for o in passed if o is not None and not (type(o) in (int, bool) and -5 <= o <= 256)]
    one_round(extra)
    gc.collect()
    before = [sys.getrefcount(o) for o in passed]
    for _ in range(50):
        one_round(extra)
    gc.collect()
    after = [sys.getrefcount(o) for o in passed]
    changed = [(o, b, a) for o, b, a in zip(passed, before, after) if a != b]
    assert changed == []


def test_memory_settles_over_many_calls(quiet):
    # The interpreter's free lists and caches fill up over the first rounds
    # (some tens of kilobytes, then flat); anything the calls leak would cost
    # at least an object, some 30 bytes, per call: the bound is a byte a call.
    extra = helper_calls()
    calls = sum(len(argsets) for _, argsets in CALLABLES) + len(extra)
    for _ in range(20):
        one_round(extra)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            one_round(extra)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 100 * calls
    if RSS_CHECK:
        start = rss()
        for _ in range(400):  # over half a million calls
            one_round(extra)
        gc.collect()
        assert rss() - start < 2 * 1024 * 1024


# A debug interpreter counts every reference there is: with it, "nothing
# grows" can be checked exactly, over everything at once.
TOTAL = getattr(sys, "gettotalrefcount", None)
CLEAR_CACHES = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
needs_total = pytest.mark.skipif(TOTAL is None, reason="needs a debug interpreter (sys.gettotalrefcount)")


def settled_total():
    # The type attribute cache keeps a reference to each name it was last
    # looked up by (a name made for one C-level call among them), so what it
    # holds at a given moment depends on the lookups before: empty it first.
    gc.collect()
    CLEAR_CACHES()
    return TOTAL()


def total_growth(work, rounds, warm=3):
    """Growth of the interpreter's total reference count over `rounds` calls
    of `work`, after `warm` calls that fill caches and free lists."""
    for _ in range(warm):
        work()
    before = settled_total()
    for _ in range(rounds):
        work()
    return settled_total() - before


@needs_total
def test_total_references_stay_put_over_every_kind_of_call(quiet):
    extra = helper_calls()
    # What measuring costs by itself (the first count is alive at the second).
    idle = total_growth(lambda: None, 20)
    grown = total_growth(lambda: one_round(extra), 20)
    calls = 20 * (sum(len(argsets) for _, argsets in CALLABLES) + len(extra))
    print(f"\ntotal references over {calls} calls: {grown - idle:+d}")
    assert grown - idle == 0


def queue_many(core, n, bad_every=0):
    """Queues n events straight through the stand-in's control function;
    with bad_every, every bad_every-th event has a message type that is not
    UTF-8, and the one after it has a negative length."""
    q = core.lib.standin_queue_event
    for i in range(n):
        payload = b"%08d" % i
        if bad_every and i % bad_every == 0:
            q(b"\xff\xfe", 2, payload, 8, 8, 0)
        elif bad_every and i % bad_every == 1:
            q(b"neg", 3, payload, 8, -1, 0)
        else:
            q(b"tick", 4, payload, 8, 8, 0)


def test_a_million_events_leave_nothing_behind(quiet, monkeypatch):
    core = quiet
    reports = [0]

    def hook(*args):
        reports[0] += 1

    monkeypatch.setattr(sys, "excepthook", hook)
    monkeypatch.setattr(sys, "unraisablehook", hook)
    seen = [0]

    def callback(msg_type, payload):
        seen[0] += 1
        if payload.endswith(b"7"):
            raise Boom(msg_type)

    c_sdk.py_qvi_set_data_callback(callback)
    chunk = 10000
    rounds = max(EVENTS // chunk, 3)

    def deliver(n):
        for _ in range(n):
            queue_many(core, chunk, bad_every=100)
            c_sdk.qvi_poll()

    deliver(1)
    gc.collect()
    counts = [sys.getrefcount(o) for o in (callback, hook, c_sdk.IS_PY2)]
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        deliver(2)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    start = rss()
    deliver(rounds - 3)
    gc.collect()
    rss_grown = rss() - start
    assert [sys.getrefcount(o) for o in (callback, hook, c_sdk.IS_PY2)] == counts
    assert core.queued() == 0
    # 98 of every 100 events are delivered, and a tenth of all events raise in
    # the callable; malformed and raised ones are each reported twice.
    assert seen[0] == rounds * chunk * 98 // 100
    assert reports[0] == 2 * (rounds * chunk * 2 // 100 + rounds * chunk // 10)
    assert grown < 2 * chunk  # a byte an event: a leaked object would be 30 or more
    if RSS_CHECK:
        assert rss_grown < 2 * 1024 * 1024


@needs_total
def test_total_references_stay_put_over_events(quiet, monkeypatch):
    core = quiet
    monkeypatch.setattr(sys, "excepthook", lambda *a: None)
    monkeypatch.setattr(sys, "unraisablehook", lambda *a: None)

    def callback(msg_type, payload):
        if payload.endswith(b"7"):
            raise Boom(msg_type)

    c_sdk.py_qvi_set_data_callback(callback)

    def deliver():
        queue_many(core, 5000, bad_every=100)
        c_sdk.qvi_poll()

    idle = total_growth(lambda: None, 20)
    grown = total_growth(deliver, 20)
    print(f"\ntotal references over {20 * 5000} events: {grown - idle:+d}")
    assert grown - idle == 0 and core.queued() == 0


def test_introspection_and_pickling_give_back_what_they_took():
    """Signatures, reductions (found, by property, refused) and copies of every
    function: the functions' counts stay, and memory settles."""
    import copy
    import pickle

    functions = [v for v in vars(c_sdk).values() if type(v).__name__ == "function"]
    for cls in (v for v in vars(c_sdk).values() if isinstance(v, type)):
        for member in vars(cls).values():
            functions += [member.fget, member.fset] if isinstance(member, property) else [member]
    functions = [f for f in functions if type(f).__name__ == "function"]
    loose = c_sdk.adapt_to_python3(len)
    functions.append(loose)

    def one_round():
        for fn in functions:
            fn.__text_signature__
            fn.__annotations__
            copy.deepcopy(fn)
            try:
                fn.__reduce__()
            except pickle.PicklingError:
                assert fn is loose

    # The interpreter's caches fill up over the first rounds, then memory is
    # flat but for some kilobytes of noise; anything leaked by a call would
    # cost some 30 bytes or more: the bound is a byte a call, in the last of
    # three windows.
    for _ in range(5):
        one_round()
    gc.collect()
    before = [sys.getrefcount(f) for f in functions]
    tracemalloc.start()
    try:
        grown = []
        for _ in range(3):
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(100):
                one_round()
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - base)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(f) for f in functions] == before
    assert grown[2] < 100 * 4 * len(functions), grown
    if TOTAL is not None:
        assert total_growth(one_round, 20) == total_growth(lambda: None, 20)
