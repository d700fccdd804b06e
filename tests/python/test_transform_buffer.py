import collections.abc
import inspect
import math
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest

from quilm_tf._native import TransformBuffer, TransformError

LIMIT_NS = 2**31 * 10**9
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def shifted(x, y, z):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


@pytest.fixture
def buffer():
    return TransformBuffer(10.0)


# Constructor


@pytest.mark.parametrize("history", [-1.0, -1e-300, math.nan, math.inf, -math.inf])
def test_history_must_be_finite_and_non_negative(history):
    with pytest.raises(ValueError) as info:
        TransformBuffer(history)
    assert info.value.args == ("history_seconds must be finite and non-negative",)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("history", [2**64, 2.0**64, 1e300])
def test_history_beyond_any_duration_is_refused(history):
    with pytest.raises(ValueError, match="^history_seconds is too large$"):
        TransformBuffer(history)


@pytest.mark.parametrize("history", [0.0, -0.0, 10, True, 1e-300, 2.0**64 - 2048, np.float32(1.5)])
def test_history_accepts_anything_convertible_to_float(history):
    TransformBuffer(history)


@pytest.mark.parametrize(("history", "error"), [("10", TypeError), (None, TypeError), (10**400, OverflowError)])
def test_history_conversion_errors_carry_the_note(history, error):
    with pytest.raises(error) as info:
        TransformBuffer(history)
    assert info.value.__notes__ == ["while processing 'history_seconds'"]


@pytest.mark.parametrize(
    ("history", "window_ns"),
    [
        (1.0, 1_000_000_000),
        # The doubles nearest 1.5e-9 and 2.5e-9 lie just below and just above the ties, so
        # exact rounding differs from rounding the product history * 1e9.
        (1.5e-9, 1),
        (2.5e-9, 3),
        (1 / 1024, 976_562),  # exactly 976562.5 ns: ties go to the even neighbour
        (3 / 1024, 2_929_688),  # exactly 2929687.5 ns
        (1 + 1 / 1024, 1_000_976_562),
        (0.0, 0),
    ],
)
def test_history_window_is_rounded_to_nanoseconds_ties_to_even(history, window_ns):
    # After inserts at t and t + d, the sample at t survives exactly when d <= window.
    t = 10**12
    for gap, kept in ((window_ns, True), (window_ns + 1, False)):
        buffer = TransformBuffer(history)
        buffer.insert_transform("world", "base", IDENTITY, t)
        buffer.insert_transform("world", "base", IDENTITY, t + gap)
        assert buffer.can_transform("base", "world", t) is kept


# insert_transform argument conversion


@pytest.mark.parametrize(
    "matrix",
    [
        IDENTITY[:3],
        IDENTITY + [[0.0, 0.0, 0.0, 1.0]],
        [],
        [row[:3] for row in IDENTITY],
        [IDENTITY[0] + [0.0]] + IDENTITY[1:],
        IDENTITY[:3] + [[0.0, 0.0, 0.0]],
    ],
    ids=["3 rows", "5 rows", "empty", "4x3", "row of 5", "short last row"],
)
def test_matrix_shape_must_be_4x4(buffer, matrix):
    with pytest.raises(ValueError) as info:
        buffer.insert_transform("world", "base", matrix, 1)
    assert info.value.args == ("matrix must have shape 4x4",)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    ("matrix", "message"),
    [
        ("1234", "Can't extract `str` to `Vec`"),
        (["abcd"] * 4, "Can't extract `str` to `Vec`"),
        (IDENTITY[:3] + ["0001"], "Can't extract `str` to `Vec`"),
        (IDENTITY[:3] + [[0.0, 0.0, "0", 1.0]], None),
        (5, None),
        ({0: [0.0] * 4}, None),
        # Elements are converted before the shape is checked.
        (IDENTITY[:2] + [[None]], None),
    ],
)
def test_matrix_conversion_errors_are_type_errors_with_the_note(buffer, matrix, message):
    with pytest.raises(TypeError) as info:
        buffer.insert_transform("world", "base", matrix, 1)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'matrix'"]


class RegisteredRows(dict):
    """Fails the C sequence check; counts as a sequence only through registration."""

    def __init__(self, rows):
        super().__init__(enumerate(rows))


