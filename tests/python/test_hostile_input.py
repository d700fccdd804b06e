# Hostile input at every entry point: each argument in turn, and each field of a message,
# replaced by wrong types, extreme numbers, odd names, objects that raise from every protocol
# or lie about their length; and conversions that call back into the module. Only documented
# exception types come out, or the one a hostile object raised itself (never SystemError,
# MemoryError or a crash), and a refused call changes nothing.

import copy
import functools
import math
from collections.abc import Sequence
from types import SimpleNamespace as NS

import pytest
from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)


class Boom(Exception):
    """Raised by the hostile objects' own methods; must come out unchanged."""


def boom(self, *args):
    raise Boom(args)


PROTOCOLS = "__index__ __float__ __len__ __getitem__ __iter__ __getattr__ __bool__ __eq__ __call__"
Hostile = type("Hostile", (), {name: boom for name in PROTOCOLS.split()} | {"__hash__": None})
DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError, TransformError, FrameError,
              Boom)  # fmt: skip


class Lying(Sequence):
    # Claims `length` items; holds `items` and raises Boom beyond them.

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index] if index < len(self.items) else boom(self)


def shifted(x, y=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def message(frame_id, nanosec, **extra):
    return NS(header=NS(stamp=NS(sec=0, nanosec=nanosec), frame_id=frame_id), **extra)


def transform(parent, child, nanosec):
    pose = NS(translation=NS(x=1.0, y=2.0, z=3.0), rotation=NS(x=0.0, y=0.0, z=0.0, w=1.0))
    return message(parent, nanosec, child_frame_id=child, transform=pose)


def populated():
    buffer, log = TransformBuffer(10.0), []
    buffer.insert_transform("world", "base", shifted(1.0), 1_000)
    buffer.insert_transform("world", "base", shifted(2.0), 2_000)
    buffer.insert_transform("base", "arm", shifted(0.0, 1.0), 0, True)
    f = MessageFilter(buffer, "world", 3, log.append)
    f.register_failure_callback(lambda m, r: log.append(r))
    f.add(message("base", 5_000))
    return buffer, f, log


def state(buffer, f):
    # The filter's settings and every probe lookup's outcome, the matrix or the error text.
    out = [f.pending_count, f.queue_size, f.tolerance_ns, f.target_frames]
    for frames in (("arm", "world"), ("tool", "arm"), ("mars", "world"), ("", "base")):
        for stamp in (1_000, 1_500, 3_000):
            try:
                out.append(buffer.lookup(*frames, stamp))
            except TransformError as error:
                out.append(str(error))
    return out


BASELINE = state(*populated()[:2])
# Names the conversion may trip on; which names the core accepts is its own tests' matter.
ODD = ["", "a/b", "x\0y", "\ud800", "w" * 100_000, "\U0010ffff"]
BAD = [
    None, object(), Hostile(), b"base", 1j, [], {}, (), 1.5, True, -1, 2**63, 2**64 + 5, 2**128,
    -(2**128), 2**31 * 10**9, math.nan, -math.inf, 5e-324, 2.0**64, *ODD, Lying([], 2**62),
    Lying([[1.0] * 4], 5), [Lying([], 2**62)] * 4, ["1234"] * 4,
]  # fmt: skip
BUFFER = object()  # stands for the populated buffer
CALLS = {  # entry point: valid arguments
    "insert_transform": ["world", "tool", shifted(1.0), 1_500, False],
    "insert_transform_stamped": [transform("world", "tool", 1_500), False],
    "insert_transform_message": [NS(transforms=[transform("world", "tool", 1)]), False],
    "lookup": ["arm", "world", 1_500],
    "can_transform": ["arm", "world", 1_500],
    "add": [message("base", 2_000)],
    "set_target_frame": ["base"],
    "set_target_frames": [["map", "world"]],
    "set_tolerance_ns": [5],
    "set_queue_size": [2],
    "register_callback": [print],
    "register_failure_callback": [print],
    "TransformBuffer": [10.0],
    "MessageFilter": [BUFFER, "world", 3, print, 0],
    "require_frame": ["map", "map", "x"],
}


def call(name, buffer, f, args):
    # A method of the buffer or of the filter, or one of the module's callables.
    for target in (buffer, f):
        if hasattr(target, name):
            return getattr(target, name)(*args)
    if name == "MessageFilter":
        return MessageFilter(*[buffer if arg is BUFFER else arg for arg in args])
    return {"TransformBuffer": TransformBuffer, "require_frame": require_frame}[name](*args)


PATHS = [
    "header", "header.stamp", "header.stamp.sec", "header.stamp.nanosec", "header.frame_id",
    "child_frame_id", "transform", "transform.translation", "transform.rotation",
    "transform.translation.x", "transform.rotation.w", "transforms",
]  # fmt: skip


def variants(valid):
    # valid with one attribute path set to each bad value or deleted, for every path it has
    # (the items of a list of transforms go through the decoder of a single one).
    for path in PATHS if isinstance(valid, NS) else []:
        *parents, leaf = path.split(".")
        for value in [...] + BAD:
            out = copy.deepcopy(valid)
            node = functools.reduce(lambda node, part: getattr(node, part, None), parents, out)
            if not hasattr(node, leaf):
                break
            setattr(node, leaf, value) if value is not ... else delattr(node, leaf)
            yield out


def attempt(name, args):
    # Runs one call on a fresh buffer and filter and checks how it came out.
    buffer, f, log = populated()
    try:
        call(name, buffer, f, args)
    except DOCUMENTED:
        assert (state(buffer, f), log) == (BASELINE, []), args
        return
    if name == "add":  # queued, delivered or reported
        assert f.pending_count + len(log) == BASELINE[0] + 1, args
    if name == "require_frame":
        assert args[0] == args[1], args


@pytest.mark.parametrize("name", CALLS)
def test_each_argument_and_message_field_refused_changes_nothing(name):
    valid = CALLS[name]
    for i, good in enumerate(valid):
        for bad in BAD + list(variants(good)):
            attempt(name, [*valid[:i], bad, *valid[i + 1 :]])


class Calls(NS):
    # A number whose conversion, or a message whose `header` read, first runs `action`.

    def __index__(self):
        self.action()
        return self.value

    __float__ = __index__

    def __getattribute__(self, name):
        if name == "header":
            object.__getattribute__(self, "action")()
        return object.__getattribute__(self, name)


def test_conversions_and_reads_may_call_back_into_the_same_objects():
    buffer, log = TransformBuffer(10.0), []
    insert = lambda: buffer.insert_transform("world", "base", shifted(3.0), 1_500)  # noqa: E731
    assert buffer.lookup("base", "world", Calls(value=1_500, action=insert))[0][3] == 3.0
    entry = Calls(value=4.0, action=lambda: buffer.lookup("base", "world", 1_500))
    buffer.insert_transform("world", "base", [[1.0, 0.0, 0.0, entry], *shifted(0.0)[1:]], 2_000)
    buffer.insert_transform("world", "cam", shifted(2.0), 1_000)
    assert buffer.lookup("base", "world", 2_000)[0][3] == 4.0
    f = MessageFilter(buffer, "world", 0, log.append)
    add = lambda: f.add(message("cam", 1_000, tag="inner"))  # noqa: E731
    f.add(Calls(action=add, header=message("cam", 1_000).header, tag="outer"))
    assert [m.tag for m in log] == ["inner", "outer"]
