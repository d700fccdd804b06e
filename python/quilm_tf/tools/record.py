"""quilm-tf demo --record DIR: the simulated robot written as a rosbag2 folder (sqlite3), so that
the bag commands can be tried without a robot."""

from __future__ import annotations

import argparse
import dataclasses
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

from quilm_tf.tools.bags import INSTALL_HINT, BagError, Out, Stream, one_line

if TYPE_CHECKING:
    from rosbags.interfaces import Connection
from quilm_tf.tools.robot import simulated_robot

# The ROS 2 packages of the demo's message classes, by class name.
MSGTYPES = {
    "Time": "builtin_interfaces/msg/Time",
    "Header": "std_msgs/msg/Header",
    "Vector3": "geometry_msgs/msg/Vector3",
    "Quaternion": "geometry_msgs/msg/Quaternion",
    "Transform": "geometry_msgs/msg/Transform",
    "TransformStamped": "geometry_msgs/msg/TransformStamped",
    "TFMessage": "tf2_msgs/msg/TFMessage",
    "LaserScan": "sensor_msgs/msg/LaserScan",
}
FLOAT_ARRAYS = {"ranges", "intensities"}


# The type store's generated classes are built from keywords and checked by no static type.
def as_store_message(value: Any, types: dict[str, Any], np: ModuleType) -> Any:
    """One of the demo's plain message objects as the type store's generated class."""
    if isinstance(value, list):
        return [as_store_message(item, types, np) for item in value]
    if not dataclasses.is_dataclass(value):
        return value
    fields: dict[str, Any] = {}
    for field in dataclasses.fields(value):
        item = getattr(value, field.name)
        if field.name in FLOAT_ARRAYS:
            fields[field.name] = np.asarray(item, dtype=np.float32)
        else:
            fields[field.name] = as_store_message(item, types, np)
    return types[MSGTYPES[type(value).__name__]](**fields)


def record(path: Path) -> int:
    """Writes the simulated robot into the rosbag2 folder path; returns the message count."""
    try:
        import numpy as np
        from rosbags.rosbag2 import StoragePlugin, Writer
        from rosbags.typesys import Stores, get_typestore
    except ImportError:
        raise BagError(f"--record needs the rosbags package: {INSTALL_HINT}") from None
    store = get_typestore(Stores.ROS2_HUMBLE)
    events, _ = simulated_robot()
    try:
        with Writer(path, version=9, storage_plugin=StoragePlugin.SQLITE3) as writer:
            connections: dict[str, Connection] = {}
            for arrival_ns, topic, message in events:
                msgtype = MSGTYPES[type(message).__name__]
                if topic not in connections:
                    connections[topic] = writer.add_connection(topic, msgtype, typestore=store)
                raw = store.serialize_cdr(as_store_message(message, store.types, np), msgtype)
                writer.write(connections[topic], arrival_ns, raw)
    except Exception as error:
        raise BagError(f"cannot record {path}: {one_line(error)}") from None
    return len(events)


def run(args: argparse.Namespace, out: Out, err: Stream) -> int:
    path = Path(args.record)
    if path.exists():
        raise BagError(f"--record {path}: it exists already; name a new folder", 2)
    if not path.parent.is_dir():
        raise BagError(f"--record {path}: there is no folder {path.parent}", 2)
    count = record(path)
    out.write(f"quilm-tf demo: recorded the simulated robot into {path} ({count:,} messages)\n")
    return 0
