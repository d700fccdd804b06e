"""Time-stamped coordinate-frame transforms for robotics.

The classes live in the extension ``quilm_tf._native``; they are re-exported here so that
``from quilm_tf import TransformBuffer`` works. The array functions (numpy in, numpy out)
come from ``quilm_tf.batch``, the point cloud functions from ``quilm_tf.clouds``.
"""

from quilm_tf._native import (
    FilterFailureReason,
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)
from quilm_tf.batch import can_transform_many, lookup_many, transform_points
from quilm_tf.clouds import deskew_cloud, transform_cloud
from quilm_tf.datasets import export_bag
from quilm_tf.messages import transform_message
from quilm_tf.queries import (
    FrameInfo,
    frames,
    latest_common_time,
    lookup_across_time,
    lookup_latest,
)
from quilm_tf.stamps import stamp_ns
from quilm_tf.waiting import wait_for_transform, wait_for_transform_async

__version__ = "0.1.0"  # the package's version: pyproject.toml reads it from here

__all__ = [
    "TransformBuffer",
    "MessageFilter",
    "FilterFailureReason",
    "require_frame",
    "TransformError",
    "FrameError",
    "lookup_many",
    "can_transform_many",
    "transform_points",
    "transform_cloud",
    "deskew_cloud",
    "latest_common_time",
    "lookup_latest",
    "lookup_across_time",
    "frames",
    "FrameInfo",
    "wait_for_transform",
    "wait_for_transform_async",
    "stamp_ns",
    "export_bag",
    "transform_message",
]
