# The live suite runs in build/venv-ros, started by ./scripts/test with discovery kept on this
# machine, a ROS domain of its own and, where it may, in a network namespace whose only other
# interface stands for a real network. Nothing may leave through a network interface: the
# session compares the interfaces' transmit counters before and after.

import os
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest
import rclpy

TALKER = Path(__file__).with_name("talker.py")


def transmitted():
    """Packets sent so far by each interface other than loopback."""
    counts = {}
    for line in Path("/proc/net/dev").read_text().splitlines()[2:]:
        name, fields = line.split(":", 1)
        if name.strip() != "lo":
            counts[name.strip()] = int(fields.split()[9])
    return counts


@pytest.fixture(scope="session", autouse=True)
def loopback_only():
    assert os.environ.get("ROS_AUTOMATIC_DISCOVERY_RANGE") == "LOCALHOST", (
        "run the live tests with ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST"
    )
    assert os.environ.get("ROS_DOMAIN_ID"), "run the live tests with a ROS_DOMAIN_ID of their own"
    before = transmitted()
    rclpy.init()
    yield
    rclpy.shutdown()
    after = transmitted()
    sent = {name: after[name] - before.get(name, 0) for name in after}
    # In the machine's own namespace, another program's traffic in this window counts too.
    assert not any(sent.values()), f"packets left the machine during the live tests: {sent}"


@pytest.fixture(scope="module")
def talker_process():
    """The talker process, once its static transforms are latched."""
    process = subprocess.Popen(
        [sys.executable, str(TALKER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        expect(process, "static sent")
        process.streams = 0
        yield process
    finally:
        process.stdin.close()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


def expect(process, expected):
    ready, _, _ = select.select([process.stdout], [], [], 30)
    line = process.stdout.readline().strip() if ready else "nothing for 30 s"
    assert line == expected, f"talker said {line!r}, expected {expected!r}"


def stream(talker, node, executor, topics):
    """Has the talker send its steps once it sees every subscription that node sees on topics.

    The test's own subscriptions exist by now, so the counts include them."""
    deadline = time.monotonic() + 30
    while min(node.count_publishers(topic) for topic in topics) < 1:
        assert time.monotonic() < deadline, f"no publisher on {topics} within 30 s"
        executor.spin_once(timeout_sec=0.05)
    counts = " ".join(f"{topic}={node.count_subscribers(topic)}" for topic in topics)
    talker.stdin.write(f"go {counts}\n")
    talker.stdin.flush()
    talker.streams += 1


@pytest.fixture
def talker(talker_process):
    """The talker, done with the steps an earlier test asked for, so none reach this one."""
    while talker_process.streams:
        expect(talker_process, "done")
        talker_process.streams -= 1
    return talker_process


@pytest.fixture
def node():
    node = rclpy.create_node("quilm_tf_live_test")
    yield node
    node.destroy_node()


@pytest.fixture
def executor(node):
    executor = rclpy.executors.SingleThreadedExecutor()
    executor.add_node(node)
    yield executor
    executor.shutdown()
