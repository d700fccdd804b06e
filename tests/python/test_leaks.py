# Each workload, run many times through its success and failure paths, leaves nothing behind:
# the reference counts of every object it was given come back, the interpreter's block count
# stays put (a Python object leaked per round would add ROUNDS blocks), and so do the bytes
# that malloc has handed out (a C++ allocation leaked per round adds at least ROUNDS * 16).

import ctypes
import gc
import itertools
import sys
from types import SimpleNamespace as NS

import numpy as np
import pytest
from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

import quilm_tf

WARMUP, ROUNDS, BLOCK_SLACK, MALLOC_SLACK = 1_000, 20_000, 200, 64 << 10
EXPECTED = (TypeError, ValueError, OverflowError, AttributeError, TransformError, FrameError)


def shifted(x):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def fresh(text):
    # An equal but distinct str: the counts of shared literals would reveal nothing.
    return "".join(list(text))


def msg(frame_id, nanosec, sec=0, child=None):
    # A stamped message; with a child, a TransformStamped.
    pose = NS(translation=NS(x=1.0, y=0.0, z=0.0), rotation=NS(x=0.0, y=0.0, z=0.0, w=1.0))
    header = NS(stamp=NS(sec=sec, nanosec=nanosec), frame_id=fresh(frame_id))
    return NS(header=header, child_frame_id=child and fresh(child), transform=pose)


def raising(*args):
    raise RuntimeError


def environment():
    e = NS(buffer=TransformBuffer(1.0), other=TransformBuffer(1.0), rounds=itertools.count())
    e.world, e.base, e.matrix, e.log = fresh("world"), fresh("base"), shifted(1.0), []
    e.bad = [[1.0, 0.0, 0.0, "x"], *shifted(0.0)[1:]]
    e.scaled = [[2.0, 0, 0, 0], *shifted(0.0)[1:]]
    e.good = msg("world", 5, child="base")
    e.negative = msg("world", 5, sec=-1, child="b")
    e.batch = NS(transforms=[e.good, msg("odom", 6, child="base")])
    e.targets, e.reason = [fresh("map"), "/odom"], Reason.QUEUE_FULL
    e.ready, e.waiting, e.empty = msg("base", 3), msg("base", 7), msg("", 7)
    e.stamps, e.points = np.array([5, 5]), np.zeros((2, 3))
    e.filter = MessageFilter(e.buffer, "world", 2, e.log.append)
    e.filter.register_failure_callback(lambda m, r: e.log.append(r))
    e.raising = MessageFilter(e.other, "world", 1, raising)
    e.raising.register_failure_callback(raising)
    e.buffer.insert_transform("base", "arm", shifted(2.0), 0, True)
    e.buffer.insert_transform(e.world, e.base, e.matrix, 5)
    e.other.insert_transform(e.world, e.base, e.matrix, 0, True)
    return e


def no(call, *args, raises=EXPECTED):
    # call(*args) must be refused.
    try:
        call(*args)
    except raises:
        return
    raise AssertionError(f"{call} accepted {args}")


def inserts(e):
    e.buffer.insert_transform(e.world, e.base, e.matrix, 2**40 + next(e.rounds) % 4)
    e.buffer.insert_transform_stamped(e.good, is_static=False)
    for matrix, stamp in ((e.bad, 1), (e.scaled, 1), (e.matrix[:3], 1), (e.matrix, 2**63)):
        no(e.buffer.insert_transform, e.world, e.base, matrix, stamp)
    no(e.buffer.insert_transform_stamped, e.negative)
    no(e.buffer.insert_transform_message, e.batch)  # re-parenting
    no(e.buffer.insert_transform_message, e.good)  # not a list
    e.buffer.lookup("arm", e.world, 2**40)
    e.buffer.can_transform(e.base, e.world, 5)
    for to, stamp in (("", 5), (e.world, 2**100), (5, 10)):
        no(e.buffer.lookup, e.base, to, stamp)
    e.buffer.can_transform(e.base, e.world, 2**80)


