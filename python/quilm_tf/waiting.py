"""Waiting for a transform that is about to arrive, in a thread or in an asyncio loop.

Each waiter is a message filter on the buffer holding one stand-in message stamped at the
wanted time in the wanted source frame: the buffer wakes it on every insert, from any
thread, so nothing polls. The filter's callback refers only to what it must signal, never
to the filter, so a waiter that gives up is released with its last reference and the
buffer's weak entry for it is pruned by the next insert.
"""

import asyncio
import math
import operator
import threading
import time
from collections.abc import Callable
from numbers import Real
from types import SimpleNamespace

from quilm_tf._native import MessageFilter, TransformBuffer

_NS_PER_SECOND = 1_000_000_000
_ROS_TIME_LIMIT_NS = 2**31 * _NS_PER_SECOND


def _timeout(timeout_s: float) -> float | None:
    """The timeout for Event.wait and asyncio.timeout: None for an infinite one."""
    if isinstance(timeout_s, bool) or not isinstance(timeout_s, Real):
        raise TypeError(f"timeout_s must be a number of seconds, not {type(timeout_s).__name__!r}")
    seconds = float(timeout_s)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"timeout_s must be a non-negative number of seconds, got {timeout_s!r}")
    return None if math.isinf(seconds) else seconds


def _watch(
    buffer: TransformBuffer, from_frame: str, to_frame: str, stamp_ns: int, wake: Callable[[], None]
) -> MessageFilter | None:
    """None when the transform is available now; else a filter that calls wake() once it is.

    Refuses, as ``lookup`` does, what could never become available: an invalid frame name
    (TransformError) or a stamp beyond the ROS time range (ValueError).
    """
    if buffer.can_transform(from_frame, to_frame, stamp_ns):  # also checks the argument types
        return None
    stamp = operator.index(stamp_ns)
    if stamp >= _ROS_TIME_LIMIT_NS:
        raise ValueError("stamp_ns exceeds the ROS Time range")
    refused = []
    waiter = MessageFilter(buffer, to_frame, 1, lambda _message: wake())
    waiter.register_failure_callback(lambda _message, reason: refused.append(reason))
    sec, nanosec = divmod(stamp, _NS_PER_SECOND)
    header = SimpleNamespace(frame_id=from_frame, stamp=SimpleNamespace(sec=sec, nanosec=nanosec))
    # Checks once more: an insert since can_transform above wakes the waiter right here.
    waiter.add(SimpleNamespace(header=header))
    if refused:
        buffer.lookup(from_frame, to_frame, stamp)  # raises the invalid from_frame's error
    return waiter


def wait_for_transform(
    buffer: TransformBuffer, from_frame: str, to_frame: str, stamp_ns: int, timeout_s: float
) -> bool:
    """Blocks until ``buffer.can_transform(from_frame, to_frame, stamp_ns)`` is true.

    Returns True at once if it already is, else as soon as an insert into the buffer, made
    by any thread, makes it true; returns False when ``timeout_s`` seconds have passed
    (``math.inf``: no limit). The calling thread sleeps meanwhile; other threads run. Frames
    that do not exist yet are waited for. Raises TransformError for an invalid frame name,
    ValueError for a stamp beyond the ROS time range or a negative or NaN timeout, and
    TypeError or OverflowError for arguments of the wrong kind.
    """
    timeout = _timeout(timeout_s)
    ready = threading.Event()
    waiter = _watch(buffer, from_frame, to_frame, stamp_ns, ready.set)
    if waiter is None:
        return True
    try:
        return _wait(ready, timeout)
    finally:
        del waiter  # detaches it from the buffer


def _wait(ready: threading.Event, timeout: float | None) -> bool:
    """ready.wait(timeout) for every timeout: Event.wait refuses one beyond
    threading.TIMEOUT_MAX (about 292 years), so a longer one waits in steps to its deadline."""
    if timeout is None:
        return ready.wait()
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return ready.is_set()
        if ready.wait(min(remaining, threading.TIMEOUT_MAX)):
            return True


def _wake_soon(loop: asyncio.AbstractEventLoop, ready: "asyncio.Future[bool]") -> None:
    try:
        loop.call_soon_threadsafe(_resolve, ready)
    except RuntimeError:  # the loop is closed: nobody waits any more
        pass


def _resolve(ready: "asyncio.Future[bool]") -> None:
    if not ready.done():
        ready.set_result(True)


async def wait_for_transform_async(
    buffer: TransformBuffer, from_frame: str, to_frame: str, stamp_ns: int, timeout_s: float
) -> bool:
    """``wait_for_transform`` for asyncio: awaits the transform without blocking the loop.

    Woken by inserts made by tasks of the running loop or by other threads. Returns True
    when the transform is available, False after ``timeout_s`` seconds; raises as
    ``wait_for_transform`` does. Cancelling the awaiting task detaches the waiter.
    """
    timeout = _timeout(timeout_s)
    loop = asyncio.get_running_loop()
    ready: asyncio.Future[bool] = loop.create_future()
    waiter = _watch(buffer, from_frame, to_frame, stamp_ns, lambda: _wake_soon(loop, ready))
    if waiter is None:
        return True
    try:
        async with asyncio.timeout(timeout):
            return await ready
    except TimeoutError:
        return False
    finally:
        del waiter  # detaches it from the buffer
