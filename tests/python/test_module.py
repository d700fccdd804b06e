# The extension's surface: its names against the type stub, how it binds and converts
# arguments (numbers, stamps, matrices, flags, names, ROS messages) and results, and the
# exceptions (types, texts, notes) that it raises for each.

import ast
import collections.abc
import importlib.util
import inspect
import math
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
import quilm_tf._native as native
from quilm_tf._native import (
    FilterFailureReason as Reason,
)
from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

import quilm_tf

LIMIT_NS = 2**31 * 10**9
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
SHAPE, RANGE, STR_ROWS = (
    "matrix must have shape 4x4",
    "stamp_ns exceeds the ROS Time range",
    "Can't extract `str` to `Vec`",
)
HISTORY, NEGATIVE = (
    "history_seconds must be finite and non-negative",
    "can't convert negative int to unsigned",
)
SECONDS, NANOSECONDS = (
    "timestamp seconds must be non-negative",
    "timestamp nanoseconds must be less than one second",
)
STUB = ast.parse(Path(native.__file__).with_name("_native.pyi").read_text(encoding="utf-8"))
DEFINITIONS = [
    node
    for node in STUB.body
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and node.name[0] != "_"
]


def declared(node):
    # A stub function's (name, default) parameters after self or cls; a class's public
    # members in order, each with its parameters (None for a property or a constant).
    if isinstance(node, ast.ClassDef):
        members = [
            m for m in node.body if isinstance(m, ast.FunctionDef) or isinstance(m, ast.AnnAssign)
        ]
        names = [(m.name if isinstance(m, ast.FunctionDef) else m.target.id, m) for m in members]
        return [
            (n, declared(m) if isinstance(m, ast.FunctionDef) and not m.decorator_list else None)
            for n, m in names
            if not n.startswith("_")
        ]
    defaults = [inspect.Parameter.empty] * (len(node.args.args) - len(node.args.defaults)) + [
        ast.literal_eval(d) for d in node.args.defaults
    ]
    return [
        (arg.arg, default)
        for arg, default in zip(node.args.args, defaults)
        if arg.arg not in ("self", "cls")
    ]


def defined(value, members=True):
    # The same, read from the module's objects; a class's own signature with members=False.
    if isinstance(value, type) and members:
        return [
            (n, defined(v) if callable(v) else None)
            for n, v in vars(value).items()
            if not n.startswith("_")
        ]
    return [
        (p.name, p.default)
        for p in inspect.signature(value).parameters.values()
        if p.name != "self"
    ]


@pytest.mark.parametrize("node", DEFINITIONS, ids=lambda node: node.name)
def test_the_module_and_the_package_define_what_the_stub_declares_in_order(node):
    names = [node.name for node in DEFINITIONS]
    # Private helpers (one leading underscore) are the package's; its own functions follow.
    assert [name for name in vars(native) if not name.startswith("_")] == native.__all__ == names
    assert quilm_tf.__all__[: len(names)] == names
    found = getattr(native, node.name)
    assert getattr(quilm_tf, node.name) is found and native.__file__.endswith(".abi3.so")
    assert defined(found) == declared(node)
    if isinstance(node, ast.ClassDef):
        assert (found.__module__, [base.__name__ for base in found.__bases__]) == (
            "quilm_tf._native",
            [b.id for b in node.bases] or ["object"],
        )
        for new in (m for m in node.body if getattr(m, "name", None) == "__new__"):
            assert defined(found, members=False) == declared(new)


def test_a_second_module_object_shares_the_process_wide_types():
    again = importlib.util.module_from_spec(native.__spec__)
    native.__spec__.loader.exec_module(again)
    assert again is not native and all(
        getattr(again, n) is getattr(native, n) for n in native.__all__ if n != "require_frame"
    )
    pytest.raises(
        native.FrameError, again.require_frame, "a", "b", "c"
    )  # raised through one module object, caught through the other


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda b: require_frame("a", "b"),
            "require_frame() missing required argument 'interface' (pos 3)",
        ),
        (
            lambda b: require_frame("a", "b", "c", "d"),
            "require_frame() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda b: TransformBuffer(1.0, 2.0),
            "TransformBuffer() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda b: b.insert_transform("a", "b", [], 1, False, 2),
            "insert_transform() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda b: b.insert_transform_stamped(None, static=True),
            "insert_transform_stamped() got an unexpected keyword argument 'static'",
        ),
        (
            lambda b: TransformBuffer(history_seconds=1.0, history=1.0),
            "TransformBuffer() got an unexpected keyword argument 'history'",
        ),
        (
            lambda b: b.lookup("a", "b", 1, from_frame="c"),
            "argument for lookup() given by name ('from_frame') and position (1)",
        ),
        (
            lambda b: MessageFilter(b, "map", 1, queue_size=2),
            "argument for MessageFilter() given by name ('queue_size') and position (3)",
        ),
    ],
)
def test_binding_errors_use_the_interpreters_wording(buffer, refused, call, message):
    refused(lambda: call(buffer), TypeError, message)


