import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformError

LIMIT_NS = 2**31 * 10**9
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
RANGE = "stamp_ns exceeds the ROS Time range"
NOT_CALLABLE = "callback must be callable"
UNQUALIFIED = 'invalid frame "a/b": frame name must be unqualified'


def recording(buffer, log, target="map", queue_size=0):
    """A filter whose callbacks append ("ready", msg) and ("failed", msg, reason)."""
    f = MessageFilter(buffer, target, queue_size, lambda m: log.append(("ready", m)))
    f.register_failure_callback(lambda m, r: log.append(("failed", m, r)))
    return f


def test_settings_read_back_normalised(buffer):
    f = MessageFilter(buffer, "///map", 10, tolerance_ns=LIMIT_NS - 1)
    assert (f.target_frames, f.queue_size, f.tolerance_ns, f.pending_count) == (["map"], 10, LIMIT_NS - 1, 0)
    f.set_target_frames(("/map", "map", "odom"))
    assert f.target_frames == ["map", "map", "odom"]


@pytest.mark.parametrize(
    ("kwargs", "error", "message", "note"),
    [
        # Conversions in parameter order: the first bad parameter is named.
        ({"buffer": None, "target_frame": b"map"}, TypeError, "'NoneType' object cannot be converted to 'TransformBuffer'", "buffer"),
        ({"target_frame": b"map", "queue_size": -1}, TypeError, None, "target_frame"),
        ({"queue_size": -1, "tolerance_ns": -1}, OverflowError, None, "queue_size"),
        ({"tolerance_ns": -1}, OverflowError, None, "tolerance_ns"),
        # After the conversions: the tolerance, the callback, then the target frame.
        ({"tolerance_ns": LIMIT_NS, "callback": 5}, ValueError, RANGE, None),
        ({"target_frame": "a/b", "callback": 5}, ValueError, NOT_CALLABLE, None),
        ({"target_frame": "a/b"}, TransformError, UNQUALIFIED, None),
    ],
)
def test_constructor_refusals(buffer, refused, kwargs, error, message, note):
    arguments = {"buffer": buffer, "target_frame": "map", "queue_size": 1} | kwargs
    refused(lambda: MessageFilter(**arguments), error, message, note)


@pytest.mark.parametrize(
    ("call", "error", "message", "note"),
    [
        (lambda f: f.set_target_frames("map"), TypeError, "Can't extract `str` to `Vec`", "target_frames"),
        (lambda f: f.set_target_frames(["odom", "a/b"]), TransformError, UNQUALIFIED, None),
        (lambda f: f.set_target_frame(""), TransformError, 'invalid frame "": frame name must not be empty', None),
        (lambda f: f.set_tolerance_ns(LIMIT_NS), ValueError, RANGE, None),
        (lambda f: f.set_tolerance_ns(-1), OverflowError, None, "tolerance_ns"),
        (lambda f: f.set_queue_size(-1), OverflowError, None, "queue_size"),
        (lambda f: f.register_callback(None), ValueError, NOT_CALLABLE, None),
        (lambda f: f.register_failure_callback(5), ValueError, NOT_CALLABLE, None),
    ],
)
def test_refused_settings_change_nothing(buffer, refused, call, error, message, note):
    f = MessageFilter(buffer, "map", 3, tolerance_ns=7)
    refused(lambda: call(f), error, message, note)
    assert (f.target_frames, f.tolerance_ns, f.queue_size) == (["map"], 7, 3)


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda ros: ros.changed(ros.message(), header__frame_id=...), AttributeError),
        # The stamp is read and checked before the frame id.
        (lambda ros: ros.changed(ros.message(7), header__stamp=...), AttributeError),
        (lambda ros: ros.message(7, sec=-1), ValueError),
        (lambda ros: ros.message(7, nanosec=10**9), ValueError),
        (lambda ros: ros.message(7), TypeError),
    ],
)
def test_malformed_messages_raise_without_a_note_and_queue_nothing(buffer, log, ros, refused, make, error):
    f = recording(buffer, log)
    refused(lambda: f.add(make(ros)), error)
    assert (f.pending_count, log) == (0, [])


@pytest.mark.parametrize(
    ("frame_id", "reason"),
    [("", Reason.EMPTY_FRAME_ID), ("///", Reason.EMPTY_FRAME_ID), ("a/b", Reason.INVALID_FRAME_ID)],
)
def test_unusable_frame_ids_go_to_the_failure_callbacks(buffer, log, ros, frame_id, reason):
    f = recording(buffer, log)
    f.add(ros.message("far"))
    f.add(rejected := ros.message(frame_id))
    assert log == [("failed", rejected, reason)]
    assert f.pending_count == 1


