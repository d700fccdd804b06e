import gc
import inspect
import subprocess
import sys
import textwrap
import weakref
from types import SimpleNamespace

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformBuffer, TransformError

LIMIT_NS = 2**31 * 10**9
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


class Message(SimpleNamespace):
    """A ROS-shaped message that can be weakly referenced."""


def message(frame_id="base", sec=1, nanosec=0, **payload):
    stamp = SimpleNamespace(sec=sec, nanosec=nanosec)
    return Message(header=SimpleNamespace(stamp=stamp, frame_id=frame_id), **payload)


@pytest.fixture
def buffer():
    return TransformBuffer(10.0)


@pytest.fixture
def log():
    return []


def recording(buffer, log, target="map", queue_size=0):
    """A filter whose callbacks append ("ready", msg) and ("failed", msg, reason)."""
    f = MessageFilter(buffer, target, queue_size, lambda m: log.append(("ready", m)))
    f.register_failure_callback(lambda m, r: log.append(("failed", m, r)))
    return f


def test_class_surface():
    public = [name for name in vars(MessageFilter) if not name.startswith("_")]
    assert public == [
        "add", "register_callback", "register_failure_callback", "set_target_frame",
        "set_target_frames", "set_tolerance_ns", "set_queue_size", "clear",
        "pending_count", "queue_size", "tolerance_ns", "target_frames", "dispatch",
    ]  # fmt: skip
    assert MessageFilter.__doc__ == "Queues stamped Python messages until quilm-tf can transform them."
    assert str(inspect.signature(MessageFilter)) == "(buffer, target_frame, queue_size, callback=None, tolerance_ns=0)"
    assert str(inspect.signature(MessageFilter.set_target_frames)) == "(self, /, target_frames)"
    f = MessageFilter(TransformBuffer(1.0), "map", 1)
    for name in ("pending_count", "queue_size", "tolerance_ns", "target_frames"):
        with pytest.raises(AttributeError):
            setattr(f, name, 1)


@pytest.mark.parametrize("target", ["map", "/map", "///map"])
@pytest.mark.parametrize("tolerance", [0, LIMIT_NS - 1])
def test_new_filter_reports_its_settings(buffer, target, tolerance):
    f = MessageFilter(buffer, target, 10, tolerance_ns=tolerance)
    assert (f.target_frames, f.queue_size, f.tolerance_ns, f.pending_count) == (["map"], 10, tolerance, 0)


@pytest.mark.parametrize(
    ("kwargs", "error", "text", "note"),
    [
        ({"target_frame": "a/b"}, TransformError, 'invalid frame "a/b": frame name must be unqualified', None),
        ({"target_frame": "/"}, TransformError, 'invalid frame "/": frame name must not be empty', None),
        ({"tolerance_ns": LIMIT_NS}, ValueError, "stamp_ns exceeds the ROS Time range", None),
        # Both wrong: the tolerance is checked first.
        ({"tolerance_ns": LIMIT_NS, "callback": 5}, ValueError, "stamp_ns exceeds the ROS Time range", None),
        ({"callback": 5}, ValueError, "callback must be callable", None),
        ({"buffer": None}, TypeError, None, "buffer"),
        ({"queue_size": -1}, OverflowError, None, "queue_size"),
        ({"tolerance_ns": -1}, OverflowError, None, "tolerance_ns"),
        ({"target_frame": b"map"}, TypeError, None, "target_frame"),
    ],
)
def test_constructor_refusals(buffer, kwargs, error, text, note):
    arguments = {"buffer": buffer, "target_frame": "map", "queue_size": 1} | kwargs
    with pytest.raises(error) as info:
        MessageFilter(**arguments)
    if text is not None:
        assert info.value.args == (text,)
    assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: SimpleNamespace(), AttributeError),
        (lambda: SimpleNamespace(header=SimpleNamespace(frame_id="base")), AttributeError),
        (lambda: SimpleNamespace(header=SimpleNamespace(stamp=SimpleNamespace(sec=1, nanosec=0))), AttributeError),
        (lambda: message(sec=-1), ValueError),
        (lambda: message(nanosec=10**9), ValueError),
        (lambda: message(frame_id=7), TypeError),
    ],
)
def test_malformed_messages_raise_and_queue_nothing(buffer, log, make, error):
    f = recording(buffer, log)
    with pytest.raises(error) as info:
        f.add(make())
    assert not hasattr(info.value, "__notes__")
    assert (f.pending_count, log) == (0, [])


@pytest.mark.parametrize(
    ("frame_id", "reason"),
    [("", Reason.EMPTY_FRAME_ID), ("/", Reason.EMPTY_FRAME_ID), ("///", Reason.EMPTY_FRAME_ID),
     ("a/b", Reason.INVALID_FRAME_ID), ("/a/b", Reason.INVALID_FRAME_ID)],
)  # fmt: skip
def test_unusable_frame_ids_go_to_the_failure_callbacks(buffer, log, frame_id, reason):
    f = recording(buffer, log)
    f.add(message("far"))
    f.add(rejected := message(frame_id))
    assert log == [("failed", rejected, reason)]
    assert f.pending_count == 1


def test_set_queue_size_reports_the_oldest_surplus(buffer, log):
    f = recording(buffer, log)
    messages = [message("far", sec=s) for s in (1, 2, 3)]
    for m in messages:
        f.add(m)
    f.set_queue_size(0)
    assert log == []
    f.set_queue_size(1)
    assert log == [("failed", messages[0], Reason.QUEUE_FULL), ("failed", messages[1], Reason.QUEUE_FULL)]
    assert (f.queue_size, f.pending_count) == (1, 1)


