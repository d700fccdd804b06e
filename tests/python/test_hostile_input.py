"""Hostile input at every entry point: wrong types, extreme numbers, malformed messages,
odd strings, objects that raise from every protocol or lie about their length, and
conversions that call back into the module.

Only the documented exception types may come out (TypeError, ValueError, OverflowError,
AttributeError, TransformError, FrameError), or the exception a hostile object raised
itself, unchanged; never SystemError, never the fatal error, never a crash. A refused call
changes nothing: the buffer answers every probe lookup as before, and a filter keeps its
settings and its queue.
"""

import copy
import math
import pickle
import weakref
from collections.abc import Sequence
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

LIMIT_NS = 2**31 * 10**9
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError, TransformError, FrameError)

bounded = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Boom(Exception):
    """Raised by the hostile objects' own methods; must come out unchanged."""


class Hostile:
    """Raises Boom from every protocol the binding could use on it."""

    def __index__(self):
        raise Boom("index")

    def __float__(self):
        raise Boom("float")

    def __len__(self):
        raise Boom("len")

    def __getitem__(self, index):
        raise Boom("getitem")

    def __iter__(self):
        raise Boom("iter")

    def __getattr__(self, name):
        raise Boom(name)

    def __bool__(self):
        raise Boom("bool")

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = None

    def __call__(self, *args):
        raise Boom("call")


class Lying(Sequence):
    """Claims `length` items; holds `items` and raises Boom beyond them."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index < len(self.items):
            return self.items[index]
        raise Boom("beyond the real items")


def shifted(x, y=0.0, z=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


def populated():
    buffer = TransformBuffer(10.0)
    buffer.insert_transform("world", "base", shifted(1.0), 1_000)
    buffer.insert_transform("world", "base", shifted(2.0), 2_000)
    buffer.insert_transform("base", "arm", shifted(0.0, 1.0), 0, True)
    buffer.insert_transform("/base", "cam", shifted(0.0, 0.0, 1.0), 5, True)
    return buffer


PROBES = [("arm", "world"), ("world", "cam"), ("cam", "arm"), ("mars", "world"), ("", "base")]


def answers(buffer):
    """Every probe lookup's outcome: the matrix or the error text, and can_transform."""
    out = []
    for from_frame, to_frame in PROBES:
        for stamp in (1_000, 1_500, 2_000, 3_000):
            try:
                out.append(buffer.lookup(from_frame, to_frame, stamp))
            except TransformError as error:
                out.append(str(error))
            out.append(buffer.can_transform(from_frame, to_frame, stamp))
    return out


BASELINE = answers(populated())


def outcome(call):
    """The exception of a documented type (or Boom) that call raised, else None. Anything
    else, SystemError and the fatal error included, propagates and fails the test."""
    try:
        call()
    except (*DOCUMENTED, Boom) as error:
        if isinstance(error, (TransformError, FrameError)):
            assert len(error.args) == 1 and isinstance(error.args[0], str)
        return error
    return None


# Strategies. Every parameter is drawn from its valid values or from hostile ones, so that
# most calls are refused at one argument while the others are fine.

HOSTILE_OBJECTS = [
    None,
    object(),
    Hostile(),
    b"base",
    bytearray(b"x"),
    1j,
    [],
    {},
    (),
    SimpleNamespace(),
    1.5,
]
ODD_NAMES = [
    "", "/", "///", "a/b", "/base/", "x\0y", "\0", "é", "\u0301", "\ud800", "\udfff", " base",
    "w" * 100_000, "\U0010ffff", '"', "\\",
]  # fmt: skip
hostile = st.sampled_from(HOSTILE_OBJECTS)
names = st.one_of(
    st.sampled_from(["world", "base", "/world", "arm", "cam", "tool"]),
    st.sampled_from(ODD_NAMES),
    st.text(max_size=12),
)
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([1e308, -0.0, 5e-324, 2.0**64, 2.0**64 - 2048]),
    st.integers(min_value=-(2**70), max_value=2**70),
)
integers = st.one_of(
    st.integers(),
    st.sampled_from(
        [-1, 0, 1, LIMIT_NS - 1, LIMIT_NS, 2**63, 2**64, 2**128 - 1, 2**128, -(2**128), 2**1000]
    ),
    st.booleans(),
)
stamps = st.one_of(st.integers(min_value=1, max_value=3_000), integers, hostile, numbers, names)
flags = st.one_of(st.booleans(), hostile, st.sampled_from([0, 1, "True"]))
scalars = st.one_of(numbers, integers, names, hostile)


