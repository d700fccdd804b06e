"""Shared helpers: objects shaped like ROS 2 messages, built from plain Python objects.

The module reads messages by attribute only, so SimpleNamespace trees stand in for the
generated message classes. Helpers are handed out as fixtures because test modules are
imported in importlib mode and cannot import each other.
"""

from types import SimpleNamespace

import pytest

IDENTITY = [
    [1.0, 0.0, 0.0, 0.0],
    [0.0, 1.0, 0.0, 0.0],
    [0.0, 0.0, 1.0, 0.0],
    [0.0, 0.0, 0.0, 1.0],
]


def translation_matrix(x, y, z):
    return [
        [1.0, 0.0, 0.0, x],
        [0.0, 1.0, 0.0, y],
        [0.0, 0.0, 1.0, z],
        [0.0, 0.0, 0.0, 1.0],
    ]


def ros_time(sec, nanosec=0):
    return SimpleNamespace(sec=sec, nanosec=nanosec)


def transform_stamped(
    parent="world",
    child="base",
    sec=1,
    nanosec=0,
    translation=(0.0, 0.0, 0.0),
    rotation=(0.0, 0.0, 0.0, 1.0),
):
    """A TransformStamped-shaped object; rotation is (x, y, z, w) as ROS carries it."""
    tx, ty, tz = translation
    qx, qy, qz, qw = rotation
    return SimpleNamespace(
        header=SimpleNamespace(stamp=ros_time(sec, nanosec), frame_id=parent),
        child_frame_id=child,
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=tx, y=ty, z=tz),
            rotation=SimpleNamespace(x=qx, y=qy, z=qz, w=qw),
        ),
    )


def stamped_message(frame_id, sec=1, nanosec=0, **payload):
    """Any message with a header, as the message filter reads it."""
    return SimpleNamespace(
        header=SimpleNamespace(stamp=ros_time(sec, nanosec), frame_id=frame_id), **payload
    )


def tf_message(*transforms):
    return SimpleNamespace(transforms=list(transforms))


class Recorder:
    """Attribute tree that logs every read as a dotted path, in order."""

    def __init__(self, log, path, fields):
        self._log = log
        self._path = path
        self._fields = fields

    def __getattr__(self, name):
        path = f"{self._path}.{name}" if self._path else name
        self._log.append(path)
        try:
            value = self._fields[name]
        except KeyError:
            raise AttributeError(name) from None
        if isinstance(value, dict):
            return Recorder(self._log, path, value)
        return value


def recorded(message, log):
    """Recorder view of a SimpleNamespace tree."""

    def fields(node):
        return {
            key: fields(value) if isinstance(value, SimpleNamespace) else value
            for key, value in vars(node).items()
        }

    return Recorder(log, "", fields(message))


@pytest.fixture
def ros():
    return SimpleNamespace(
        time=ros_time,
        transform_stamped=transform_stamped,
        stamped_message=stamped_message,
        tf_message=tf_message,
        recorded=recorded,
        identity=IDENTITY,
        translation_matrix=translation_matrix,
    )
