# Shared helpers. Messages are read by attribute only, so SimpleNamespace trees stand in for
# generated message classes; helpers come through the `ros` fixture because test modules are
# imported in importlib mode and cannot import each other.

import faulthandler
import functools
from types import SimpleNamespace

import pytest
from quilm_tf._native import MessageFilter, TransformBuffer


class Message(SimpleNamespace):
    """A stamped message that can be weakly referenced."""


def message(frame_id="base", sec=1, nanosec=0, **payload):
    return Message(
        header=SimpleNamespace(stamp=SimpleNamespace(sec=sec, nanosec=nanosec), frame_id=frame_id),
        **payload,
    )


def transform_stamped(
    parent="world",
    child="base",
    sec=1,
    nanosec=0,
    translation=(0.0,) * 3,
    rotation=(0.0, 0.0, 0.0, 1.0),
):
    # A TransformStamped-shaped object; rotation is (x, y, z, w) as ROS carries it.
    pose = SimpleNamespace(
        translation=SimpleNamespace(**dict(zip("xyz", translation))),
        rotation=SimpleNamespace(**dict(zip("xyzw", rotation))),
    )
    return message(parent, sec, nanosec, child_frame_id=child, transform=pose)


def changed(msg, **changes):
    # Sets, or deletes (value ...), the attributes named by paths ("a__b" is a.b).
    for path, value in changes.items():
        *parents, name = path.split("__")
        node = functools.reduce(getattr, parents, msg)
        setattr(node, name, value) if value is not ... else delattr(node, name)
    return msg


def recording(buffer, log, target="map", queue_size=0):
    # A filter whose callbacks log ("ready", msg) and ("failed", msg, reason).
    f = MessageFilter(buffer, target, queue_size, lambda m: log.append(("ready", m)))
    f.register_failure_callback(lambda m, r: log.append(("failed", m, r)))
    return f


@pytest.fixture(autouse=True)
def hang_watchdog():
    # A deadlock in the extension holds the GIL, so no timeout written in Python can fire:
    # faulthandler's own thread dumps every stack and ends the run instead of letting it hang.
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def buffer():
    return TransformBuffer(10.0)


@pytest.fixture
def log():
    return []


@pytest.fixture
def refused():
    def check(call, error, text=None, note=None):
        # call raises error, with this text if one is given and exactly this note.
        with pytest.raises(error) as info:
            call()
        if text is not None:
            assert info.value.args == (text,)
        assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])

    return check


@pytest.fixture
def ros():
    return SimpleNamespace(
        message=message, transform_stamped=transform_stamped, changed=changed, recording=recording
    )