@st.composite
def matrices(draw):
    kind = draw(st.integers(min_value=0, max_value=5))
    if kind == 0:
        return shifted(draw(st.floats(-10, 10)))
    if kind == 1:  # one entry replaced
        matrix = [list(row) for row in shifted(1.0)]
        matrix[draw(st.integers(0, 3))][draw(st.integers(0, 3))] = draw(scalars)
        return matrix
    if kind == 2:
        return draw(st.lists(st.lists(scalars, max_size=6), max_size=6))
    if kind == 3:
        return Lying(
            [list(row) for row in IDENTITY[: draw(st.integers(0, 4))]],
            draw(st.sampled_from([4, 5, 2**31, 2**62])),
        )
    if kind == 4:
        return [Lying(list(row), draw(st.sampled_from([4, 2**62]))) for row in IDENTITY]
    return draw(
        st.one_of(hostile, names, st.just(["1234"] * 4), st.just(tuple(map(tuple, IDENTITY))))
    )


MISSING = object()


def with_changes(message, changes):
    """Sets or deletes (MISSING) attributes given by dotted paths."""
    for path, value in changes:
        *parents, leaf = path.split(".")
        node = message
        for part in parents:
            node = getattr(node, part, None)
            if not isinstance(node, SimpleNamespace):
                break
        else:
            if value is MISSING:
                if hasattr(node, leaf):
                    delattr(node, leaf)
            else:
                setattr(node, leaf, value)
    return message


TRANSFORM_PATHS = [
    "header", "header.stamp", "header.stamp.sec", "header.stamp.nanosec", "header.frame_id",
    "child_frame_id", "transform", "transform.translation", "transform.rotation",
    *(f"transform.translation.{a}" for a in "xyz"), *(f"transform.rotation.{a}" for a in "xyzw"),
]  # fmt: skip
leaf_values = st.one_of(st.just(MISSING), scalars, st.sampled_from([-1, 10**9, 2**31, 2**32, 0]))


@st.composite
def transform_messages(draw):
    message = SimpleNamespace(
        header=SimpleNamespace(
            stamp=SimpleNamespace(
                sec=draw(st.integers(0, 3)), nanosec=draw(st.integers(0, 10**9 - 1))
            ),
            frame_id=draw(names),
        ),
        child_frame_id=draw(names),
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=1.0, y=2.0, z=3.0),
            rotation=SimpleNamespace(x=0.0, y=0.0, z=0.0, w=1.0),
        ),
    )
    paths = draw(st.lists(st.sampled_from(TRANSFORM_PATHS), max_size=3, unique=True))
    return with_changes(message, [(path, draw(leaf_values)) for path in paths])


@st.composite
def filter_messages(draw):
    message = SimpleNamespace(
        header=SimpleNamespace(
            stamp=SimpleNamespace(sec=0, nanosec=draw(st.integers(1, 3_000))), frame_id=draw(names)
        ),
        payload=draw(st.integers()),
    )
    paths = draw(st.lists(st.sampled_from(TRANSFORM_PATHS[:5]), max_size=2, unique=True))
    return with_changes(message, [(path, draw(leaf_values)) for path in paths])


# The buffer.


@bounded
@given(history=st.one_of(numbers, integers, hostile, names))
def test_constructor_refuses_only_with_documented_errors(history):
    outcome(lambda: TransformBuffer(history))


