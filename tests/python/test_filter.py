# The message filter as the binding adds it: argument checks, callbacks and the order of
# their calls, exceptions from them, re-entrant calls and the collector.

import weakref
from types import SimpleNamespace

import pytest
from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformError

LIMIT_NS = 2**31 * 10**9
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
RANGE, NOT_CALLABLE = "stamp_ns exceeds the ROS Time range", "callback must be callable"
UNQUALIFIED = 'invalid frame "a/b": frame name must be unqualified'


def link(buffer, child="base", parent="map"):
    buffer.insert_transform(parent, child, I4, 1, is_static=True)


def logger(log, name, raise_on=(), error=RuntimeError):
    # Logs (name, label[, reason]) of each call; raises error for the labels in raise_on.

    def callback(msg, *reason):
        log.append((name, msg.label, *reason))
        if msg.label in raise_on:
            raise error(name)

    return callback


@pytest.mark.parametrize(("call", "error", "message", "note"), [
    # The constructor converts in parameter order, naming the first bad parameter...
    (lambda b, f, ros: MessageFilter(None, b"map", -1), TypeError,
     "'NoneType' object cannot be converted to 'TransformBuffer'", "buffer"),
    (lambda b, f, ros: MessageFilter(b, "map", -1, tolerance_ns=-1), OverflowError, None,
     "queue_size"),
    # ...then checks the tolerance, the callback, then the target frame.
    (lambda b, f, ros: MessageFilter(b, "a/b", 1, 5, LIMIT_NS), ValueError, RANGE, None),
    (lambda b, f, ros: MessageFilter(b, "a/b", 1, 5), ValueError, NOT_CALLABLE, None),
    (lambda b, f, ros: MessageFilter(b, "a/b", 1), TransformError, UNQUALIFIED, None),
    (lambda b, f, ros: f.set_target_frames("map"), TypeError, "Can't extract `str` to `Vec`",
     "target_frames"),
    # Malformed messages raise without a note.
    (lambda b, f, ros: f.add(ros.changed(ros.message(7), header__stamp=...)), AttributeError,
     None, None),
    (lambda b, f, ros: f.add(ros.message(7)), TypeError,
     "'int' object cannot be converted to 'str'", None),
])  # fmt: skip
def test_refused_calls_change_nothing(buffer, ros, log, refused, call, error, message, note):
    f = MessageFilter(buffer, "///map", 3, lambda m: log.append(m), LIMIT_NS - 1)
    refused(lambda: call(buffer, f, ros), error, message, note)
    settings = (f.target_frames, f.tolerance_ns, f.queue_size, f.pending_count, log)
    assert settings == (["map"], LIMIT_NS - 1, 3, 0, [])


def test_settings_dispatch_what_they_release_and_report_what_they_evict(buffer, ros, log):
    f = ros.recording(buffer, log)
    for frame_id, reason in (
        ("", Reason.EMPTY_FRAME_ID),
        ("a/b", Reason.INVALID_FRAME_ID),
    ):
        f.add(rejected := ros.message(frame_id))
        assert log.pop() == ("failed", rejected, reason)
    f.add(base := ros.message("base", nanosec=1))
    link(buffer, "base", "odom")
    f.set_target_frames(("/odom", "odom"))  # releases it
    assert (log.pop(), f.pending_count, f.target_frames) == (("ready", base), 0, ["odom", "odom"])
    f.set_tolerance_ns(5)
    buffer.insert_transform("odom", "far", I4, 10**9)
    f.add(far := ros.message("far"))  # waits for its stamp + 5 ns
    f.set_tolerance_ns(0)  # releases it
    assert (log.pop(), f.pending_count) == (("ready", far), 0)
    f.add(old := ros.message("nowhere"))
    f.add(ros.message("nowhere"))
    f.set_queue_size(1)  # the oldest surplus goes
    assert log == [("failed", old, Reason.QUEUE_FULL)] and (f.queue_size, f.pending_count) == (1, 1)
    f.clear()  # unreported
    assert (log[1:], f.pending_count) == ([], 0)


INSERTS = {
    "stamped": lambda buffer, ros: buffer.insert_transform_stamped(
        ros.transform_stamped("map", "base"), is_static=True
    ),
    "list": lambda buffer, ros: buffer.insert_transform_message(
        SimpleNamespace(transforms=[ros.transform_stamped("map", "base")]), True
    ),
}


@pytest.mark.parametrize("insert", INSERTS.values(), ids=INSERTS.keys())
def test_callbacks_run_in_order_with_failures_first(buffer, log, ros, insert):
    f = MessageFilter(buffer, "map", 5, logger(log, "first"))
    f.register_callback(logger(log, "second"))

    def failed(m, reason):
        log.append(("failed", m.label))

    for _ in range(2):
        f.register_failure_callback(failed)
    for frame, label in (("base", "a"), ("base", "b"), ("elsewhere", "blocked"), ("base", "end")):
        f.add(ros.message(frame, label=label))
    insert(buffer, ros)
    assert log == [("first", "a"), ("second", "a"), ("first", "b"), ("second", "b")]
    f.set_queue_size(1)  # evicts one: its report comes before the delivery it releases
    f.add(ros.message("nowhere", label="c"))
    f.add(ros.message(label="d"))  # evicts "c"
    assert log[4::2] == [("failed", "blocked"), ("first", "end"), ("failed", "c"), ("first", "d")]


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt, MemoryError])
def test_a_raising_callback_stops_its_dispatch_and_leaves_everything_usable(
    buffer, log, ros, error
):
    f = MessageFilter(buffer, "map", 0, logger(log, "first", raise_on=("a",), error=error))
    f.register_callback(logger(log, "second"))
    later = MessageFilter(buffer, "map", 0, logger(log, "later"))
    for frame, label in (("base", "a"), ("base", "b"), ("elsewhere", "x"), ("elsewhere", "y")):
        f.add(ros.message(frame, label=label))
    later.add(ros.message(label="c"))
    with pytest.raises(error, match="first"):
        link(buffer)
    # "a"'s second callback and "b" are gone (they left the queue), the later filter is woken
    # all the same, and the insert itself stays.
    assert log == [("first", "a"), ("later", "c")]
    assert (f.pending_count, later.pending_count) == (2, 0)
    assert buffer.can_transform("base", "map", 1)


