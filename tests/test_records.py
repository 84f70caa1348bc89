"""The record classes QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2 and ObjectLikeDict2."""
import inspect
import re

import pytest

import c_sdk
from conftest import python_call_text, run_python

NAMES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
CLASSES = [getattr(c_sdk, n) for n in NAMES]
QUOTE, TICK, BAR, OBJECT = CLASSES
WITHOUT_CONTAINS = [QUOTE, TICK, OBJECT]

FIELDS = {
    QUOTE: ["bid_p", "bid_v", "ask_p", "ask_v"],
    TICK: ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
           "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"],
    BAR: ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close", "position",
          "frequency", "receive_local_time"],
    OBJECT: [],
}
COMMON = ["__init__", "__getitem__", "__setitem__", "__getattr__", "__setattr__", "__str__", "__repr__"]
METHODS = {
    QUOTE: COMMON,
    TICK: COMMON,
    BAR: COMMON[:3] + ["__contains__"] + COMMON[3:],
    OBJECT: ["__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__", "__str__", "__repr__"],
}
PARAMS = {"__init__": "(self, data)", "__getitem__": "(self, item)", "__getattr__": "(self, item)",
          "__setitem__": "(self, item, value)", "__setattr__": "(self, item, value)", "__str__": "(self)",
          "__repr__": "(self)", "__contains__": "(self, key)"}
FIELD_CASES = [(cls, f) for cls in CLASSES for f in FIELDS[cls]]
METHOD_CASES = [(cls, m) for cls in CLASSES for m in METHODS[cls]]
ids = lambda v: v.__name__ if isinstance(v, type) else None  # noqa: E731


def outcome(fn):
    try:
        return ("value", fn())
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e), str(e))


# ---- The classes ----

@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_class_shape(cls):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "c_sdk" and cls.__doc__ is None and cls.__qualname__ == cls.__name__
    assert type(cls.__slots__) is list and cls.__slots__ == ["data"]
    assert list(vars(cls)) == ["__module__", "__slots__"] + METHODS[cls] + FIELDS[cls] + ["data", "__doc__"]
    assert cls({"__dict__": 7}).__dict__ == 7 and cls({}).__dict__ is None  # no dict of its own


def test_classes_bound_in_order():
    names = [n for n in vars(c_sdk) if n.endswith("LikeDict2")]
    assert names == NAMES
    assert list(vars(c_sdk)).index("QuoteItemLikeDict2") == list(vars(c_sdk)).index("IS_PY3") + 1


@pytest.mark.parametrize("cls,name", METHOD_CASES, ids=ids)
def test_methods(cls, name):
    fn = vars(cls)[name]
    assert fn.__name__ == name and fn.__qualname__ == cls.__name__ + "." + name and fn.__module__ == "c_sdk"
    assert str(inspect.signature(fn)) == PARAMS[name]
    rec = cls({})
    assert getattr(rec, name).__self__ is rec and getattr(rec, name).__func__ is fn


@pytest.mark.parametrize("cls,field", FIELD_CASES, ids=ids)
def test_properties(cls, field):
    prop = vars(cls)[field]
    assert type(prop) is property and prop.fdel is None
    assert prop.fget.__name__ == field and prop.fget.__qualname__ == cls.__name__ + "." + field
    assert str(inspect.signature(prop.fget)) == "(self)"
    d = {field: object()}
    rec = cls(d)
    assert getattr(rec, field) is d[field] and rec[field] is d[field]
    assert getattr(cls({}), field) is None
    value = object()
    setattr(rec, field, value)  # goes through __setattr__ into the mapping
    assert d[field] is value and getattr(rec, field) is value
    if cls is QUOTE:
        assert prop.fset is None
        # the interpreter's own text, which 3.11 reworded
        with pytest.raises(AttributeError, match="can't set attribute|has no setter"):
            prop.__set__(rec, 1)
    else:
        assert prop.fset.__name__ == field and prop.fset.__qualname__ == prop.fget.__qualname__
        assert str(inspect.signature(prop.fset)) == "(self, value)"
        assert prop.fset(rec, value=12) is None and d[field] == 12


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_subclass(cls):
    class Sub(cls):
        def extra(self):
            return self["a"]

    d = {"a": 1}
    s = Sub(d)
    assert s.extra() == 1 and s.a == 1 and s.missing is None and s.data is d
    s.b = 2
    assert d["b"] == 2 and "b" not in vars(s)


