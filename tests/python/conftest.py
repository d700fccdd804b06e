"""Shared fixtures. Messages are read by attribute only, so SimpleNamespace trees stand in
for generated message classes; helpers come through the `ros` fixture because test modules
are imported in importlib mode and cannot import each other."""

from types import SimpleNamespace

import pytest

from quilm_tf._native import TransformBuffer


class Message(SimpleNamespace):
    """A stamped message that can be weakly referenced."""


def stamped_message(frame_id="base", sec=1, nanosec=0, **payload):
    stamp = SimpleNamespace(sec=sec, nanosec=nanosec)
    return Message(header=SimpleNamespace(stamp=stamp, frame_id=frame_id), **payload)


def transform_stamped(parent="world", child="base", sec=1, nanosec=0, translation=(0.0,) * 3, rotation=(0.0, 0.0, 0.0, 1.0)):
    """A TransformStamped-shaped object; rotation is (x, y, z, w) as ROS carries it."""
    message = stamped_message(parent, sec, nanosec, child_frame_id=child)
    message.transform = SimpleNamespace(
        translation=SimpleNamespace(**dict(zip("xyz", translation))),
        rotation=SimpleNamespace(**dict(zip("xyzw", rotation))),
    )
    return message


def tf_message(*transforms):
    return SimpleNamespace(transforms=list(transforms))


def changed(message, **changes):
    """Sets, or deletes (value ...), the attributes named by paths ("a__b" is a.b)."""
    for path, value in changes.items():
        *parents, name = path.split("__")
        node = message
        for part in parents:
            node = getattr(node, part)
        if value is ...:
            delattr(node, name)
        else:
            setattr(node, name, value)
    return message


class Recorder:
    """Read-only view of a SimpleNamespace tree that logs every read as a dotted path."""

    def __init__(self, node, log, path=""):
        self._node, self._log, self._path = node, log, path

    def __getattr__(self, name):
        path = f"{self._path}.{name}" if self._path else name
        self._log.append(path)
        value = getattr(self._node, name)
        return Recorder(value, self._log, path) if isinstance(value, SimpleNamespace) else value


@pytest.fixture
def buffer():
    return TransformBuffer(10.0)


@pytest.fixture
def log():
    return []


@pytest.fixture
def refused():
    def check(call, error, message=None, note=None):
        """call raises error, with this message if one is given and exactly this note."""
        with pytest.raises(error) as info:
            call()
        if message is not None:
            assert info.value.args == (message,)
        assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])

    return check


@pytest.fixture
def ros():
    return SimpleNamespace(
        message=stamped_message,
        transform_stamped=transform_stamped,
        tf_message=tf_message,
        changed=changed,
        recorded=Recorder,
    )
