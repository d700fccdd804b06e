"""Time-stamped coordinate-frame transforms for robotics.

The classes live in the extension ``quilm_tf._native``; they are re-exported here so that
``from quilm_tf import TransformBuffer`` works.
"""

from quilm_tf._native import (
    FilterFailureReason,
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

__all__ = [
    "TransformBuffer",
    "MessageFilter",
    "FilterFailureReason",
    "require_frame",
    "TransformError",
    "FrameError",
]
