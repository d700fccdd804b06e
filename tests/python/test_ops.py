"""Lookups at the newest and across times, the frame list, waiting, and stamps."""

import asyncio
import importlib.metadata
import math
import threading
import time
from types import SimpleNamespace as NS

import numpy as np
import pytest

import quilm_tf
from quilm_tf import FrameInfo, TransformBuffer, TransformError

S = 1_000_000_000


def pose(x, yaw):
    c, s = math.cos(yaw), math.sin(yaw)
    return [[c, -s, 0.0, x], [s, c, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def robot():
    """map -> odom at 101 s and 103 s, odom -> base at 101 s and 104 s, base -> laser static."""
    buffer = TransformBuffer(10.0)
    for parent, child, x, yaw, stamp in [
        ("map", "odom", 1.0, 0.3, 101),
        ("map", "odom", 2.0, 0.9, 103),
        ("odom", "base", 1.0, 0.1, 101),
        ("odom", "base", 4.0, 0.4, 104),
    ]:
        buffer.insert_transform(parent, child, pose(x, yaw), stamp * S)
    buffer.insert_transform("/base", "laser", pose(0.5, 0.2), 7, True)
    return buffer


def test_the_newest_and_across_time_lookups_compose_lookups_and_the_frame_list_sorts_children(
    refused,
):
    buffer = robot()
    assert quilm_tf.lookup_latest(buffer, "laser", "/map") == (
        buffer.lookup("laser", "map", 103 * S),
        103 * S,
    )
    map_T_laser = {t: np.array(buffer.lookup("laser", "map", t * S)) for t in (101, 103)}
    moved = quilm_tf.lookup_across_time(buffer, "laser", 101 * S, "laser", 103 * S, "map")
    np.testing.assert_allclose(
        moved, np.linalg.inv(map_T_laser[103]) @ map_T_laser[101], atol=1e-12
    )
    refused(
        lambda: quilm_tf.lookup_latest(buffer, "laser", "mars"),
        TransformError,
        'failed to look up transform from "laser" to "mars": '
        "frame mars does not exist in the transform tree",
    )
    assert quilm_tf.frames(buffer) == [
        FrameInfo("base", "odom", False, 2, 101 * S, 104 * S),
        FrameInfo("laser", "base", True, 1, 0, 0),
        FrameInfo("odom", "map", False, 2, 101 * S, 103 * S),
    ]


def test_a_waiting_thread_wakes_on_an_insert_from_another_thread_and_leaves_nothing_behind(
    monkeypatch, live_filters
):
    buffer, before, sleeping = robot(), live_filters(), threading.Event()

    class Event(threading.Event):  # tells the test when the waiter goes to sleep on it
        def wait(self, timeout=None):
            sleeping.set()
            return super().wait(timeout)

    monkeypatch.setattr(
        quilm_tf.waiting, "threading", NS(Event=Event, TIMEOUT_MAX=threading.TIMEOUT_MAX)
    )
    assert quilm_tf.wait_for_transform(buffer, "laser", "map", 102 * S, 0.0)  # at once
    woken = []
    # A finite timeout beyond what Event.wait takes (about 292 years) waits all the same.
    waiter = threading.Thread(
        target=lambda: woken.append(
            quilm_tf.wait_for_transform(buffer, "/base", "odom", 105 * S, 1e10)
        ),
        daemon=True,
    )
    waiter.start()
    assert sleeping.wait(30), "the waiter never went to sleep"
    buffer.insert_transform("odom", "base", pose(4.5, 0.0), 105 * S)
    waiter.join(60)
    assert woken == [True]
    assert not quilm_tf.wait_for_transform(buffer, "laser", "odom", 200 * S, 0.01)
    assert live_filters() == before


def test_async_waiters_wake_on_inserts_in_the_loop_and_from_threads(live_filters):
    buffer, before = robot(), live_filters()

    async def main():
        waits = [
            asyncio.ensure_future(quilm_tf.wait_for_transform_async(buffer, f, "map", t, 30.0))
            for f, t in [("base", 104 * S), ("odom", 106 * S)]
        ]
        await asyncio.sleep(0)  # every waiter attaches
        buffer.insert_transform("map", "odom", pose(3.0, 0.0), 105 * S)

        def insert_later():  # while the loop sleeps in its selector: only a thread-safe wake-up
            time.sleep(0.1)
            buffer.insert_transform("map", "odom", pose(4.5, 0.0), 107 * S)

        threading.Thread(target=insert_later).start()
        async with asyncio.timeout(10):  # well before the waiters' own timeout
            woken = await asyncio.gather(*waits)
        return woken + [
            await quilm_tf.wait_for_transform_async(buffer, "odom", "map", 200 * S, 0.01)
        ]

    assert asyncio.run(main()) == [True, True, False]
    assert live_filters() == before


@pytest.mark.parametrize(("from_frame", "to_frame", "stamp", "timeout", "error", "message"), [
    ("base", "map", 2**31 * S, 1.0, ValueError, "stamp_ns exceeds the ROS Time range"),
    ("base", "map", S, -1.0, ValueError,
     "timeout_s must be a non-negative number of seconds, got -1.0"),
])  # fmt: skip
def test_waiting_for_what_can_never_arrive_raises_at_once(
    refused, from_frame, to_frame, stamp, timeout, error, message
):
    def wait():
        return quilm_tf.wait_for_transform(robot(), from_frame, to_frame, stamp, timeout)

    refused(wait, error, message)


@pytest.mark.parametrize(("value", "expected"), [
        (NS(sec=3, nanosec=5), 3 * S + 5),
        (NS(header=NS(stamp=NS(secs=3, nsecs=5))), 3 * S + 5),
        (NS(nanoseconds=3 * S + 5), 3 * S + 5),
        (1700000000.123456789, 1700000000123456717),  # the double's exact value, rounded once
        (-1, ValueError("timestamp must be non-negative, got -1 ns")),
        (math.nan, ValueError("timestamp must be finite, got nan s")),
        (NS(sec=-1, nanosec=0), ValueError("timestamp seconds must be non-negative")),
        (NS(sec=1, nanosec=S), ValueError("timestamp nanoseconds must be less than one second")),
        (NS(sec=1.0, nanosec=0), TypeError("timestamp seconds must be an integer, not 'float'")),
        (True, TypeError("stamp_ns() cannot read a time stamp from 'bool'")),
])  # fmt: skip
def test_stamp_ns_reads_what_users_hold(refused, value, expected):
    if isinstance(expected, Exception):
        refused(lambda: quilm_tf.stamp_ns(value), type(expected), str(expected))
    else:
        assert type(quilm_tf.stamp_ns(value)) is int and quilm_tf.stamp_ns(value) == expected


def test_the_installed_distribution_takes_its_version_from_the_package():
    assert quilm_tf.__version__ == importlib.metadata.version("quilm-tf")