def test_refused_settings_change_nothing(buffer):
    f = MessageFilter(buffer, "map", 3, tolerance_ns=7)
    with pytest.raises(TypeError) as info:
        f.set_target_frames("map")
    assert info.value.args == ("Can't extract `str` to `Vec`",)
    assert info.value.__notes__ == ["while processing 'target_frames'"]
    with pytest.raises(TransformError, match='^invalid frame "": at least one target frame is required$'):
        f.set_target_frames([])
    with pytest.raises(TransformError, match="must be unqualified$"):
        f.set_target_frames(["odom", "a/b"])
    with pytest.raises(TransformError, match="must not be empty$"):
        f.set_target_frame("")
    with pytest.raises(ValueError, match="^stamp_ns exceeds the ROS Time range$"):
        f.set_tolerance_ns(LIMIT_NS)
    for register in (f.register_callback, f.register_failure_callback):
        for value in (None, 5):
            with pytest.raises(ValueError, match="^callback must be callable$"):
                register(value)
    assert (f.target_frames, f.tolerance_ns, f.queue_size) == (["map"], 7, 3)
    f.set_target_frames(("/map", "map", "odom"))
    assert f.target_frames == ["map", "map", "odom"]


def test_setting_changes_dispatch_what_they_release(buffer, log):
    buffer.insert_transform("odom", "base", IDENTITY, 1, is_static=True)
    f = recording(buffer, log)
    f.add(m := message("base"))
    assert log == [] and f.pending_count == 1
    f.set_target_frame("/odom")
    assert log == [("ready", m)]


def test_tolerance_waits_for_transforms_beyond_the_stamp(buffer, log):
    f = recording(buffer, log)
    f.set_tolerance_ns(5_000_000)
    for ns in (1_000_000_000, 1_004_000_000):
        buffer.insert_transform("map", "base", IDENTITY, ns)
    f.add(m := message(sec=1))
    assert log == []
    buffer.insert_transform("map", "base", IDENTITY, 1_005_000_000)
    assert log == [("ready", m)]
    f.add(late := message(sec=1, nanosec=1_000_000))
    assert log == [("ready", m)]
    f.set_tolerance_ns(0)
    assert log == [("ready", m), ("ready", late)]


def test_ready_messages_without_callbacks_are_gone(buffer, log):
    buffer.insert_transform("map", "base", IDENTITY, 1, is_static=True)
    f = MessageFilter(buffer, "map", 0)
    f.add(message())
    assert f.pending_count == 0
    f.register_callback(log.append)
    f.dispatch()
    assert log == []


def test_clear_reports_nothing(buffer, log):
    f = recording(buffer, log)
    for _ in range(3):
        f.add(message("far"))
    f.clear()
    assert (f.pending_count, log) == (0, [])


# Lifetime


@pytest.mark.parametrize("through", ["callback", "failure callback", "queued message"])
def test_a_node_owning_its_filter_is_collected_with_its_queue(buffer, through):
    class Node:
        def __init__(self):
            self.filter = MessageFilter(buffer, "map", 10)
            if through == "callback":
                self.filter.register_callback(self.on_message)
            elif through == "failure callback":
                self.filter.register_failure_callback(self.on_failure)

        def on_message(self, msg):
            pass

        def on_failure(self, msg, reason):
            pass

    node = Node()
    queued = message("far", node=node if through == "queued message" else None)
    node.filter.add(queued)
    alive = weakref.ref(node)
    released = []
    weakref.finalize(queued, released.append, "message")
    del node, queued
    gc.collect()
    assert alive() is None
    assert released == ["message"]


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
        f.add(msg(on_release=into(f, "cleared")))
        f.clear()
        f.clear()
        f.add(msg(on_release=into(f, "evicted")))
        f.add(msg())
        f.set_queue_size(1)
        f.set_queue_size(0)
        f.clear()
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
        "cleared 1", "evicted 1", "ready without callback 1", "undelivered 1", "raised",
        "undelivered 2", "collected 2", "deleted 1", "done",
    ]  # fmt: skip


def test_poisoned_locks_raise_the_fatal_error():
    out = run(
        """
        import resource
        from types import SimpleNamespace
        from quilm_tf._native import MessageFilter, TransformBuffer
        I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]

        def msg(frame):
            stamp = SimpleNamespace(sec=1, nanosec=0)
            return SimpleNamespace(header=SimpleNamespace(frame_id=frame, stamp=stamp))

        def starved(call):
            # Little address space left: copying the huge name fails inside a lock.
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/statm") as statm:
                used = int(statm.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), hard))
            try:
                call()
            except MemoryError:
                print("memory error")
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

        def report(*calls):
            for call in calls:
                try:
                    call()
                except BaseException as error:
                    print(type(error).__name__, str(error))

        name = "x" * (256 << 20)
        buffer = TransformBuffer(1.0)
        f = MessageFilter(buffer, "map", 0)
        starved(lambda: f.set_target_frame(name))
        report(lambda: f.pending_count, lambda: f.add(msg("base")), lambda: f.dispatch(),
               lambda: buffer.insert_transform("map", "base", I, 1, is_static=True))
        got = []
        MessageFilter(buffer, "map", 0, got.append).add(msg("base"))  # the others still work
        other = TransformBuffer(1.0)
        g = MessageFilter(other, "map", 0, got.append)
        g.register_failure_callback(lambda m, r: got.append(r))
        starved(lambda: other.insert_transform("map", name, I, 1))
        report(lambda: g.add(msg("base")), lambda: g.add(msg("")))
        print(g.pending_count, len(got))
        """
    )
    filter_poisoned = "InternalError message filter lock was poisoned"
    buffer_poisoned = "InternalError transform buffer lock was poisoned"
    # The rejected message's drop is released undelivered; the queued one stays.
    assert out == ["memory error", *[filter_poisoned] * 4, "memory error", buffer_poisoned, buffer_poisoned, "1 1"]