collections.abc.Sequence.register(RegisteredRows)


@pytest.mark.parametrize(
    "matrix",
    [
        shifted(1.0, 2.0, 3.0),
        tuple(tuple(row) for row in shifted(1.0, 2.0, 3.0)),
        np.array(shifted(1.0, 2.0, 3.0)),
        [np.array(row, dtype=np.float32) for row in shifted(1.0, 2.0, 3.0)],
        [[int(v) for v in row] for row in shifted(1.0, 2.0, 3.0)],
        RegisteredRows(shifted(1.0, 2.0, 3.0)),
    ],
    ids=["lists", "tuples", "ndarray", "float32 rows", "ints", "registered"],
)
def test_matrix_accepts_any_sequence_of_sequences(buffer, matrix):
    buffer.insert_transform("world", "base", matrix, 1)
    assert buffer.lookup("base", "world", 1) == shifted(1.0, 2.0, 3.0)


@pytest.mark.parametrize(
    ("stamp", "error"),
    [(-1, OverflowError), (-(2**100), OverflowError), (2**128, OverflowError), (1.0, TypeError), ("1", TypeError)],
)
def test_stamp_conversion_errors_carry_the_note(buffer, stamp, error):
    for call in (
        lambda: buffer.insert_transform("world", "base", IDENTITY, stamp),
        lambda: buffer.lookup("base", "world", stamp),
        lambda: buffer.can_transform("base", "world", stamp),
    ):
        with pytest.raises(error) as info:
            call()
        assert info.value.__notes__ == ["while processing 'stamp_ns'"]


@pytest.mark.parametrize("stamp", [LIMIT_NS, 2**63, 2**64 + 5, 2**128 - 1])
def test_stamp_at_or_beyond_the_ros_time_range(buffer, stamp):
    # 2**64 + 5 must not wrap around to 5.
    with pytest.raises(ValueError) as info:
        buffer.insert_transform("world", "base", IDENTITY, stamp, True)
    assert info.value.args == ("stamp_ns exceeds the ROS Time range",)
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(ValueError, match="^stamp_ns exceeds the ROS Time range$"):
        buffer.lookup("base", "base", stamp)
    assert buffer.can_transform("base", "base", stamp) is False
    assert buffer.can_transform("base", "world", 5) is False


def test_last_stamp_of_the_ros_time_range_is_accepted(buffer):
    buffer.insert_transform("world", "base", IDENTITY, LIMIT_NS - 1)
    assert buffer.lookup("base", "world", LIMIT_NS - 1) == IDENTITY


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_stamp_accepts_index_objects(buffer):
    buffer.insert_transform("world", "base", IDENTITY, np.uint64(7))
    assert buffer.can_transform("base", "world", Index(7))
    assert not buffer.can_transform("base", "world", Index(8))


@pytest.mark.parametrize("flag", [1, 0, None, "True", 1.0, np.int64(1)])
def test_is_static_accepts_only_bools(buffer, flag):
    with pytest.raises(TypeError) as info:
        buffer.insert_transform("world", "base", IDENTITY, 1, flag)
    assert info.value.__notes__ == ["while processing 'is_static'"]


@pytest.mark.parametrize(("flag", "static"), [(True, True), (np.True_, True), (False, False), (np.False_, False)])
def test_is_static_accepts_bools_and_numpy_bools(buffer, flag, static):
    buffer.insert_transform("world", "base", IDENTITY, 5, is_static=flag)
    assert buffer.can_transform("base", "world", 123) is static  # static: valid at all times


@pytest.mark.parametrize(
    ("args", "error", "note"),
    [
        # Conversions in parameter order: the first bad parameter is named.
        ((1, 2, "m", -1, 0), TypeError, "parent"),
        (("w", 2, "m", -1, 0), TypeError, "child"),
        (("w", "b", "m", -1, 0), TypeError, "matrix"),
        (("w", "b", IDENTITY[:3], -1, 0), OverflowError, "stamp_ns"),
        (("w", "b", IDENTITY[:3], 1, 0), TypeError, "is_static"),
        # Then the shape, the rigidity and only then the time range.
        (("w", "b", IDENTITY[:3], LIMIT_NS, False), ValueError, None),
        (("w", "b", [[2.0, 0, 0, 0], [0, 2.0, 0, 0], [0, 0, 2.0, 0], [0, 0, 0, 1]], LIMIT_NS, False), TransformError, None),
        (("w", "w", IDENTITY, LIMIT_NS, False), ValueError, None),
    ],
)
def test_insert_checks_in_order(buffer, args, error, note):
    with pytest.raises(error) as info:
        buffer.insert_transform(*args)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