# ---- Item and attribute access ----

@pytest.mark.parametrize("cls", CLASSES, ids=ids)
@pytest.mark.parametrize("key", ["a", 1, (1, 2), None, 2.5])
def test_item_access(cls, key):
    d = {key: "v"}
    rec = cls(d)
    assert rec[key] == "v" and rec.__getitem__(item=key) == "v"
    assert rec["absent"] is None
    rec[key] = "w"
    assert d[key] == "w" and rec[key] == "w"
    assert rec.__setitem__(key, value="x") is None and d[key] == "x"


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_attribute_access(cls):
    d = {"a": 1, "keys": "not a method", "data": 3}
    rec = cls(d)
    assert rec.a == 1 and rec.b is None and getattr(rec, "b", 5) is None and hasattr(rec, "anything")
    assert rec.keys == "not a method" and rec.get is None
    assert rec.data is d and rec["data"] == 3 and rec.__getattr__("a") == 1
    assert rec.__class__ is cls and callable(rec.__getitem__)


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
@pytest.mark.parametrize("name", ["x", "__repr__", "__getitem__", "__class__", "__slots__", "get"])
def test_writes_land_in_mapping(cls, name):
    d = {}
    rec = cls(d)
    value = lambda self=None: "stored"  # noqa: E731
    setattr(rec, name, value)
    assert d == {name: value}
    assert type(rec) is cls and repr(rec) == repr(d) and rec["k"] is None
    rec.__setattr__(item=name, value=2)
    assert d[name] == 2


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_data_replaced(cls):
    d, e = {"a": 1}, {"a": 2}
    rec = cls(d)
    rec.data = e
    assert rec.data is e and rec.a == 2 and d == {"a": 1} and e == {"a": 2}
    rec.__setattr__("data", d)
    assert rec.data is d


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_data_class_fetched_by_name(module, cls):
    d = {}
    rec = cls(d)
    name = cls.__name__
    delattr(module, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        rec.data = {}
    with pytest.raises(NameError):
        cls({})
    assert rec.data is d
    rec.other = 1  # other names do not need the class
    assert d == {"other": 1}

    import builtins
    setattr(builtins, name, cls)  # the builtins are the second place looked in
    try:
        rec.data = {"b": 2}
        assert rec.b == 2
    finally:
        delattr(builtins, name)

    class Unrelated(object):
        pass
    setattr(module, name, Unrelated)
    with pytest.raises(TypeError, match="instance or subtype"):  # super()'s own text, reworded in 3.13
        rec.data = {}


def test_data_assignment_follows_the_mro():
    seen = []

    class Mixin(object):
        __slots__ = ()

        def __setattr__(self, item, value):
            seen.append(item)
            object.__setattr__(self, item, value)

    class Sub(OBJECT, Mixin):
        __slots__ = ()

    d = {}
    s = Sub(d)
    assert s.data is d and seen == ["data"]


def test_redeclared_slot_in_subclass():
    class Sub(BAR):
        __slots__ = ["data"]

    d = {"close": 4}
    s = Sub(d)
    assert s.data is d and s.close == 4 and s["close"] == 4 and "close" in s and s.x is None


# ---- Membership and text forms ----

def test_bar_membership():
    d = {"close": None, "open": 1.5}
    bar = BAR(d)
    assert ("close" in bar) is True and ("high" in bar) is False and ("data" in bar) is False
    assert bar.__contains__(key="open") is True and bar.close is None and bar.high is None
    d["data"] = 0
    assert "data" in bar

    class Truthy(dict):
        def __contains__(self, key):
            return "yes"  # the interpreter's test reduces this to a bool
    assert BAR(Truthy()).__contains__("x") is True
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        [] in bar
    with pytest.raises(TypeError) as raised:  # the mapping's own error, unchanged
        "x" in BAR(5)
    with pytest.raises(TypeError, match="^%s$" % re.escape(str(raised.value))):
        "x" in 5


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_text_forms(cls):
    d = {"a": [1, "x"], 2: None}
    rec = cls(d)
    assert str(rec) == str(d) and repr(rec) == repr(d) and "%s" % rec == str(d)

    class Texts(dict):
        def __str__(self):
            return 42

        def __repr__(self):
            return ("repr",)
    rec = cls(Texts())
    assert rec.__str__() == 42 and rec.__repr__() == ("repr",)  # returned unchanged
    with pytest.raises(TypeError, match="__str__ returned non-string"):
        str(rec)


# ---- Failure paths ----

@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_unhashable_keys(cls):
    rec = cls({})
    for op in (lambda: rec[[1]], lambda: rec.__setitem__({}, 1), lambda: rec.__getattr__([])):
        with pytest.raises(TypeError, match="unhashable type"):
            op()


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_data_without_get(cls):
    rec = cls([1, 2])
    for op in (lambda: rec["a"], lambda: rec.a):
        with pytest.raises(AttributeError, match="'list' object has no attribute 'get'"):
            op()
    with pytest.raises(TypeError, match="list indices must be integers"):
        rec.x = 1
    assert str(rec) == "[1, 2]"


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_mapping_overrides_honoured(cls):
    calls = []

    class Mapping(dict):
        def get(self, key, default=None):
            calls.append(key)
            return ("got", key)

        def __setitem__(self, key, value):
            calls.append(("set", key))
            dict.__setitem__(self, key, value * 2)

    m = Mapping()
    rec = cls(m)
    field = (FIELDS[cls] or ["f"])[0]
    assert rec["k"] == ("got", "k") and rec.k == ("got", "k") and getattr(rec, field) == ("got", field)
    rec.x = 2
    rec["y"] = 3
    assert dict(m) == {"x": 4, "y": 6} and calls == ["k", "k", field, ("set", "x"), ("set", "y")]


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
def test_getter_attribute_error_falls_back_to_getattr(cls):
    """A property whose read fails with AttributeError falls back to __getattr__, as in any class."""
    calls = []

    class Strict(dict):
        def get(self, key):
            calls.append(key)
            raise AttributeError("no " + key)

    rec = cls(Strict())
    field = (FIELDS[cls] or ["absent"])[0]
    with pytest.raises(AttributeError, match="^no %s$" % field):
        getattr(rec, field)
    assert calls == [field, field] if FIELDS[cls] else calls == [field]


ARG_ERRORS = [
    (lambda c, r: c(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda c, r: c({}, {}), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda c, r: c(mapping={}), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda c, r: c({}, data={}), "__init__() got multiple values for keyword argument 'data'"),
    (lambda c, r: r.__str__(1), "__str__() takes exactly 1 positional argument (2 given)"),
    (lambda c, r: r.__repr__(x=1), "__repr__() got an unexpected keyword argument 'x'"),
    (lambda c, r: r.__getitem__(), "__getitem__() takes exactly 2 positional arguments (1 given)"),
    (lambda c, r: r.__getattr__("a", "b"), "__getattr__() takes exactly 2 positional arguments (3 given)"),
    (lambda c, r: r.__setitem__(value=1), "__setitem__() takes exactly 3 positional arguments (1 given)"),
    (lambda c, r: r.__setattr__("a", 1, item=2), "__setattr__() got multiple values for keyword argument 'item'"),
    (lambda c, r: r.__getitem__(**{"item": 1, 2: 3}), "__getitem__() keywords must be strings"),
    (lambda c, r: c.__getitem__(), "__getitem__() takes exactly 2 positional arguments (0 given)"),
]


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
@pytest.mark.parametrize("call,message", ARG_ERRORS)
def test_argument_errors(cls, call, message):
    d = {}
    rec = cls(d)
    with pytest.raises(TypeError) as info:
        call(cls, rec)
    assert str(info.value) == python_call_text(message) and d == {}


@pytest.mark.parametrize("call,message", [
    (lambda: TICK.price.fget(), "price() takes exactly 1 positional argument (0 given)"),
    (lambda: TICK.price.fset(TICK({})), "price() takes exactly 2 positional arguments (1 given)"),
    (lambda: BAR.close.fset(BAR({}), 1, 2), "close() takes exactly 2 positional arguments (3 given)"),
    (lambda: BAR({}).__contains__(item="x"), "__contains__() takes exactly 2 positional arguments (1 given)"),
])
def test_accessor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


NEVER_SET_OPS = [
    lambda r: r.data, lambda r: r.anything, lambda r: r["k"], lambda r: r.__getattr__("data"),
    lambda r: r.__setitem__("k", 1), lambda r: setattr(r, "k", 1), lambda r: str(r), lambda r: repr(r),
    lambda r: r.__getitem__("data"),
]


@pytest.mark.parametrize("cls", CLASSES, ids=ids)
@pytest.mark.parametrize("op", NEVER_SET_OPS)
def test_never_set_data(cls, op):
    rec = cls.__new__(cls)
    with pytest.raises(AttributeError) as info:
        op(rec)
    assert info.value.args == ("data",)
    for field in FIELDS[cls]:
        with pytest.raises(AttributeError, match="^data$"):
            getattr(rec, field)
    rec.data = {"k": 1}
    assert rec.k == 1 and rec["k"] == 1


def test_never_set_data_membership_and_foreign_self():
    with pytest.raises(AttributeError, match="^data$"):
        "k" in BAR.__new__(BAR)

    class Foreign(object):  # borrows the method without being a record
        __getattr__ = OBJECT.__getattr__
    with pytest.raises(AttributeError, match="^data$"):
        Foreign().x

    class Holder(object):
        data = {"x": 5}
    assert OBJECT.__getattr__(Holder(), "x") == 5 and OBJECT.__getitem__(Holder(), "x") == 5


# ---- Iteration ----

@pytest.mark.parametrize("cls", CLASSES, ids=ids)
@pytest.mark.parametrize("op", [iter, list, tuple, sorted, lambda r: [x for x in r], lambda r: [*r]])
def test_iteration_refused(cls, op):
    with pytest.raises(TypeError, match="^'%s' object is not iterable$" % cls.__name__):
        op(cls({0: "a", 1: "b"}))


@pytest.mark.parametrize("cls", WITHOUT_CONTAINS, ids=ids)
@pytest.mark.parametrize("value", [None, "a", 99])
def test_membership_refused(cls, value):
    with pytest.raises(TypeError, match="^argument of type '%s' is not iterable$" % cls.__name__):
        value in cls({0: "a"})


SUBCLASS_ITERATION = """
import c_sdk
results = []
for name in %r:
    base = getattr(c_sdk, name)
    Sub = type("Sub", (base,), {})
    for make in (lambda: Sub({}), lambda: Sub.__new__(Sub)):
        rec = make()
        for op in (iter, lambda r: 0 in r):
            try:
                op(rec)
                results.append("no error")
            except (TypeError, AttributeError) as e:
                results.append(type(e).__name__ + ": " + str(e))
    class Seq(base):  # a __getitem__ of its own keeps the usual fallback
        def __getitem__(self, i):
            return [1, 2][i]
    results.append(list(Seq({})))
print(results)
"""


def test_subclass_iteration_ends():
    """Run apart, with a time limit: a failure here would otherwise be an endless loop."""
    proc = run_python(SUBCLASS_ITERATION % NAMES, timeout=60)
    assert proc.returncode == 0, proc.stderr
    results = eval(proc.stdout)
    per_class = []
    for name in NAMES:
        contains = "no error" if name == "BarLikeDict2" else "TypeError: argument of type 'Sub' is not iterable"
        per_class += ["TypeError: 'Sub' object is not iterable", contains,
                      "TypeError: 'Sub' object is not iterable",
                      "AttributeError: data" if name == "BarLikeDict2" else contains, [1, 2]]
    assert results == per_class


CLASS_CHANGES = """
import c_sdk
R = c_sdk.ObjectLikeDict2
rec = R({"a": 1})
out = [rec.a]
R.__getattr__ = lambda self, item: ("patched", item)
out.append(rec.a)
del R.__getattr__
try:
    rec.a
except AttributeError as e:
    out.append(str(e))
R.__getattribute__ = lambda self, item: "everything"
out.append(rec.data)
del R.__getattribute__
R.__iter__ = lambda self: iter(self.data)
out.append(list(rec))
del R.__iter__
rec["a"]  # the guard comes back with the next record operation
try:
    iter(rec)
except TypeError as e:
    out.append(str(e))
print(out)
"""


def test_class_changes_take_effect():
    proc = run_python(CLASS_CHANGES, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert eval(proc.stdout) == [1, ("patched", "a"), "'ObjectLikeDict2' object has no attribute 'a'",
                                 "everything", ["a"], "'ObjectLikeDict2' object is not iterable"]