@pytest.mark.parametrize("nested", ["add", "insert", "register"])
def test_nested_calls_complete_inside_the_callback(buffer, log, ros, nested):
    def callback(msg):
        log.append(msg.label)
        if msg.label != "a":
            return
        if nested == "add":
            f.add(ros.message(label="inner"))
        elif nested == "insert":
            link(buffer, "odom")
        else:
            f.register_callback(lambda m: log.append("late " + m.label))
        log.append("a done")

    link(buffer)
    f = MessageFilter(buffer, "map", 0, callback)
    queued = [("elsewhere", "head"), ("base", "a"), ("base", "b")]
    for frame, label in queued + ([("odom", "inner")] if nested == "insert" else []):
        f.add(ros.message(frame, label=label))
    link(buffer, "elsewhere")
    f.add(ros.message(label="c"))  # a callable registered during a dispatch waits for the next
    assert log == (
        ["head", "a", "a done", "b", "c", "late c"]
        if nested == "register"
        else ["head", "a", "inner", "a done", "b", "c"]
    )


def test_a_wake_up_keeps_a_filter_that_a_callback_deletes(buffer, log, ros):
    MessageFilter(buffer, "map", 0, logger(log, "gone")).add(ros.message(label="q"))  # dropped

    def first(m):
        log.append(("first", m.label))
        del filters["second"]

    filters = {"first": MessageFilter(buffer, "map", 0, first)}
    filters["second"] = MessageFilter(buffer, "map", 0, logger(log, "second"))
    filters["first"].add(ros.message(label="a"))
    filters["second"].add(ros.message(label="b"))
    link(buffer)  # a wake-up keeps the filter that a callback deletes
    assert log == [("first", "a"), ("second", "b")]


@pytest.mark.parametrize("through", ["callback", "failure_callback", "message", "own method"])
def test_a_node_owning_its_filter_is_collected_with_its_queue(buffer, ros, live_filters, through):
    node, before = ros.message("node"), live_filters()
    node.filter = MessageFilter(buffer, "map", 10)
    if through.endswith("callback"):
        getattr(node.filter, "register_" + through)(lambda *args, node=node: None)
    elif through == "own method":  # a built-in method has no clear slot: only the filter's
        node.filter.register_callback(node.filter.dispatch)
    queued = ros.message("far", node=node if through == "message" else None)
    node.filter.add(queued)
    alive, released = weakref.ref(node), []
    weakref.finalize(queued, released.append, "message")
    del node, queued
    assert (live_filters(), alive(), released) == (before, None, ["message"])


# A regression here deadlocks on a lock of the module, so it runs in a child process.
PRELUDE = """
import gc
from types import SimpleNamespace as NS
from quilm_tf._native import MessageFilter, TransformBuffer
I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]
class Message(NS):
    __del__ = lambda self: self.on_release()  # noqa: E731
def msg(frame="far", on_release=lambda: None):
    header = NS(frame_id=frame, stamp=NS(sec=1, nanosec=0))
    return Message(header=header, on_release=on_release)
"""


def test_finalizers_of_released_messages_may_call_back_into_the_module(child):
    script = """
        def into(f, label):  # queues one more message in f and prints f's queue length
            return lambda: (f.add(msg("nowhere")), print(label, f.pending_count))
        buffer = TransformBuffer(1.0)
        buffer.insert_transform("map", "base", I, 1, is_static=True)
        f = MessageFilter(buffer, "map", 1)
        f.add(msg("base", into(f, "ready without callback")))
        f.clear()
        f.register_callback(lambda m: m.no_such_attribute)
        f.set_queue_size(0)
        f.add(msg("odom", into(f, "undelivered")))
        f.add(msg("odom", into(f, "undelivered")))
        try:
            buffer.insert_transform("map", "odom", I, 1, is_static=True)
        except AttributeError:
            print("raised")
        f.add(msg("x", into(f, "cleared")))
        f.clear()
        g = MessageFilter(buffer, "map", 0)
        g.add(msg(on_release=into(g, "collected")))  # a cycle: g, its state, the message
        del g
        gc.collect()
        h = MessageFilter(buffer, "map", 0)
        h.add(msg(on_release=into(f, "deleted")))
        del h
        """
    out = child(PRELUDE, script).splitlines()
    # The message being delivered is released last, by the traceback of the exception.
    assert out == [
        "ready without callback 1",
        "undelivered 1",
        "raised",
        "undelivered 2",
        "cleared 1",
        "collected 2",
        "deleted 2",
    ]
