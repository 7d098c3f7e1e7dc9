"""Every member of the record classes on arbitrary contents, arguments and
selves, against the same written in Python."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import c_sdk
from fuzzing import ascii_text, fuzz, ints, outcome, same_outcome, scalars, values


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
