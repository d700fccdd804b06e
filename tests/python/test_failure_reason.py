import operator

import pytest

from quilm_tf._native import FilterFailureReason

REASONS = [
    (FilterFailureReason.EMPTY_FRAME_ID, "empty frame id", "FilterFailureReason.EMPTY_FRAME_ID"),
    (FilterFailureReason.INVALID_FRAME_ID, "invalid frame id", "FilterFailureReason.INVALID_FRAME_ID"),
    (FilterFailureReason.QUEUE_FULL, "queue full", "FilterFailureReason.QUEUE_FULL"),
]


@pytest.mark.parametrize(("reason", "text", "representation"), REASONS)
def test_str_and_repr(reason, text, representation):
    assert str(reason) == text
    assert repr(reason) == representation


def test_class_attributes_are_fixed_objects_in_order():
    members = [name for name in vars(FilterFailureReason) if name.isupper()]
    assert members == ["EMPTY_FRAME_ID", "INVALID_FRAME_ID", "QUEUE_FULL"]
    assert FilterFailureReason.QUEUE_FULL is FilterFailureReason.QUEUE_FULL
    assert type(FilterFailureReason.QUEUE_FULL) is FilterFailureReason


@pytest.mark.parametrize("left", [r for r, _, _ in REASONS], ids=str)
@pytest.mark.parametrize("right", [r for r, _, _ in REASONS], ids=str)
def test_equality_is_by_value(left, right):
    same = left is right  # the class attributes hold distinct values
    assert (left == right) is same
    assert (left != right) is (not same)


@pytest.mark.parametrize("other", [0, 1, 2, "queue full", None, 2.0, object()])
def test_other_types_are_never_equal(other):
    for reason, _, _ in REASONS:
        assert (reason == other) is False
        assert (reason != other) is True
        assert (other == reason) is False


def test_not_equal_uses_the_reflected_comparison_of_the_other_operand():
    class EqualsEverything:
        def __eq__(self, other):
            return True

    class Broken:
        def __eq__(self, other):
            raise RuntimeError("boom")

    assert (FilterFailureReason.QUEUE_FULL != EqualsEverything()) is False
    with pytest.raises(RuntimeError, match="boom"):
        FilterFailureReason.QUEUE_FULL != Broken()  # noqa: B015


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_is_unsupported(op):
    with pytest.raises(TypeError):
        op(FilterFailureReason.QUEUE_FULL, FilterFailureReason.EMPTY_FRAME_ID)


def test_unhashable():
    with pytest.raises(TypeError):
        hash(FilterFailureReason.QUEUE_FULL)
    with pytest.raises(TypeError):
        {FilterFailureReason.QUEUE_FULL}


@pytest.mark.parametrize("args", [(), (2,), ("QUEUE_FULL",)])
def test_cannot_be_instantiated(args):
    with pytest.raises(TypeError):
        FilterFailureReason(*args)


def test_no_integer_conversion_or_extra_members():
    with pytest.raises(TypeError):
        int(FilterFailureReason.QUEUE_FULL)
    for name in ("name", "value", "__int__", "__index__", "__dict__"):
        assert not hasattr(FilterFailureReason.QUEUE_FULL, name)


def test_class_docstring():
    assert FilterFailureReason.__doc__ == "Why a message was discarded before its transform became available."
    assert FilterFailureReason.__module__ == "quilm_tf._native"