# insert_transform behaviour


@pytest.mark.parametrize(
    ("matrix", "message"),
    [
        ([[math.nan, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], "transform contains a non-finite component"),
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, math.inf]], "transform contains a non-finite component"),
        ([[2, 0, 0, 0], [0, 2, 0, 0], [0, 0, 2, 0], [0, 0, 0, 1]], "matrix is not a rigid homogeneous transform"),
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1]], "matrix is not a rigid homogeneous transform"),
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 1e-5, 1]], "matrix is not a rigid homogeneous transform"),
    ],
)
def test_non_rigid_or_non_finite_matrix(buffer, matrix, message):
    with pytest.raises(TransformError) as info:
        buffer.insert_transform("world", "base", matrix, 1)
    assert info.value.args == (message,)
    assert not buffer.can_transform("base", "world", 1)


def test_lookup_direction(buffer):
    buffer.insert_transform("world", "base", shifted(1.0, 2.0, 3.0), 1000)
    assert buffer.lookup("base", "world", 1000) == shifted(1.0, 2.0, 3.0)
    assert buffer.lookup("world", "base", 1000) == shifted(-1.0, -2.0, -3.0)


def test_lookup_returns_fresh_lists(buffer):
    first = buffer.lookup("map", "map", 5)
    first[0][0] = 42.0
    assert buffer.lookup("map", "map", 5) == IDENTITY


def test_static_insert_ignores_the_stamp(buffer):
    buffer.insert_transform("world", "base", IDENTITY, 123, True)
    assert buffer.lookup("base", "world", 1) == IDENTITY
    assert buffer.lookup("base", "world", LIMIT_NS - 1) == IDENTITY


def test_zero_stamp_is_only_for_static_inserts(buffer):
    with pytest.raises(TransformError) as info:
        buffer.insert_transform("world", "base", IDENTITY, 0)
    assert info.value.args == ('dynamic transform "world" -> "base" has the reserved zero timestamp',)
    buffer.insert_transform("world", "base", IDENTITY, 0, is_static=True)


@pytest.mark.parametrize(
    ("parent", "child", "message"),
    [
        ("/world", "world", 'invalid frame "world": a frame cannot be its own parent'),
        ("", "base", 'invalid frame "": frame name must not be empty'),
        ("world", "a/b", 'invalid frame "a/b": frame name must be unqualified'),
    ],
)
def test_service_refusals_become_transform_error(buffer, parent, child, message):
    with pytest.raises(TransformError) as info:
        buffer.insert_transform(parent, child, IDENTITY, 1)
    assert info.value.args == (message,)


def test_refused_insert_changes_nothing(buffer):
    buffer.insert_transform("world", "base", IDENTITY, 1)
    with pytest.raises(TransformError, match='^failed to insert transform "odom" -> "base": '):
        buffer.insert_transform("odom", "base", IDENTITY, 2)
    assert not buffer.can_transform("base", "odom", 2)
    assert buffer.can_transform("base", "world", 1)


# lookup and can_transform


def test_lookup_failures(buffer):
    with pytest.raises(TransformError) as info:
        buffer.lookup("", "world", 1)
    assert str(info.value).endswith("frame name must not be empty")
    assert info.value.args == (str(info.value),)
    with pytest.raises(TransformError, match='^failed to look up transform from "odom" to "map": '):
        buffer.lookup("/odom", "/map", 1)


@pytest.mark.parametrize(
    ("source", "target", "stamp"),
    [("", "world", 1), ("base", "a/b", 1), ("base", "nowhere", 1), ("base", "world", 3), ("base", "world", LIMIT_NS)],
)
def test_can_transform_is_false_where_lookup_fails(buffer, source, target, stamp):
    buffer.insert_transform("world", "base", IDENTITY, 1)
    buffer.insert_transform("world", "base", IDENTITY, 2)
    assert buffer.can_transform(source, target, stamp) is False
    with pytest.raises((TransformError, ValueError)):
        buffer.lookup(source, target, stamp)