@bounded
@given(parent=names, child=names, matrix=matrices(), stamp=stamps, is_static=flags)
def test_refused_insert_transform_changes_nothing(parent, child, matrix, stamp, is_static):
    buffer = populated()
    if (
        outcome(lambda: buffer.insert_transform(parent, child, matrix, stamp, is_static))
        is not None
    ):
        assert answers(buffer) == BASELINE


@bounded
@given(message=transform_messages(), is_static=flags)
def test_refused_insert_transform_stamped_changes_nothing(message, is_static):
    buffer = populated()
    if outcome(lambda: buffer.insert_transform_stamped(message, is_static)) is not None:
        assert answers(buffer) == BASELINE


@bounded
@given(items=st.lists(transform_messages(), max_size=3), shape=st.integers(0, 3), is_static=flags)
def test_insert_transform_message_refuses_before_inserting(items, shape, is_static):
    container = [
        SimpleNamespace(transforms=items),
        SimpleNamespace(transforms=Lying(items, len(items) + 1)),
        SimpleNamespace(transforms=iter(items)),
        SimpleNamespace(transforms=Hostile()),
    ][shape]
    buffer = populated()
    error = outcome(lambda: buffer.insert_transform_message(container, is_static))
    # A TransformError may come after the items before the refused one went in.
    if error is not None and not isinstance(error, TransformError):
        assert answers(buffer) == BASELINE


@bounded
@given(from_frame=names, to_frame=names, stamp=stamps)
def test_lookup_and_can_transform_agree_and_change_nothing(from_frame, to_frame, stamp):
    buffer = populated()
    found = []
    error = outcome(lambda: found.append(buffer.lookup(from_frame, to_frame, stamp)))
    available = []
    other = outcome(lambda: available.append(buffer.can_transform(from_frame, to_frame, stamp)))
    if error is None:
        assert available == [True]
        (matrix,) = found
        assert all(math.isfinite(v) for row in matrix for v in row) and matrix[3] == [
            0.0,
            0.0,
            0.0,
            1.0,
        ]
    elif isinstance(error, TransformError):
        assert available == [False]
    elif other is not None:  # a conversion refused by both, in the same way
        assert type(other) is type(error)
    assert answers(buffer) == BASELINE


PARAMETERS = {
    "TransformBuffer": ["history_seconds"],
    "insert_transform": ["parent", "child", "matrix", "stamp_ns", "is_static"],
    "insert_transform_stamped": ["message", "is_static"],
    "insert_transform_message": ["message", "is_static"],
    "lookup": ["from_frame", "to_frame", "stamp_ns"],
    "can_transform": ["from_frame", "to_frame", "stamp_ns"],
    "clear_dynamic": [],
    "MessageFilter": ["buffer", "target_frame", "queue_size", "callback", "tolerance_ns"],
    "add": ["message"],
    "register_callback": ["callback"],
    "set_target_frame": ["target_frame"],
    "set_target_frames": ["target_frames"],
    "set_tolerance_ns": ["tolerance_ns"],
    "set_queue_size": ["queue_size"],
    "clear": [],
    "dispatch": [],
    "require_frame": ["actual", "expected", "interface"],
}


@bounded
@given(
    function=st.sampled_from(sorted(PARAMETERS)),
    positional=st.lists(scalars, max_size=6),
    keywords=st.dictionaries(
        st.one_of(st.sampled_from(sorted({p for ps in PARAMETERS.values() for p in ps})), names),
        scalars,
        max_size=4,
    ),
)
def test_argument_binding_refuses_with_type_errors(function, positional, keywords):
    buffer = populated()
    f = MessageFilter(buffer, "world", 2)
    target = {"TransformBuffer": TransformBuffer, "MessageFilter": MessageFilter}.get(function)
    target = target or {"require_frame": require_frame}.get(function)
    target = target or getattr(buffer, function, None) or getattr(f, function)
    error = outcome(lambda: target(*positional, **keywords))
    expected = PARAMETERS[function]
    if len(positional) > len(expected) or set(keywords) - set(expected):
        assert isinstance(error, TypeError)
    if set(keywords) & set(expected[: len(positional)]):
        assert isinstance(error, TypeError)  # given twice
    if error is not None:
        assert answers(buffer) == BASELINE


