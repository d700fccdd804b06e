"""Time-stamped coordinate-frame transforms for robotics.

The classes live in the extension ``quilm_tf._native``; they are re-exported here so that
``from quilm_tf import TransformBuffer`` works. The array functions (numpy in, numpy out)
come from ``quilm_tf.batch``.
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
]
