# Each workload, run many times through its success and failure paths, leaves nothing behind:
# the reference counts of every object it was given come back, the interpreter's block count
# stays put (a Python object leaked per round would add ROUNDS blocks), and resident memory
# stays flat within 1 MiB (a C++ allocation leaked per round, from about 50 bytes up).

import gc
import itertools
import os
import sys
from types import SimpleNamespace as NS

import numpy as np
import pytest
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

WARMUP, ROUNDS, BLOCK_SLACK, RSS_SLACK = 1_000, 20_000, 200, 1 << 20
EXPECTED = (
    TypeError,
    ValueError,
    OverflowError,
    AttributeError,
    TransformError,
    FrameError,
    RuntimeError,
)


def shifted(x):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def fresh(text):
    # An equal but distinct str: the counts of shared literals would reveal nothing.
    return "".join(list(text))


def msg(frame_id, nanosec, sec=0, child=None, w=1.0):
    # A stamped message; with a child, a TransformStamped.
    pose = NS(translation=NS(x=1.0, y=0.0, z=0.0), rotation=NS(x=0.0, y=0.0, z=0.0, w=w))
    return NS(
        header=NS(stamp=NS(sec=sec, nanosec=nanosec), frame_id=fresh(frame_id)),
        child_frame_id=child and fresh(child),
        transform=pose,
    )


def raising(*args):
    raise RuntimeError


def environment():
    e = NS(
        buffer=TransformBuffer(1.0),
        world=fresh("world"),
        base=fresh("base"),
        matrix=shifted(1.0),
        rounds=itertools.count(),
        log=[],
    )
    e.bad, e.scaled = [[1.0, 0.0, 0.0, "x"], *shifted(0.0)[1:]], [[2.0, 0, 0, 0], *shifted(0.0)[1:]]
    e.good, e.not_unit, e.negative = (
        msg("world", 5, child="base"),
        msg("world", 5, child="base", w=2.0),
        msg("world", 5, sec=-1, child="b"),
    )
    e.batch, e.targets, e.reason = (
        NS(transforms=[e.good, msg("odom", 6, child="base")]),
        [fresh("map"), "/odom"],
        Reason.QUEUE_FULL,
    )
    e.ready, e.waiting, e.empty, e.qualified, e.other = (
        msg("base", 3),
        msg("base", 7),
        msg("", 7),
        msg("a/b", 7),
        TransformBuffer(1.0),
    )
    e.stamps, e.points = np.array([5, 5]), np.zeros((2, 3))
    e.filter, e.raising = (
        MessageFilter(e.buffer, "world", 2, e.log.append),
        MessageFilter(e.other, "world", 1, raising),
    )
    e.filter.register_failure_callback(lambda m, r: e.log.append(r))
    e.raising.register_failure_callback(raising)
    e.buffer.insert_transform("base", "arm", shifted(2.0), 0, True)
    e.buffer.insert_transform(e.world, e.base, e.matrix, 5)
    e.other.insert_transform(e.world, e.base, e.matrix, 0, True)
    return e


def no(call, *args):
    # call(*args) must be refused.
    try:
        call(*args)
    except EXPECTED:
        return
    raise AssertionError(f"{call} accepted {args}")