# The filter.


def filter_state(f):
    return (f.pending_count, f.queue_size, f.tolerance_ns, f.target_frames)


def attached(buffer, log):
    f = MessageFilter(buffer, "world", 3, lambda m: log.append(("ready", m)))
    f.register_failure_callback(lambda m, r: log.append(("failed", m, r)))
    f.add(
        SimpleNamespace(
            header=SimpleNamespace(stamp=SimpleNamespace(sec=0, nanosec=5_000), frame_id="base")
        )
    )
    return f


@bounded
@given(
    buffer=st.one_of(st.just(MISSING), hostile, names),
    target=names,
    queue_size=st.one_of(st.integers(0, 10), integers, hostile),
    callback=st.one_of(st.just(print), st.just(None), hostile, names),
    tolerance=st.one_of(st.integers(0, 10), integers, hostile, numbers),
)
def test_filter_constructor_refuses_only_with_documented_errors(
    buffer, target, queue_size, callback, tolerance
):
    real = populated()
    buffer = real if buffer is MISSING else buffer
    outcome(lambda: MessageFilter(buffer, target, queue_size, callback, tolerance))
    assert answers(real) == BASELINE


SETTINGS = {
    "set_target_frame": names,
    "set_target_frames": st.one_of(
        st.lists(names, max_size=3),
        names,
        hostile,
        st.builds(Lying, st.lists(names, max_size=2), st.sampled_from([3, 2**62])),
    ),
    "set_tolerance_ns": st.one_of(integers, hostile, numbers),
    "set_queue_size": st.one_of(integers, hostile, numbers),
    "register_callback": st.one_of(hostile, names, integers),
    "register_failure_callback": st.one_of(hostile, names, integers),
}


@pytest.mark.parametrize("method", SETTINGS)
@bounded
@given(data=st.data())
def test_refused_filter_settings_change_nothing(method, data):
    value = data.draw(SETTINGS[method])
    buffer = populated()
    log = []
    f = attached(buffer, log)
    before = filter_state(f)
    if outcome(lambda: getattr(f, method)(value)) is not None:
        assert filter_state(f) == before and log == []
    assert answers(buffer) == BASELINE


@bounded
@given(message=filter_messages())
def test_malformed_messages_are_refused_before_queueing(message):
    buffer = populated()
    log = []
    f = attached(buffer, log)
    before = filter_state(f)
    error = outcome(lambda: f.add(message))
    if error is not None:
        assert filter_state(f) == before and log == []
    else:  # queued, delivered or reported: exactly one of them
        assert f.pending_count + len(log) == before[0] + 1


# Functions, the failure reason, and the protocols every object answers.


@bounded
@given(
    actual=st.one_of(names, hostile),
    expected=st.one_of(names, hostile),
    interface=st.one_of(names, hostile),
)
def test_require_frame_raises_only_documented_errors(actual, expected, interface):
    error = outcome(lambda: require_frame(actual, expected, interface))
    if error is None:
        assert actual == expected


@bounded
@given(other=st.one_of(scalars, st.sampled_from([Reason.QUEUE_FULL, Reason.EMPTY_FRAME_ID])))
def test_failure_reason_compares_with_anything(other):
    reason = Reason.QUEUE_FULL
    equal = outcome(lambda: reason == other)
    unequal = outcome(lambda: reason != other)
    assert type(equal) is type(unequal)  # != runs the full == protocol
    with pytest.raises(TypeError):
        _ = reason < other
    with pytest.raises(TypeError):
        hash(reason)


def filter_on_buffer():
    return MessageFilter(TransformBuffer(1.0), "map", 1)


