# Shared helpers. Messages are read by attribute only, so SimpleNamespace trees stand in for
# generated message classes; helpers come through the `ros` fixture because test modules are
# imported in importlib mode and cannot import each other.

import faulthandler
import functools
import gc
import subprocess
import sys
import textwrap
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
def child():
    # Runs prelude + script (dedented) in a child process, which a timeout can end when a
    # regression deadlocks it; it must exit 0. Returns what it printed.
    def run(prelude, script):
        result = subprocess.run(
            [sys.executable, "-c", prelude + textwrap.dedent(script)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run


@pytest.fixture
def live_filters():
    # How many message filters are alive once the collector has run.
    def count():
        gc.collect()
        return sum(isinstance(o, MessageFilter) for o in gc.get_objects())

    return count


@pytest.fixture
def ros():
    return SimpleNamespace(
        message=message, transform_stamped=transform_stamped, changed=changed, recording=recording
    )


# Bags written with rosbags, in each format the bag commands read, for the command-line and
# dataset tests: `rosbag(kind)` gives a writer of messages of that kind's type store.

NS = 1_000_000_000
TF = "tf2_msgs/msg/TFMessage"


class BagWriter:
    """Builds messages with the generated classes of a ROS 2 or a ROS 1 type store and writes
    them into a bag of one kind: "sqlite3", "mcap" or "ros1"."""

    def __init__(self, kind):
        from rosbags.typesys import Stores, get_types_from_msg, get_typestore

        self.kind = kind
        self.ros1 = kind == "ros1"
        self.store = get_typestore(Stores.ROS1_NOETIC if self.ros1 else Stores.ROS2_HUMBLE)
        if TF not in self.store.types:
            # The ROS 1 store ships without tf2_msgs; its one-line definition is enough.
            self.store.register(
                get_types_from_msg("geometry_msgs/TransformStamped[] transforms", TF)
            )
        self.types = self.store.types

    def header(self, frame_id, stamp_ns):
        stamp = self.types["builtin_interfaces/msg/Time"](*divmod(stamp_ns, NS))
        extra = {"seq": 3} if self.ros1 else {}
        return self.types["std_msgs/msg/Header"](stamp=stamp, frame_id=frame_id, **extra)

    def link(self, parent, child, stamp_ns, xyz=(0.0, 0.0, 0.0), q=(0.0, 0.0, 0.0, 1.0)):
        """A TransformStamped; q is (x, y, z, w)."""
        t = self.types
        return t["geometry_msgs/msg/TransformStamped"](
            header=self.header(parent, stamp_ns),
            child_frame_id=child,
            transform=t["geometry_msgs/msg/Transform"](
                translation=t["geometry_msgs/msg/Vector3"](*xyz),
                rotation=t["geometry_msgs/msg/Quaternion"](*q),
            ),
        )

    def tf(self, *links):
        return self.types[TF](transforms=list(links))

    def write(self, path, events):
        """(record time, topic, type, message) into a bag at path, in record order."""
        from rosbags.rosbag1 import Writer as Writer1
        from rosbags.rosbag2 import StoragePlugin, Writer

        if self.ros1:
            writer, serialize = Writer1(path), self.store.serialize_ros1
        else:
            plugin = StoragePlugin.MCAP if self.kind == "mcap" else StoragePlugin.SQLITE3
            writer = Writer(path, version=9, storage_plugin=plugin)
            serialize = self.store.serialize_cdr
        with writer:
            connections = {}
            for timestamp, topic, msgtype, message in sorted(events, key=lambda event: event[0]):
                if topic not in connections:
                    connections[topic] = writer.add_connection(topic, msgtype, typestore=self.store)
                writer.write(connections[topic], timestamp, serialize(message, msgtype))
        return path


@pytest.fixture(scope="session")
def rosbag():
    return BagWriter
