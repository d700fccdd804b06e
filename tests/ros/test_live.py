import math

from conftest import stream
from quilm_tf.ros import TransformListener, wait_for_transform_future
from sensor_msgs.msg import LaserScan
from talker import START_NS, STEPS, stamp

from quilm_tf import MessageFilter, TransformBuffer, stamp_ns

BOUND_S = 20.0  # how long anything may take before the test fails instead of hanging
IDENTITY = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]


def spin_until(executor, future):
    executor.spin_until_future_complete(future, timeout_sec=BOUND_S)
    assert future.done(), f"not done within {BOUND_S} s"
    return future.result()


def close(a, b):
    return all(math.isclose(x, y, abs_tol=1e-9) for ra, rb in zip(a, b) for x, y in zip(ra, rb))


def test_late_listener_gets_static_and_dynamic_transforms_awaited_in_a_coroutine(
    talker, node, executor
):
    buffer = TransformBuffer(30.0)
    listener = TransformListener(buffer, node)  # joins after the talker latched its statics
    stream(talker, node, executor, ["/tf"])

    async def callback():
        # A coroutine on a single-threaded executor awaits while the same executor delivers
        # the transforms that resolve it.
        static = await wait_for_transform_future(buffer, "laser", "base", 0, BOUND_S)
        dynamic = await wait_for_transform_future(buffer, "laser", "map", stamp(10), BOUND_S)
        return static, dynamic

    assert spin_until(executor, executor.create_task(callback)) == (True, True)
    # laser is 0.5 along y of base, yawed 90 degrees; base is at x 1 in odom at step 10,
    # odom at x 10 in map.
    expected = [[0, -1, 0, 11], [1, 0, 0, 0.5], [0, 0, 1, 0], [0, 0, 0, 1]]
    assert close(buffer.lookup("laser", "map", stamp(10)), expected), "laser in map at step 10"
    listener.destroy()
    assert listener.refused == 0, "the talker's transforms are all valid"


def test_wait_future_times_out_without_blocking_the_executor(node, executor):
    buffer = TransformBuffer(10.0)
    ticks = []
    timer = node.create_timer(0.02, lambda: ticks.append(1))
    future = wait_for_transform_future(buffer, "nowhere", "map", START_NS, 0.3)
    assert spin_until(executor, future) is False, "no transform: the timeout resolves it"
    node.destroy_timer(timer)
    assert len(ticks) >= 5, f"the executor ran other callbacks while waiting: {len(ticks)} ticks"
    buffer.insert_transform("map", "nowhere", IDENTITY, START_NS)
    assert future.result() is False, "an insert after the timeout changes nothing"


def test_scans_wait_in_a_message_filter_until_their_transforms_arrive(talker, node, executor):
    buffer = TransformBuffer(30.0)
    TransformListener(buffer, node)
    delivered, dropped = [], []
    scans = MessageFilter(buffer, "map", 100, delivered.append)
    scans.register_failure_callback(lambda m, r: dropped.append(r))
    node.create_subscription(LaserScan, "/scan", scans.add, 100)
    stream(talker, node, executor, ["/tf", "/scan"])
    all_in = executor.create_future()
    node.create_timer(0.02, lambda: len(delivered) == STEPS and all_in.set_result(True))
    spin_until(executor, all_in)
    assert not dropped, f"no scan is dropped: {dropped}"
    assert [stamp_ns(s) for s in delivered] == [stamp(k) for k in range(STEPS)], "all, in order"
