"""Every method and the filter paths run many times, on their success and failure paths,
must leave nothing behind:

- the reference counts of the objects passed in (messages, callbacks, names, matrices,
  the buffer) return to what they were;
- the interpreter's allocated block count stays put: a Python object leaked per call would
  add ROUNDS blocks;
- resident memory stays flat after warm-up, within 1 MiB over ROUNDS calls, which catches
  a C++ allocation leaked per call from about 20 bytes up.
"""

import gc
import itertools
import os
import sys
from types import SimpleNamespace

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

WARMUP = 2_000
ROUNDS = 50_000
RSS_SLACK = 1 << 20
BLOCK_SLACK = 200  # caches the interpreter fills lazily (method lookups, small ints)
PAGE = os.sysconf("SC_PAGE_SIZE")


class Boom(Exception):
    pass


def fresh(text):
    """An equal but distinct str: literals are shared and immortal-ish, so their counts
    would hide nothing and reveal nothing."""
    return "".join(list(text))


def shifted(x):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def stamped_transform(parent, child, nanosec, x=1.0, w=1.0):
    return SimpleNamespace(
        header=SimpleNamespace(stamp=SimpleNamespace(sec=0, nanosec=nanosec), frame_id=parent),
        child_frame_id=child,
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=x, y=0.0, z=0.0),
            rotation=SimpleNamespace(x=0.0, y=0.0, z=0.0, w=w),
        ),
    )


def message(frame_id, nanosec):
    return SimpleNamespace(
        header=SimpleNamespace(stamp=SimpleNamespace(sec=0, nanosec=nanosec), frame_id=frame_id)
    )


def swallow(call, *errors):
    try:
        call()
    except errors:
        pass


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


# Each workload returns (step, tracked): one round of calls, and the objects whose counts
# must come back. Every round cycles through a few variants so one workload covers a
# method's success and failure paths.


def insert_matrix():
    buffer = TransformBuffer(1.0)
    parent, child, matrix = fresh("world"), fresh("base"), shifted(1.0)
    stamps = itertools.cycle([2**40 + i for i in range(4)])  # replaced, so the history stays small
    bad_rows = [[1.0, 0.0, 0.0, "x"], *shifted(0.0)[1:]]
    not_rigid = [[2.0, 0.0, 0.0, 0.0], *shifted(0.0)[1:]]

    def step():
        buffer.insert_transform(parent, child, matrix, next(stamps))
        swallow(lambda: buffer.insert_transform(parent, child, bad_rows, 1), TypeError)
        swallow(lambda: buffer.insert_transform(parent, child, not_rigid, 1), TransformError)
        swallow(lambda: buffer.insert_transform(parent, child, matrix[:3], 1), ValueError)
        swallow(lambda: buffer.insert_transform(parent, child, matrix, 2**63), ValueError)
        swallow(lambda: buffer.insert_transform(child, parent, matrix, 1), TransformError)  # cycle
        swallow(lambda: buffer.insert_transform(parent, child, matrix, 0), TransformError)

    return step, [buffer, parent, child, matrix, *matrix, bad_rows, not_rigid]


def insert_messages():
    buffer = TransformBuffer(1.0)
    good = stamped_transform(fresh("world"), fresh("base"), 5)
    not_unit = stamped_transform("world", "base", 5, w=2.0)
    missing = SimpleNamespace(header=good.header, transform=good.transform)  # no child_frame_id
    negative = stamped_transform("world", "base", 5)
    negative.header.stamp.sec = -1
    batch = SimpleNamespace(transforms=[good, stamped_transform("odom", "base", 6), good])

    def step():
        buffer.insert_transform_stamped(good)
        buffer.insert_transform_stamped(good, is_static=False)
        swallow(lambda: buffer.insert_transform_stamped(not_unit), TransformError)
        swallow(lambda: buffer.insert_transform_stamped(missing), AttributeError)
        swallow(lambda: buffer.insert_transform_stamped(negative), ValueError)
        swallow(lambda: buffer.insert_transform_message(batch), TransformError)  # re-parenting
        swallow(lambda: buffer.insert_transform_message(good), AttributeError)

    return step, [buffer, good, not_unit, missing, negative, batch, batch.transforms, good.header]


def lookups():
    buffer = TransformBuffer(1.0)
    buffer.insert_transform("world", "base", shifted(1.0), 10)
    buffer.insert_transform("base", "arm", shifted(2.0), 0, True)
    arm, world, stamp = fresh("arm"), fresh("world"), 2**40 + 1

    def step():
        buffer.lookup(arm, world, 10)
        buffer.lookup(world, arm, 10)
        swallow(lambda: buffer.lookup(arm, world, 11), TransformError)  # out of range
        swallow(lambda: buffer.lookup(arm, "", 10), TransformError)
        swallow(lambda: buffer.lookup(arm, world, stamp << 30), ValueError)
        swallow(lambda: buffer.lookup(arm, 5, 10), TypeError)
        buffer.can_transform(arm, world, 10)
        buffer.can_transform(arm, world, 11)
        buffer.can_transform(arm, world, stamp << 30)

    return step, [buffer, arm, world, stamp]