WORKLOADS = {  # each step runs in order, once per round
    "inserts": [
        lambda e: e.buffer.insert_transform(e.world, e.base, e.matrix, 2**40 + next(e.rounds) % 4),
        lambda e: e.buffer.insert_transform_stamped(e.good, is_static=False),
        lambda e: [
            no(e.buffer.insert_transform, e.world, e.base, m, s)
            for m, s in ((e.bad, 1), (e.scaled, 1), (e.matrix[:3], 1), (e.matrix, 2**63))
        ],
        lambda e: no(e.buffer.insert_transform, e.base, e.world, e.matrix, 1),  # a cycle
        lambda e: [no(e.buffer.insert_transform_stamped, m) for m in (e.not_unit, e.negative)],
        lambda e: [
            no(e.buffer.insert_transform_message, m) for m in (e.batch, e.good)
        ],  # re-parenting, not a list
        lambda e: (
            e.buffer.lookup("arm", e.world, 2**40),
            e.buffer.lookup(e.world, "arm", 2**40),
            e.buffer.can_transform(e.base, e.world, 5),
        ),
        lambda e: [
            no(e.buffer.lookup, e.base, to, s) for to, s in (("", 5), (e.world, 2**100), (5, 10))
        ],
        lambda e: e.buffer.can_transform(e.base, e.world, 2**80),
    ],
    "filter": [
        lambda e: (e.filter.set_queue_size(2), e.filter.add(e.waiting)),
        lambda e: e.buffer.insert_transform(e.world, e.base, e.matrix, 7),  # delivers it
        lambda e: [
            e.filter.add(m)
            for m in (e.empty, e.qualified, msg("far", 7), msg("far", 7), msg("far", 7))
        ],  # the last evicts
        lambda e: (
            e.filter.set_queue_size(1),
            e.filter.set_target_frames(e.targets),
            e.filter.set_target_frame(e.targets[0]),
        ),
        lambda e: (
            e.filter.pending_count,
            e.filter.tolerance_ns,
            e.filter.target_frames,
            e.filter.dispatch(),
        ),
        lambda e: [
            no(call, value)
            for call, value in (
                (e.filter.set_target_frames, []),
                (e.filter.set_tolerance_ns, 2**70),
                (e.filter.register_callback, None),
                (e.filter.set_queue_size, -1),
            )
        ],  # fmt: skip
        lambda e: (e.filter.clear(), e.filter.set_target_frame("world"), e.log.clear()),
    ],
    "raising callbacks": [  # ready at once, refused, queued, then evicted: each raises but the third
        lambda e: (
            no(e.raising.add, e.ready),
            no(e.raising.add, e.empty),
            e.raising.add(msg("far", 3)),
            no(e.raising.add, msg("far", 3)),
            e.raising.clear(),
        ),
    ],
    "filter lifetimes": [
        lambda e: MessageFilter(e.buffer, "world", 4, print).add(
            e.waiting
        ),  # dropped with it queued
        lambda e: (
            no(MessageFilter, e.buffer, "a/b", 4, print),
            no(MessageFilter, e.buffer, "world", 4, 5),
        ),
        # Its own method as a callback (never called): only the collector, through the filter's clear slot, frees the pair.
        lambda e: (
            f := MessageFilter(e.buffer, "world", 4),
            f.register_failure_callback(f.dispatch),
            f.add(e.waiting),
        ),
        lambda e: next(e.rounds) % 100 or gc.collect(),
        lambda e: e.buffer.insert_transform(e.world, e.base, e.matrix, 7),  # wakes, prunes the dead
    ],
    "package functions": [  # the array and query helpers of the package, succeeding and failing
        lambda e: (
            quilm_tf.lookup_many(e.buffer, "arm", e.world, e.stamps),
            quilm_tf.can_transform_many(e.buffer, "arm", e.world, e.stamps),
            quilm_tf.transform_points(e.buffer, "arm", e.world, e.stamps, e.points),
            no(quilm_tf.lookup_many, e.buffer, "arm", e.world, [5, 2**80]),
        ),
        lambda e: (
            quilm_tf.lookup_latest(e.buffer, "arm", e.world),
            quilm_tf.frames(e.buffer),
            no(quilm_tf.latest_common_time, e.buffer, "arm", "mars"),
        ),
    ],
    "functions and reasons": [
        lambda e: (
            require_frame(e.world, e.world, e.base),
            no(require_frame, e.world, e.base, e.base),
            no(require_frame, e.world, 5, e.base),
        ),
        lambda e: (
            e.reason == Reason.QUEUE_FULL,
            e.reason != e.world,
            str(e.reason),
            repr(e.reason),
            no(lambda: e.reason < e.reason),
        ),
    ],
}


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", WORKLOADS)
def test_repeated_calls_leave_nothing_behind(name):
    e = environment()

    def run(rounds):
        for _ in range(rounds):
            for step in WORKLOADS[name]:
                step(e)

    run(WARMUP)
    gc.collect()
    tracked = [
        *vars(e).values(),
        *e.matrix,
        *e.batch.transforms,
        e.good.header,
        e.good.header.frame_id,
        *e.targets,
    ]
    counts, blocks, rss = (
        [sys.getrefcount(o) for o in tracked],
        sys.getallocatedblocks(),
        rss_bytes(),
    )
    run(ROUNDS)
    gc.collect()
    grown_blocks, grown_rss = sys.getallocatedblocks() - blocks, rss_bytes() - rss
    print(
        f"\n{name}: {ROUNDS} rounds, {grown_blocks:+d} blocks, {grown_rss / 1024:+.0f} KiB resident"
    )
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert grown_blocks <= BLOCK_SLACK and grown_rss <= RSS_SLACK