@pytest.mark.parametrize(
    "make",
    [populated, filter_on_buffer, lambda: Reason.QUEUE_FULL],
    ids=["buffer", "filter", "reason"],
)
@pytest.mark.parametrize(
    "probe",
    [
        copy.copy,
        copy.deepcopy,
        pickle.dumps,
        weakref.ref,
        len,
        iter,
        vars,
        lambda o: type(o)(),
        lambda o: type("Sub", (type(o),), {}),
    ],
    ids=["copy", "deepcopy", "pickle", "weakref", "len", "iter", "vars", "call-type", "subclass"],
)
def test_generic_protocols_refuse_with_type_error(make, probe):
    with pytest.raises(TypeError):
        probe(make())


@pytest.mark.parametrize(
    ("method", "args"),
    [
        (TransformBuffer.lookup, ("a", "b", 1)),
        (TransformBuffer.clear_dynamic, ()),
        (MessageFilter.add, (SimpleNamespace(),)),
        (MessageFilter.dispatch, ()),
        (MessageFilter.pending_count.__get__, ()),
    ],
)
@pytest.mark.parametrize("self", [object(), 1, Reason.QUEUE_FULL, "buffer"])
def test_methods_refuse_a_foreign_self(method, args, self):
    with pytest.raises(TypeError):
        method(self, *args)


@pytest.mark.parametrize(
    "call",
    [
        lambda b, f: f.set_target_frames(Lying(["map"], 2**62)),
        lambda b, f: f.set_target_frames(Lying(["map"], 2**40)),
        lambda b, f: b.insert_transform("a", "b", Lying([], 2**62), 1),
        lambda b, f: b.insert_transform("a", "b", [Lying([], 2**62)] * 4, 1),
        lambda b, f: b.insert_transform_message(SimpleNamespace(transforms=Lying([], 2**62))),
    ],
    ids=["targets-2^62", "targets-2^40", "matrix", "rows", "transforms"],
)
def test_a_lying_length_is_not_trusted(call):
    buffer = TransformBuffer(1.0)
    f = MessageFilter(buffer, "world", 0)
    with pytest.raises(Boom):
        call(buffer, f)
    assert f.target_frames == ["world"]


@pytest.mark.parametrize(
    ("name", "quoted"),
    [
        ("x\0y", '"x\\0y"'),
        ("tab\there", '"tab\\there"'),
        ("\u0301", '"\\u{301}"'),
        ("\U0010ffff", '"\\u{10ffff}"'),
        (" ", '" "'),
        ("w" * 100_000, '"' + "w" * 100_000 + '"'),
        ('q"\\', '"q\\"\\\\"'),
    ],
    ids=["nul", "tab", "combining", "noncharacter", "blank", "long", "quote-backslash"],
)
def test_odd_names_are_kept_byte_for_byte_and_shown_quoted(name, quoted):
    buffer = TransformBuffer(1.0)
    buffer.insert_transform("world", name, shifted(1.0), 1)
    assert buffer.lookup(name, "world", 1)[0][3] == 1.0
    assert not buffer.can_transform(name + "x", "world", 1)
    with pytest.raises(TransformError) as info:
        buffer.lookup(name, "elsewhere", 1)
    assert str(info.value).startswith(f'failed to look up transform from {quoted} to "elsewhere": ')
    with pytest.raises(TransformError) as info:
        buffer.insert_transform("world", "/" + name + "/", shifted(1.0), 1)
    assert str(info.value) == f'invalid frame "/{quoted[1:-1]}/": frame name must be unqualified'


# Conversions and attribute reads that call back into the module. None of them runs under
# a lock of the module, so each nested call completes.


