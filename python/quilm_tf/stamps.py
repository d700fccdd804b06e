"""Time stamps as the library takes them: integer nanoseconds since the epoch."""

from fractions import Fraction
from numbers import Integral, Real
from typing import Any

NS_PER_SECOND = 1_000_000_000
# Every stamp and tolerance the library accepts lies below 2^31 seconds (exclusive).
ROS_TIME_LIMIT_NS = 2**31 * NS_PER_SECOND


def _whole(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, Integral):
        raise TypeError(f"timestamp {name} must be an integer, not {type(value).__name__!r}")
    return int(value)


def _from_parts(sec: Any, nanosec: Any) -> int:
    seconds = _whole(sec, "seconds")
    nanoseconds = _whole(nanosec, "nanoseconds")
    if seconds < 0:
        raise ValueError("timestamp seconds must be non-negative")
    if not 0 <= nanoseconds < NS_PER_SECOND:
        raise ValueError("timestamp nanoseconds must be less than one second")
    return seconds * NS_PER_SECOND + nanoseconds


def stamp_ns(value: Any) -> int:
    """Integer nanoseconds from a time stamp in any of the forms ROS users hold.

    Accepted, in this order of checking:

    - an object with a ``header`` (a stamped message): its ``header.stamp``;
    - an object with a ``stamp`` (a ``Header``): that stamp;
    - a ROS 2 time (``sec``, ``nanosec``) or a ROS 1 time (``secs``, ``nsecs``);
    - a time with a ``nanoseconds`` integer (``rclpy.time.Time``);
    - float seconds, rounded to the nearest nanosecond (ties to even), e.g. ``1.5`` gives
      ``1_500_000_000``; NumPy floats too;
    - an integer count of nanoseconds (NumPy integers too), returned as is.

    Raises TypeError for bools, strings and any other object (``True`` is not a time), and
    ValueError for negative times, NaN, infinities and nanosecond fields of a second or more.
    """
    if hasattr(value, "header"):
        value = value.header
    if hasattr(value, "stamp"):
        value = value.stamp
    if hasattr(value, "sec") and hasattr(value, "nanosec"):
        return _from_parts(value.sec, value.nanosec)
    if hasattr(value, "secs") and hasattr(value, "nsecs"):
        return _from_parts(value.secs, value.nsecs)
    if hasattr(value, "nanoseconds"):
        value = _whole(value.nanoseconds, "nanoseconds")
    if isinstance(value, bool) or isinstance(value, (str, bytes)):
        raise TypeError(f"stamp_ns() cannot read a time stamp from {type(value).__name__!r}")
    if isinstance(value, Integral):
        if value < 0:
            raise ValueError(f"timestamp must be non-negative, got {int(value)} ns")
        return int(value)
    if isinstance(value, Real):
        seconds = float(value)
        if seconds != seconds or seconds in (float("inf"), float("-inf")):
            raise ValueError(f"timestamp must be finite, got {seconds} s")
        if seconds < 0:
            raise ValueError(f"timestamp must be non-negative, got {seconds} s")
        # Exact: the double's own value times 1e9, rounded once.
        return round(Fraction(seconds) * NS_PER_SECOND)
    raise TypeError(
        "stamp_ns() expects a ROS time, a Header or stamped message, float seconds or integer "
        f"nanoseconds, not {type(value).__name__!r}"
    )
