import itertools

import pytest

from quilm_tf._native import FilterFailureReason as Reason

TEXTS = {"EMPTY_FRAME_ID": "empty frame id", "INVALID_FRAME_ID": "invalid frame id", "QUEUE_FULL": "queue full"}


@pytest.mark.parametrize(("name", "text"), TEXTS.items())
def test_str_and_repr(name, text):
    reason = getattr(Reason, name)
    assert (type(reason), str(reason), repr(reason)) == (Reason, text, f"FilterFailureReason.{name}")


def test_equality_is_by_value_between_reasons_only():
    reasons = [getattr(Reason, name) for name in TEXTS]  # distinct values
    for left, right in itertools.product(reasons, reasons):
        assert (left == right, left != right) == (left is right, left is not right)
    for other in (2, "queue full", None):
        assert (Reason.QUEUE_FULL == other, Reason.QUEUE_FULL != other, other == Reason.QUEUE_FULL) == (False, True, False)


def test_other_types_decide_through_their_reflected_equality():
    class EqualsEverything:
        def __eq__(self, other):
            return True

    assert (Reason.QUEUE_FULL == EqualsEverything(), Reason.QUEUE_FULL != EqualsEverything()) == (True, False)
