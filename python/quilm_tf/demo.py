"""python -m quilm_tf.demo: the first run of quilm-tf, the same as ``quilm-tf demo``.

The tools live in ``quilm_tf.tools``; the ROS-shaped message classes and the simulated robot
stay importable from here.
"""

import sys

from quilm_tf.tools.cli import demo_main as main
from quilm_tf.tools.messages import (
    Header,
    LaserScan,
    Quaternion,
    TFMessage,
    Time,
    Transform,
    TransformStamped,
    Vector3,
    transform_stamped,
)
from quilm_tf.tools.robot import ROBOT_LINKS, SIM_START_NS, simulated_robot

__all__ = [
    "Header",
    "LaserScan",
    "Quaternion",
    "TFMessage",
    "Time",
    "Transform",
    "TransformStamped",
    "Vector3",
    "transform_stamped",
    "ROBOT_LINKS",
    "SIM_START_NS",
    "simulated_robot",
    "main",
]

if __name__ == "__main__":
    sys.exit(main())
