"""Field reads on the record classes follow the property found on the class at
the time of the read, whatever replaced the original one."""
import pytest

import c_sdk


@pytest.fixture
def bar_class():
    cls = c_sdk.BarLikeDict2
    saved = cls.__dict__["close"]
    yield cls
    cls.close = saved


def test_replaced_property_is_used(bar_class):
    bar = bar_class({"close": 1.5, "open": 1.0})
    assert bar.close == 1.5
    bar_class.close = property(lambda self: "replaced")
    assert bar.close == "replaced"


def test_property_with_another_fields_getter_reads_that_field(bar_class):
    bar = bar_class({"close": 1.5, "open": 1.0})
    bar_class.close = property(bar_class.__dict__["open"].fget)
    assert bar.close == 1.0


def test_property_subclass_get_is_honoured(bar_class):
    class Loud(property):
        def __get__(self, obj, owner=None):
            return "loud"

    bar = bar_class({"close": 1.5})
    bar_class.close = Loud(bar_class.__dict__["close"].fget)
    assert bar.close == "loud"


def test_property_without_getter_falls_back_to_getattr(bar_class):
    bar = bar_class({"close": 1.5})
    bar_class.close = property(None)
    # "unreadable attribute" is an AttributeError: __getattr__ answers instead
    assert bar.close == 1.5


def test_field_read_on_a_subclass(bar_class):
    class Sub(bar_class):
        __slots__ = []

    assert Sub({"close": 2.5}).close == 2.5