def test_can_transform_agrees_with_lookup_on_success(buffer):
    buffer.insert_transform("world", "base", shifted(0.0, 0.0, 0.0), 10)
    buffer.insert_transform("world", "base", shifted(2.0, 0.0, 0.0), 20)
    assert buffer.can_transform("base", "/world", 15) is True
    assert buffer.lookup("base", "/world", 15)[0][3] == pytest.approx(1.0)
    assert buffer.can_transform("map", "map", 0) is True
    assert buffer.lookup("map", "map", 0) == IDENTITY


def test_keyword_arguments(buffer):
    TransformBuffer(history_seconds=1.0)
    buffer.insert_transform(child="base", parent="world", stamp_ns=7, matrix=shifted(1.0, 0.0, 0.0), is_static=False)
    assert buffer.lookup(stamp_ns=7, to_frame="world", from_frame="base") == shifted(1.0, 0.0, 0.0)
    assert buffer.can_transform("base", stamp_ns=7, to_frame="world") is True


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda b: b.lookup("a", "b"), "lookup() missing required argument 'stamp_ns' (pos 3)"),
        (lambda b: b.can_transform("a", "b", 1, 2), "can_transform() takes exactly 3 positional arguments (4 given)"),
        (lambda b: b.insert_transform("a", "b", IDENTITY, 1, False, 2), "insert_transform() takes at most 5 positional arguments (6 given)"),
        (lambda b: b.insert_transform_stamped(None, static=True), "insert_transform_stamped() got an unexpected keyword argument 'static'"),
        (lambda b: b.lookup("a", "b", 1, from_frame="c"), "argument for lookup() given by name ('from_frame') and position (1)"),
        (lambda b: b.clear_dynamic(1), None),
        (lambda b: TransformBuffer(), "TransformBuffer() missing required argument 'history_seconds' (pos 1)"),
        (lambda b: TransformBuffer(1.0, 2.0), "TransformBuffer() takes exactly 1 positional argument (2 given)"),
        (lambda b: TransformBuffer(history=1.0), "TransformBuffer() got an unexpected keyword argument 'history'"),
    ],
)
def test_binding_errors(buffer, call, message):
    with pytest.raises(TypeError) as info:
        call(buffer)
    if message is not None:
        assert str(info.value) == message


# clear_dynamic


def test_clear_dynamic_keeps_static_links(buffer):
    assert buffer.clear_dynamic() is None
    buffer.insert_transform("odom", "base", IDENTITY, 5)
    buffer.insert_transform("base", "laser", shifted(0.0, 0.0, 1.0), 0, True)
    buffer.clear_dynamic()
    assert not buffer.can_transform("base", "odom", 5)
    assert buffer.lookup("laser", "base", 99) == shifted(0.0, 0.0, 1.0)
    buffer.clear_dynamic()
    # A cleared child may come back under another parent.
    buffer.insert_transform("map", "base", IDENTITY, 6)
    assert buffer.can_transform("laser", "map", 6)


# insert_transform_stamped and insert_transform_message


def test_insert_transform_stamped_and_is_static(buffer, ros):
    assert buffer.insert_transform_stamped(ros.transform_stamped(sec=3)) is None
    assert buffer.can_transform("base", "world", 3 * 10**9)
    buffer.insert_transform_stamped(ros.transform_stamped(parent="base", child="laser", sec=3), is_static=True)
    assert buffer.can_transform("laser", "base", 1)
    with pytest.raises(TypeError) as info:
        buffer.insert_transform_stamped(ros.transform_stamped(), 1)
    assert info.value.__notes__ == ["while processing 'is_static'"]


def test_insert_transform_message_inserts_in_order(buffer, ros):
    message = ros.tf_message(
        ros.transform_stamped("map", "odom", sec=1, translation=(1, 0, 0)),
        ros.transform_stamped("odom", "base", sec=1, translation=(0, 2, 0)),
        ros.transform_stamped("odom", "base", sec=2, translation=(0, 4, 0)),
    )
    assert buffer.insert_transform_message(message) is None
    assert buffer.lookup("base", "map", 10**9) == shifted(1.0, 2.0, 0.0)
    assert buffer.can_transform("base", "odom", 2 * 10**9)


