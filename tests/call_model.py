"""A model of what the module promises for a call of any of its callables:
the adapter's str encoding, argument binding, the conversion of each
parameter kind in C argument order, the one core call and its result.
"""

import math
import operator

from hypothesis import strategies as st

from fuzzing import INT_MAX, INT_MIN, LONG_MAX, LONG_MIN
from interpreter_says import not_bytes, not_real, too_large_for_long
from qvcore_standin import ANY, Buffer, Call, FnPtr, OutPtr, Text
from registry import DIRECT, NULL, OUT, WRAPPERS


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