def shifted(x, y=0.0, z=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


# Fails the C sequence check; counts as a sequence only through registration.
RegisteredRows = collections.abc.Sequence.register(type("RegisteredRows", (dict,), {}))


@pytest.mark.parametrize(("history", "window_ns"), [
    # Rounded exactly to the nanosecond, ties to even: the doubles nearest 1.5e-9 and
    # 2.5e-9 lie just below and above the ties, 1/1024 s and 3/1024 s are exact ties.
    (1.5e-9, 1), (2.5e-9, 3), (1 / 1024, 976_562), (3 / 1024, 2_929_688), (1 + 1 / 1024, 1_000_976_562),
    (np.float32(1.5), 1_500_000_000), (-0.0, 0), (2.0**64 - 2048, LIMIT_NS - 2),
    (-1e-300, HISTORY), (math.nan, HISTORY), (math.inf, HISTORY), (2.0**64, "history_seconds is too large"),
    ("10", TypeError), (10**400, OverflowError),
])  # fmt: skip
def test_history_seconds_rounds_to_a_window_or_is_refused(refused, history, window_ns):
    if not isinstance(window_ns, int):
        text, error = (window_ns, ValueError) if isinstance(window_ns, str) else (None, window_ns)
        return refused(
            lambda: TransformBuffer(history),
            error,
            text,
            "history_seconds" if text is None else None,
        )
    # After inserts at t and t + gap, the sample at t survives exactly when gap <= window.
    t = 1 if window_ns > 10**12 else 10**12
    for gap, kept in [
        (g, k) for g, k in ((window_ns, True), (window_ns + 1, False)) if t + g < LIMIT_NS
    ]:
        buffer = TransformBuffer(history)
        buffer.insert_transform("world", "base", I4, t)
        buffer.insert_transform("world", "base", I4, t + gap)
        assert buffer.can_transform("base", "world", t) is kept


@pytest.mark.parametrize("make", [lambda rows: tuple(map(tuple, rows)), np.array, lambda rows: [np.float32(row) for row in rows],
                                  lambda rows: RegisteredRows(enumerate(rows))], ids=["tuples", "ndarray", "float32 rows", "registered"])  # fmt: skip
def test_any_sequence_of_sequences_maps_the_child_into_the_parent(buffer, make):
    buffer.insert_transform(
        "world", "base", make(shifted(1.0, 2.0, 3.0)), np.uint64(1), np.False_
    )  # numpy bools are bools
    assert buffer.lookup("base", "world", 1) == shifted(1.0, 2.0, 3.0)
    assert buffer.lookup(to_frame="base", from_frame="world", stamp_ns=np.int32(1)) == shifted(
        -1.0, -2.0, -3.0
    )
    assert buffer.can_transform("base", stamp_ns=2, to_frame="world") is False


@pytest.mark.parametrize(
    ("args", "error", "message", "note"),
    [
        # Conversions in parameter order, each failure naming its parameter...
        ((1, 2, "m", -1, 0), TypeError, "'int' object cannot be converted to 'str'", "parent"),
        (("w", 2, "m", -1, 0), TypeError, "'int' object cannot be converted to 'str'", "child"),
        (("w", "b", "m", -1, 0), TypeError, STR_ROWS, "matrix"),
        (("w", "b", I4[:3] + ["0001"], -1, 0), TypeError, STR_ROWS, "matrix"),
        (
            ("w", "b", {0: I4[0]}, 1),
            TypeError,
            "'dict' object cannot be converted to 'Sequence'",
            "matrix",
        ),
        (("w", "b", I4[:2] + [[None]], 1), TypeError, None, "matrix"),  # entries before the shape
        (("w", "b", I4[:3], -1, 0), OverflowError, NEGATIVE, "stamp_ns"),
        (("w", "b", I4[:3], 2**128, True), OverflowError, None, "stamp_ns"),
        (
            ("w", "b", I4[:3], 1, 0),
            TypeError,
            "'int' object cannot be converted to 'bool'",
            "is_static",
        ),
        (("w", "b", I4, 1, np.int64(1)), TypeError, None, "is_static"),
        # ...then the shape, the rigidity and only then the time range.
        (("w", "b", I4[:3] + [[0.0] * 3], LIMIT_NS, False), ValueError, SHAPE, None),
        (
            ("w", "b", [[2.0, 0, 0, 0]] + I4[1:], LIMIT_NS, False),
            TransformError,
            "matrix is not a rigid homogeneous transform",
            None,
        ),
        (("w", "w", I4, LIMIT_NS, False), ValueError, RANGE, None),
        (("w", "b", I4, 2**64 + 5, True), ValueError, RANGE, None),  # must not wrap round to 5
    ],
)
def test_insert_transform_refusals_in_parameter_order(buffer, refused, args, error, message, note):
    refused(lambda: buffer.insert_transform(*args), error, message, note)
    if (
        error is ValueError and args[3] >= LIMIT_NS
    ):  # lookups refuse the same stamps; can_transform says no
        refused(lambda: buffer.lookup("w", "w", args[3]), ValueError, RANGE)
        assert (
            buffer.can_transform("w", "w", args[3]) is False
            and buffer.can_transform("w", "w", LIMIT_NS - 1) is True
        )


def test_insert_transform_message_decodes_every_item_before_inserting_any(buffer, ros, refused):
    items = [ros.transform_stamped("map", "odom", translation=(1, 0, 0)), ros.transform_stamped("odom", "base", translation=(0, 2, 0)),
             ros.transform_stamped("odom", "base", sec=2, translation=(0, 4, 0))]  # fmt: skip
    assert buffer.insert_transform_message(SimpleNamespace(transforms=iter(items))) is None
    assert (buffer.lookup("base", "map", 10**9), buffer.lookup("base", "odom", 2 * 10**9)) == (
        shifted(1.0, 2.0),
        shifted(0.0, 4.0),
    )

    def broken(last):  # a stream that breaks after two items
        yield from (ros.transform_stamped("a", "b"), last)
        raise RuntimeError

    for transforms, error in ((broken(ros.changed(ros.transform_stamped("b", "c"), transform__rotation=...)), AttributeError),
                              (broken(ros.transform_stamped("b", "c")), RuntimeError), (5, TypeError)):  # fmt: skip
        refused(
            lambda: buffer.insert_transform_message(SimpleNamespace(transforms=transforms)), error
        )
    assert not buffer.can_transform("b", "a", 10**9)
    # Refused by the buffer: the inserts before the refused one stay, none after it.
    items = [
        ros.transform_stamped("x", "y"),
        ros.transform_stamped("x", "base"),
        ros.transform_stamped("y", "z"),
    ]
    with pytest.raises(TransformError, match='^failed to insert transform "x" -> "base": '):
        buffer.insert_transform_message(SimpleNamespace(transforms=items))
    assert (buffer.can_transform("y", "x", 10**9), buffer.can_transform("z", "y", 10**9)) == (
        True,
        False,
    )


class Recorder(SimpleNamespace):
    # Read-only view of a SimpleNamespace tree that logs every read as a dotted path.

    def __getattr__(self, name):
        self.log.append(path := f"{self.path}.{name}".lstrip("."))
        value = getattr(self.node, name)
        return (
            Recorder(node=value, log=self.log, path=path)
            if isinstance(value, SimpleNamespace)
            else value
        )


READS = ["header", "transform", "transform.translation", "transform.rotation", "header.stamp", "header.stamp.sec", "header.stamp.nanosec",
         *(f"transform.translation.{a}" for a in "xyz"), *(f"transform.rotation.{a}" for a in "xyzw"), "header.frame_id", "child_frame_id"]  # fmt: skip


@pytest.mark.parametrize("missing", [None, *READS])
def test_a_transform_stamped_is_read_once_per_attribute_in_order(buffer, ros, log, missing):
    message = ros.transform_stamped(
        sec=2**31 - 1,
        nanosec=10**9 - 1,
        translation=(1, 2, 3),
        rotation=(0.0, 0.0, 0.5**0.5, 0.5**0.5),
    )
    if missing is not None:
        with pytest.raises(AttributeError):
            buffer.insert_transform_stamped(
                Recorder(
                    node=ros.changed(message, **{missing.replace(".", "__"): ...}), log=log, path=""
                )
            )
        assert log == READS[: READS.index(missing) + 1]
        return
    buffer.insert_transform_stamped(Recorder(node=message, log=log, path=""), is_static=np.True_)
    assert log == READS and buffer.can_transform("base", "world", 0)  # static: valid at all times
    # 90 degrees about z: the child's x axis is the parent's y axis.
    result = buffer.lookup("base", "world", LIMIT_NS - 1)
    assert np.allclose(
        result, [[0, -1, 0, 1], [1, 0, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]], rtol=0, atol=1e-12
    )


@pytest.mark.parametrize(
    ("changes", "error", "message"),
    [
        (
            {"header__stamp__sec": np.int32(7), "header__stamp__nanosec": np.uint32(3)},
            None,
            7_000_000_003,
        ),
        ({"header__stamp__sec": 0, "header__stamp__nanosec": 1}, None, 1),
        ({"header__stamp__nanosec": 2**32 - 1}, ValueError, NANOSECONDS),
        ({"header__stamp__sec": 2**31}, OverflowError, "Python int too large to convert to C int"),
        (
            {"header__stamp__nanosec": 2**32},
            OverflowError,
            "Python int too large to convert to C unsigned int",
        ),
        ({"header__frame_id": b"world"}, TypeError, "'bytes' object cannot be converted to 'str'"),
        # Both stamp fields are converted before either is checked, seconds first; the stamp
        # is checked before the pose is read, the pose before the names.
        ({"header__stamp__sec": -1, "header__stamp__nanosec": -1}, OverflowError, NEGATIVE),
        ({"header__stamp__sec": -1, "header__stamp__nanosec": 2 * 10**9}, ValueError, SECONDS),
        (
            {"header__stamp__nanosec": 10**9, "transform__translation__x": "x"},
            ValueError,
            NANOSECONDS,
        ),
        ({"transform__translation__z": "z", "transform__rotation__w": 0.0}, TypeError, None),
        (
            {"transform__rotation__w": 2.0, "header__frame_id": 5},
            TransformError,
            "transform quaternion has norm 2, expected 1",
        ),
    ],
)
def test_transform_stamped_fields_decode_or_raise_the_first_failure_without_a_note(
    buffer, ros, refused, changes, error, message
):
    stamped = ros.changed(ros.transform_stamped(), **changes)
    if error is None:  # a single dynamic sample answers at its own stamp and nowhere else
        buffer.insert_transform_stamped(stamped)
        assert [buffer.can_transform("base", "world", message + d) for d in (-1, 0, 1)] == [
            False,
            True,
            False,
        ]
    else:
        refused(lambda: buffer.insert_transform_stamped(stamped), error, message)


@pytest.mark.parametrize(
    ("args", "error", "message", "note"),
    [
        (
            ('say "hi"', "l'a\n", 'odd "if"\n'),
            FrameError,
            'odd "if"\n requires frame "l\'a\\n", got "say \\"hi\\""',
            None,
        ),
        ((1, "map", "x"), TypeError, "'int' object cannot be converted to 'str'", "actual"),
        (("map", b"odom", 3), TypeError, "'bytes' object cannot be converted to 'str'", "expected"),
        (
            ("map", "odom", None),
            TypeError,
            "'NoneType' object cannot be converted to 'str'",
            "interface",
        ),
        (("map", "\ud800", "x"), UnicodeEncodeError, None, "expected"),
    ],
)
def test_require_frame(refused, args, error, message, note):
    assert (
        require_frame("/é", "/é", "x") is None
        and require_frame(interface="x", expected="a", actual="a") is None
    )
    refused(lambda: require_frame(*args), error, message, note)


def test_failure_reasons_print_their_names_and_compare_by_value_only():
    names = ["EMPTY_FRAME_ID", "INVALID_FRAME_ID", "QUEUE_FULL"]
    reasons = [getattr(Reason, name) for name in names]
    assert [(str(r), repr(r)) for r in reasons] == [
        (n.lower().replace("_", " "), f"FilterFailureReason.{n}") for n in names
    ]
    everything = type("EqualsEverything", (), {"__eq__": lambda self, other: True})()
    for left in reasons:
        assert [(left == right, left != right) for right in reasons] == [
            (left is right, left is not right) for right in reasons
        ]
        assert [
            (left == other, left != other, other == left) for other in (2, "queue full", None)
        ] == [(False, True, False)] * 3
        assert (left == everything, left != everything) == (True, False)
