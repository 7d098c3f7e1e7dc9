# The record classes written as plain Python classes with one slot, `data`,
# holding the caller's mapping: the ctypes peer uses them as they are, the
# Cython peer compiles the same source (it is included by cy_sdk.pyx).
# Only the fields the benchmark touches are spelled out.


class TickLikeDict2(object):
    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, key, value):
        self.data[key] = value

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, key, value):
        if key != "data":
            self.data[key] = value
        else:
            super(TickLikeDict2, self).__setattr__(key, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def symbol(self):
        return self.data.get("symbol")

    @symbol.setter
    def symbol(self, value):
        self.data["symbol"] = value

    @property
    def price(self):
        return self.data.get("price")

    @price.setter
    def price(self, value):
        self.data["price"] = value


class BarLikeDict2(object):
    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, key, value):
        self.data[key] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, key, value):
        if key != "data":
            self.data[key] = value
        else:
            super(BarLikeDict2, self).__setattr__(key, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def close(self):
        return self.data.get("close")

    @close.setter
    def close(self, value):
        self.data["close"] = value