def test_set_queue_size_reports_the_oldest_surplus(buffer, log, ros):
    f = recording(buffer, log)
    messages = [ros.message("far", sec=s) for s in (1, 2, 3)]
    for m in messages:
        f.add(m)
    f.set_queue_size(0)  # unbounded
    assert log == []
    f.set_queue_size(1)
    assert log == [("failed", messages[0], Reason.QUEUE_FULL), ("failed", messages[1], Reason.QUEUE_FULL)]
    assert (f.queue_size, f.pending_count) == (1, 1)


def test_retargeting_dispatches_what_it_releases(buffer, log, ros):
    buffer.insert_transform("odom", "base", IDENTITY, 1, is_static=True)
    f = recording(buffer, log)
    f.add(m := ros.message("base"))
    assert log == [] and f.pending_count == 1
    f.set_target_frame("/odom")
    assert log == [("ready", m)]


def test_tolerance_waits_for_transforms_beyond_the_stamp(buffer, log, ros):
    f = recording(buffer, log)
    f.set_tolerance_ns(5_000_000)
    for ns in (1_000_000_000, 1_004_000_000):
        buffer.insert_transform("map", "base", IDENTITY, ns)
    f.add(m := ros.message(sec=1))
    assert log == []
    buffer.insert_transform("map", "base", IDENTITY, 1_005_000_000)
    assert log == [("ready", m)]
    f.add(late := ros.message(sec=1, nanosec=1_000_000))
    assert log == [("ready", m)]
    f.set_tolerance_ns(0)  # dispatches what it releases
    assert log == [("ready", m), ("ready", late)]


def test_ready_messages_without_callbacks_and_cleared_ones_are_gone_unreported(buffer, log, ros):
    buffer.insert_transform("map", "base", IDENTITY, 1, is_static=True)
    f = MessageFilter(buffer, "map", 0)
    f.add(ros.message())
    f.add(ros.message("far"))
    f.register_callback(log.append)
    f.register_failure_callback(lambda m, r: log.append(r))
    f.dispatch()
    assert (log, f.pending_count) == ([], 1)
    f.clear()
    assert (log, f.pending_count) == ([], 0)


@pytest.mark.parametrize("through", ["callback", "failure callback", "queued message"])
def test_a_node_owning_its_filter_is_collected_with_its_queue(buffer, ros, through):
    class Node:
        def on_message(self, *args):
            pass

    node = Node()
    node.filter = MessageFilter(buffer, "map", 10)
    if through == "callback":
        node.filter.register_callback(node.on_message)
    elif through == "failure callback":
        node.filter.register_failure_callback(node.on_message)
    queued = ros.message("far", node=node if through == "queued message" else None)
    node.filter.add(queued)
    alive, released = weakref.ref(node), []
    weakref.finalize(queued, released.append, "message")
    del node, queued
    gc.collect()
    assert (alive(), released) == (None, ["message"])


def run(script):
    # A regression here deadlocks on the filter's own mutex, so it runs in a child process
    # that a timeout can end.
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=120)  # fmt: skip
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_finalizers_of_released_messages_may_call_back_into_the_module():
    out = run(
        """
        import gc
        from types import SimpleNamespace
        from quilm_tf._native import MessageFilter, TransformBuffer
        I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]

        class Message(SimpleNamespace):
            def __del__(self):
                self.on_release()

        def msg(frame="far", on_release=lambda: None):
            stamp = SimpleNamespace(sec=1, nanosec=0)
            return Message(header=SimpleNamespace(frame_id=frame, stamp=stamp), on_release=on_release)

        def into(f, label):
            # The finalizer queues one more message in f and reports f's queue length.
            def on_release():
                f.add(msg("nowhere"))
                print(label, f.pending_count)
            return on_release

        def fail(m):
            raise RuntimeError("callback")

        buffer = TransformBuffer(1.0)
        buffer.insert_transform("map", "base", I, 1, is_static=True)
        f = MessageFilter(buffer, "map", 0)
        f.add(msg("base", into(f, "ready without callback")))
        f.clear()
        f.register_callback(fail)
        f.add(msg("odom", into(f, "undelivered")))
        f.add(msg("odom", into(f, "undelivered")))
        try:
            buffer.insert_transform("map", "odom", I, 1, is_static=True)
        except RuntimeError:
            print("raised")
        f.clear()
        g = MessageFilter(buffer, "map", 0)
        g.add(msg(on_release=into(g, "collected")))  # a cycle: g, its state, the message
        del g
        gc.collect()
        h = MessageFilter(buffer, "map", 0)
        h.add(msg(on_release=into(f, "deleted")))
        del h
        print("done")
        """
    )
    # Each finalizer queues a message and reads the queue; none waits on a lock.
    assert out == [
        # The message being delivered is released last, by the traceback of the exception.
        "ready without callback 1", "undelivered 1", "raised", "undelivered 2", "collected 2", "deleted 1", "done",
    ]  # fmt: skip