def filter_deliveries():
    buffer = TransformBuffer(0.0)
    delivered, failed = [], []
    on_ready, on_failure = delivered.append, lambda m, r: failed.append(r)
    f = MessageFilter(buffer, "world", 2, on_ready)
    f.register_failure_callback(on_failure)
    waiting, empty, qualified = message(fresh("base"), 7), message("", 7), message("a/b", 7)

    def step():
        f.set_queue_size(2)
        f.add(waiting)
        buffer.insert_transform("world", "base", shifted(1.0), 7)  # delivers it
        f.add(empty)
        f.add(qualified)
        f.add(message("nowhere", 7))
        f.add(message("nowhere", 7))
        f.add(message("nowhere", 7))  # evicts the oldest
        f.set_queue_size(0)  # evicts nothing
        f.set_queue_size(1)  # evicts one
        f.clear()
        delivered.clear()
        failed.clear()

    return step, [buffer, f, waiting, empty, qualified, on_ready, on_failure]


def filter_raising_callbacks():
    buffer = TransformBuffer(1.0)

    def raising(*args):
        raise Boom

    f = MessageFilter(buffer, "world", 1, raising)
    f.register_failure_callback(raising)
    ready, empty = message(fresh("world"), 3), message("", 3)

    def step():
        swallow(lambda: f.add(ready), Boom)  # identity: ready at once, then raises
        swallow(lambda: f.add(empty), Boom)
        f.add(message("nowhere", 3))
        swallow(lambda: f.add(message("nowhere", 3)), Boom)  # evicts through the raising callback
        swallow(lambda: buffer.insert_transform("world", "base", shifted(1.0), 3), Boom)
        f.clear()

    return step, [buffer, f, raising, ready, empty]


def filter_settings():
    buffer = TransformBuffer(1.0)
    f = MessageFilter(buffer, "world", 0)
    targets = [fresh("map"), fresh("/odom")]

    def step():
        f.set_target_frames(targets)
        f.set_target_frame(targets[0])
        swallow(lambda: f.set_target_frames([]), TransformError)
        swallow(lambda: f.set_target_frames("map"), TypeError)
        f.set_tolerance_ns(5)
        swallow(lambda: f.set_tolerance_ns(2**70), ValueError)
        f.set_queue_size(3)
        swallow(lambda: f.set_queue_size(-1), OverflowError)
        swallow(lambda: f.register_callback(None), ValueError)
        f.pending_count, f.queue_size, f.tolerance_ns, f.target_frames  # noqa: B018
        f.dispatch()

    return step, [buffer, f, targets, *targets]


def filter_lifetimes():
    buffer = TransformBuffer(1.0)
    queued, callback = message(fresh("nowhere"), 1), print
    rounds = itertools.count()

    def step():
        MessageFilter(buffer, "world", 4, callback).add(queued)  # dropped with it queued
        swallow(lambda: MessageFilter(buffer, "a/b", 4, callback), TransformError)
        swallow(lambda: MessageFilter(buffer, "world", 4, 5), ValueError)
        # A callback that refers to its own filter: only the collector frees the pair.
        f = MessageFilter(buffer, "world", 4)
        f.register_callback(lambda m, f=f: f.pending_count)
        f.add(queued)
        if next(rounds) % 500 == 0:
            gc.collect()
        buffer.insert_transform("world", "base", shifted(1.0), 1)  # wakes, and prunes the dead

    return step, [buffer, queued, callback]


def functions_and_reasons():
    actual, expected, interface = fresh("map"), fresh("odom"), fresh("lidar")
    reason = Reason.QUEUE_FULL

    def step():
        require_frame(actual, actual, interface)
        swallow(lambda: require_frame(actual, expected, interface), FrameError)
        swallow(lambda: require_frame(actual, 5, interface), TypeError)
        reason == Reason.QUEUE_FULL  # noqa: B015
        reason != actual  # noqa: B015
        str(reason), repr(reason)
        swallow(lambda: reason < reason, TypeError)

    return step, [actual, expected, interface, reason]


WORKLOADS = [
    insert_matrix, insert_messages, lookups, filter_deliveries, filter_raising_callbacks,
    filter_settings, filter_lifetimes, functions_and_reasons,
]  # fmt: skip


@pytest.mark.parametrize("workload", WORKLOADS, ids=lambda w: w.__name__)
def test_repeated_calls_leave_nothing_behind(workload):
    step, tracked = workload()
    for _ in range(WARMUP):
        step()
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]
    blocks = sys.getallocatedblocks()
    rss = rss_bytes()
    for _ in range(ROUNDS):
        step()
    gc.collect()
    grown_rss = rss_bytes() - rss
    grown_blocks = sys.getallocatedblocks() - blocks
    grown = f"{grown_blocks:+d} blocks, {grown_rss / 1024:+.0f} KiB resident"
    print(f"\n{workload.__name__}: {ROUNDS} rounds, {grown}")
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert grown_blocks <= BLOCK_SLACK
    assert grown_rss <= RSS_SLACK
