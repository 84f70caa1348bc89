"""A pure-Python bar record, the pattern of c_sdk.BarLikeDict2 written as a
Python class, for the benchmark's record read."""


class BarLikeDict2(object):
    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            super(BarLikeDict2, self).__setattr__(item, value)

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