@pytest.mark.parametrize(
    "transforms",
    [(), iter(()), (t for t in ())],
    ids=["tuple", "iterator", "generator"],
)
def test_insert_transform_message_with_no_transforms(buffer, ros, transforms):
    message = ros.tf_message()
    message.transforms = transforms
    assert buffer.insert_transform_message(message) is None


def test_insert_transform_message_decodes_everything_before_inserting(buffer, ros):
    broken = ros.transform_stamped("odom", "base", sec=1)
    del broken.transform.rotation
    message = ros.tf_message(
        ros.transform_stamped("map", "odom", sec=1),
        broken,
        ros.transform_stamped("base", "laser", sec=1),
    )
    with pytest.raises(AttributeError):
        buffer.insert_transform_message(message)
    assert not buffer.can_transform("odom", "map", 10**9)


def test_insert_transform_message_keeps_inserts_before_a_refusal(buffer, ros):
    buffer.insert_transform("world", "base", IDENTITY, 10**9)
    message = ros.tf_message(
        ros.transform_stamped("map", "odom", sec=1),
        ros.transform_stamped("odom", "base", sec=1),  # base already has a parent
        ros.transform_stamped("base", "laser", sec=1),
    )
    with pytest.raises(TransformError) as info:
        buffer.insert_transform_message(message)
    assert str(info.value).startswith('failed to insert transform "odom" -> "base": ')
    assert buffer.can_transform("odom", "map", 10**9)
    assert not buffer.can_transform("laser", "base", 10**9)


def test_insert_transform_message_iteration_errors(buffer, ros):
    def items():
        yield ros.transform_stamped("map", "odom", sec=1)
        raise RuntimeError("stream broke")

    with pytest.raises(RuntimeError, match="stream broke"):
        buffer.insert_transform_message(SimpleNamespace(transforms=items()))
    assert not buffer.can_transform("odom", "map", 10**9)
    with pytest.raises(TypeError) as info:
        buffer.insert_transform_message(SimpleNamespace(transforms=5))
    assert not hasattr(info.value, "__notes__")
    with pytest.raises(AttributeError):
        buffer.insert_transform_message(ros.transform_stamped())


# The class itself


def test_class_surface():
    assert TransformBuffer.__module__ == "quilm_tf._native"
    assert str(inspect.signature(TransformBuffer)) == "(history_seconds)"
    signatures = {
        name: str(inspect.signature(getattr(TransformBuffer, name)))
        for name in vars(TransformBuffer)
        if not name.startswith("_")
    }
    assert signatures == {
        "insert_transform": "(self, /, parent, child, matrix, stamp_ns, is_static=False)",
        "insert_transform_stamped": "(self, /, message, is_static=False)",
        "insert_transform_message": "(self, /, message, is_static=False)",
        "lookup": "(self, /, from_frame, to_frame, stamp_ns)",
        "can_transform": "(self, /, from_frame, to_frame, stamp_ns)",
        "clear_dynamic": "(self, /)",
    }


def test_a_failed_write_poisons_the_lock():
    # A C++ exception inside the exclusive section (here an allocation failure while the
    # service copies a huge frame name) leaves the buffer unusable from then on.
    script = textwrap.dedent(
        """
        import resource
        from quilm_tf._native import TransformBuffer
        IDENTITY = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]
        buffer = TransformBuffer(1.0)
        name = "x" * (256 << 20)
        buffer.insert_transform("world", "base", IDENTITY, 1)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), hard))
        try:
            buffer.insert_transform("world", name, IDENTITY, 1)
        except MemoryError:
            print("memory error")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        for call in (
            lambda: buffer.lookup("base", "world", 1),
            lambda: buffer.can_transform("base", "world", 1),
            lambda: buffer.insert_transform("world", "b", IDENTITY, 1),
            lambda: buffer.clear_dynamic(),
        ):
            try:
                call()
            except Exception as error:
                print("exception", type(error).__name__)
            except BaseException as error:
                print(type(error).__module__, type(error).__name__, str(error))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    fatal = "quilm_tf._native InternalError transform buffer lock was poisoned"
    assert result.stdout.splitlines() == ["memory error"] + [fatal] * 4