class Calls:
    """A number whose conversion first runs `action`."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class ReadCalls(SimpleNamespace):
    """A message whose `header` read first runs `action`."""

    def __getattribute__(self, name):
        if name == "header":
            object.__getattribute__(self, "action")()
        return object.__getattribute__(self, name)


def stamped(frame_id, nanosec, parent="world", **extra):
    return SimpleNamespace(
        header=SimpleNamespace(
            stamp=SimpleNamespace(sec=0, nanosec=nanosec),
            frame_id=parent if frame_id is None else frame_id,
        ),
        **extra,
    )


def test_conversions_may_insert_into_the_same_buffer():
    buffer = TransformBuffer(10.0)
    stamp = Calls(1_500, lambda: buffer.insert_transform("world", "base", shifted(3.0), 1_500))
    assert buffer.lookup("base", "world", stamp)[0][3] == 3.0
    entry = Calls(4.0, lambda: buffer.lookup("base", "world", 1_500))
    matrix = [[1.0, 0.0, 0.0, entry], *shifted(0.0)[1:]]
    buffer.insert_transform("world", "base", matrix, 2_000)
    assert buffer.lookup("base", "world", 2_000)[0][3] == 4.0


def test_message_reads_may_call_into_the_buffer_and_the_filter():
    buffer = TransformBuffer(10.0)
    log = []
    f = MessageFilter(buffer, "world", 0, log.append)
    inner = stamped("base", 1_000, tag="inner")

    def nested():
        if inner not in log and f.pending_count == 0:
            f.add(inner)
            buffer.insert_transform("world", "base", shifted(1.0), 1_000)

    outer = ReadCalls(header=stamped("base", 1_000).header, action=nested, tag="outer")
    f.add(outer)
    assert [m.tag for m in log] == ["inner", "outer"]
    message = ReadCalls(
        action=lambda: buffer.insert_transform("world", "cam", shifted(2.0), 1_000),
        **vars(stamped(None, 1_000)),
    )
    message.child_frame_id = "arm"
    message.transform = SimpleNamespace(
        translation=SimpleNamespace(x=0.0, y=0.0, z=1.0),
        rotation=SimpleNamespace(x=0.0, y=0.0, z=0.0, w=1.0),
    )
    buffer.insert_transform_stamped(message)
    assert buffer.can_transform("cam", "arm", 1_000)


def test_target_names_may_retarget_the_same_filter_while_they_are_read():
    buffer = TransformBuffer(10.0)
    f = MessageFilter(buffer, "world", 0)

    class Names(Sequence):
        def __len__(self):
            return 2

        def __getitem__(self, index):
            f.set_target_frame("elsewhere")  # runs before the outer call locks anything
            return ["map", "/odom"][index]

    f.set_target_frames(Names())
    assert f.target_frames == ["map", "odom"]


def test_finalizers_of_released_messages_may_call_into_the_filter():
    buffer = TransformBuffer(10.0)
    f = MessageFilter(buffer, "world", 1)
    seen = []

    class Finalized(SimpleNamespace):
        def __del__(self):
            seen.append(self.tag)
            f.add(stamped("never", 1))  # re-enters the filter that released this message

    f.add(Finalized(header=stamped("base", 1).header, tag=1))
    # Evicts 1, whose finalizer's add evicts 2 in turn.
    f.add(Finalized(header=stamped("base", 2).header, tag=2))
    assert seen == [1, 2] and f.pending_count == 1
    f.set_queue_size(0)
    f.add(Finalized(header=stamped("base", 3).header, tag=3))
    f.add(Finalized(header=stamped("base", 4).header, tag=4))
    f.clear()  # discards 3 and 4, whose finalizers queue one message each
    assert seen == [1, 2, 3, 4] and f.pending_count == 2


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
def test_any_exception_from_a_callback_passes_through_and_leaves_the_locks_usable(error):
    buffer = TransformBuffer(10.0)

    def raising(*args):
        raise error("from the callback")

    f = MessageFilter(buffer, "world", 1, raising)
    f.register_failure_callback(raising)
    f.add(stamped("base", 1_000))
    with pytest.raises(error):
        buffer.insert_transform("world", "base", shifted(1.0), 1_000)  # wakes the filter
    with pytest.raises(error):
        f.add(stamped("", 1_000))  # reported to the failure callback
    assert f.pending_count == 0
    # Every lock was released on the way out: both objects work as before.
    f.add(stamped("nowhere", 1_000))
    assert buffer.lookup("base", "world", 1_000)[0][3] == 1.0
    assert (f.pending_count, f.target_frames) == (1, ["world"])
