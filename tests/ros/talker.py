"""A second process on the graph: static transforms first, then a stream of dynamic ones with a
laser scan and a point cloud at each stamp.

    python talker.py   prints "static sent" once /tf_static is latched; then each line
                       "go TOPIC=N..." on stdin sends STEPS steps at 20 Hz once each topic
                       has N subscribers, and prints "done" when they are out.

Tree: map -> odom (static, x 10), odom -> base (dynamic: x = k / 10 at stamp k * 50 ms from
START_NS), base -> laser (static, y 0.5, yawed 90 degrees).
"""

import math
import sys
import time

import rclpy
from quilm_tf.ros import StaticTransformBroadcaster, TransformBroadcaster
from sensor_msgs.msg import LaserScan, PointCloud2, PointField

START_NS = 1_700_000_000_000_000_000
PERIOD_NS = 50_000_000
STEPS = 20


def translation(x=0.0, y=0.0, yaw=0.0):
    c, s = math.cos(yaw), math.sin(yaw)
    return [[c, -s, 0, x], [s, c, 0, y], [0, 0, 1, 0], [0, 0, 0, 1]]


def stamp(k):
    return START_NS + k * PERIOD_NS


def time_of(stamp_ns):
    from builtin_interfaces.msg import Time

    return Time(sec=stamp_ns // 1_000_000_000, nanosec=stamp_ns % 1_000_000_000)


def scan(k):
    message = LaserScan(angle_min=0.0, angle_max=1.0, angle_increment=0.5, ranges=[1.0, 2.0])
    message.header.frame_id, message.header.stamp = "laser", time_of(stamp(k))
    return message


def cloud(k):
    import numpy as np

    points = np.array([[1.0, 0.0, 0.0], [0.0, 2.0, 0.5]], dtype=np.float32)
    fields = [PointField(name=n, offset=4 * i, datatype=7, count=1) for i, n in enumerate("xyz")]
    message = PointCloud2(height=1, width=len(points), fields=fields, point_step=12)
    message.row_step, message.is_dense, message.data = 24, True, points.tobytes()
    message.header.frame_id, message.header.stamp = "laser", time_of(stamp(k))
    return message


def main():
    rclpy.init()
    node = rclpy.create_node("quilm_tf_talker")
    static = StaticTransformBroadcaster(node)
    static.send_transform(("map", "odom", translation(x=10.0), 0))
    static.send_transform(("base", "laser", translation(y=0.5, yaw=math.pi / 2), 0))
    dynamic = TransformBroadcaster(node)
    scans = node.create_publisher(LaserScan, "/scan", 100)
    clouds = node.create_publisher(PointCloud2, "/cloud", 100)
    print("static sent", flush=True)
    publishers = {"/tf": dynamic.publisher, "/scan": scans, "/cloud": clouds}
    for line in sys.stdin:
        # "go TOPIC=N...": the test has seen these publishers and N subscriptions on each;
        # wait until the publishers see as many.
        for topic, count in (word.split("=") for word in line.split()[1:]):
            while publishers[topic].get_subscription_count() < int(count):
                time.sleep(0.01)
        for k in range(STEPS):
            # Each scan and cloud goes out before the transform of its stamp.
            scans.publish(scan(k))
            clouds.publish(cloud(k))
            dynamic.send_transform(("odom", "base", translation(x=k / 10), stamp(k)))
            time.sleep(PERIOD_NS / 1e9)
        print("done", flush=True)
    node.destroy_node()
    rclpy.shutdown()


if __name__ == "__main__":
    main()
