"""velarion.utils.representable: the Representable base."""

import pytest

from velarion.utils.representable import Representable


class Point(Representable):
    def __init__(self, x, y, label=None):
        self.x, self.y, self.label = x, y, label

    def _repr_fields(self):
        return ["x", "y", "label"]


def test_repr_from_fields():
    assert repr(Point(1, 2.5, "a")) == "Point(x=1, y=2.5, label='a')"
    assert repr(Point([1], (2,))) == "Point(x=[1], y=(2,), label=None)"
    assert repr(Representable()) == "Representable()"


def test_fields_as_class_attribute_and_nesting():
    class Pair(Representable):
        _repr_fields = ("first", "second")

        def __init__(self, first, second):
            self.first, self.second = first, second

    assert repr(Pair(Point(0, 0), "z")) == "Pair(first=Point(x=0, y=0, label=None), second='z')"


def test_self_reference_does_not_recurse():
    p = Point(1, 2)
    p.label = p
    assert repr(p) == "Point(x=1, y=2, label=Point(...))"


@pytest.mark.parametrize(
    "fields, exc",
    [(["x", 3], TypeError), ("xy", TypeError), (["missing"], AttributeError), (5, TypeError)],
)
def test_bad_fields_raise(fields, exc):
    class Bad(Representable):
        x = 1

        def _repr_fields(self):
            return fields

    with pytest.raises(exc):
        repr(Bad())


def test_type_binds_by_size():
    probe = pytest.importorskip("velarion._core._probe")
    size = probe.basicsize(Representable)
    assert probe.bind_type("velarion.utils.representable", "Representable", size) is Representable