def filter_calls(e):
    e.filter.set_queue_size(2)
    e.filter.add(e.waiting)
    e.buffer.insert_transform(e.world, e.base, e.matrix, 7)  # delivers it
    for m in (e.empty, msg("far", 7), msg("far", 7), msg("far", 7)):
        e.filter.add(m)  # refused, queued, queued, evicting the first
    e.filter.set_queue_size(1)
    e.filter.set_target_frames(e.targets)
    e.filter.set_target_frame(e.targets[0])
    e.filter.dispatch()
    no(e.filter.set_target_frames, [])
    no(e.filter.register_callback, None)
    no(e.filter.set_queue_size, -1)
    e.filter.clear()
    e.filter.set_target_frame("world")
    e.log.clear()


def raising_callbacks(e):
    # Ready at once, refused, queued, then evicted: each raises but the third.
    no(e.raising.add, e.ready, raises=RuntimeError)
    no(e.raising.add, e.empty, raises=RuntimeError)
    e.raising.add(msg("far", 3))
    no(e.raising.add, msg("far", 3), raises=RuntimeError)
    e.raising.clear()


def filter_lifetimes(e):
    MessageFilter(e.buffer, "world", 4, print).add(e.waiting)  # dropped with it queued
    no(MessageFilter, e.buffer, "a/b", 4, print)
    # Its own method as a callback (never called): only the collector, through the filter's
    # clear slot, frees the pair.
    f = MessageFilter(e.buffer, "world", 4)
    f.register_failure_callback(f.dispatch)
    f.add(e.waiting)
    if next(e.rounds) % 100 == 0:
        gc.collect()
    e.buffer.insert_transform(e.world, e.base, e.matrix, 7)  # wakes, prunes the dead


def package_functions(e):
    quilm_tf.lookup_many(e.buffer, "arm", e.world, e.stamps)
    quilm_tf.can_transform_many(e.buffer, "arm", e.world, e.stamps)
    quilm_tf.transform_points(e.buffer, "arm", e.world, e.stamps, e.points)
    no(quilm_tf.lookup_many, e.buffer, "arm", e.world, [5, 2**80])
    quilm_tf.lookup_latest(e.buffer, "arm", e.world)
    quilm_tf.frames(e.buffer)
    no(quilm_tf.latest_common_time, e.buffer, "arm", "mars")


def functions_and_reasons(e):
    require_frame(e.world, e.world, e.base)
    no(require_frame, e.world, e.base, e.base)
    assert e.reason == Reason.QUEUE_FULL and e.reason != e.world
    str(e.reason), repr(e.reason)


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks".split()
    ]


LIBC = ctypes.CDLL(None)
LIBC.mallinfo2.restype = MallInfo2


def malloc_bytes():
    # Bytes in use in malloc's heaps and in its own mappings: unlike resident memory, this
    # does not depend on when the allocator returns pages to the system.
    info = LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.parametrize(
    "workload",
    [inserts, filter_calls, raising_callbacks, filter_lifetimes, package_functions,
     functions_and_reasons],
)  # fmt: skip
def test_repeated_calls_leave_nothing_behind(workload):
    e = environment()
    for _ in range(WARMUP):
        workload(e)
    gc.collect()
    tracked = [*vars(e).values(), *e.matrix, *e.batch.transforms, e.good.header, *e.targets]
    tracked.append(e.good.header.frame_id)
    counts, blocks = [sys.getrefcount(o) for o in tracked], sys.getallocatedblocks()
    used = malloc_bytes()
    for _ in range(ROUNDS):
        workload(e)
    gc.collect()
    grown_blocks, grown_bytes = sys.getallocatedblocks() - blocks, malloc_bytes() - used
    print(f"\n{workload.__name__}: {grown_blocks:+d} blocks, {grown_bytes:+d} malloc bytes")
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert grown_blocks <= BLOCK_SLACK, f"{grown_blocks} Python blocks more"
    assert grown_bytes <= MALLOC_SLACK, f"{grown_bytes} malloc bytes more"
