import subprocess
import sys
import textwrap
import weakref
from types import SimpleNamespace

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformBuffer, TransformError

IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


class Message(SimpleNamespace):
    """A ROS-shaped message that can be weakly referenced."""


def message(frame_id="base", sec=1, label=None):
    header = SimpleNamespace(stamp=SimpleNamespace(sec=sec, nanosec=0), frame_id=frame_id)
    return Message(header=header, label=label)


class Boom(Exception):
    pass


@pytest.fixture
def buffer():
    return TransformBuffer(10.0)


@pytest.fixture
def log():
    return []


def logger(log, name, raise_on=()):
    """Callback (one or two arguments) that logs (name, message label[, reason]) and raises
    Boom for the labels in raise_on."""

    def callback(msg, *reason):
        log.append((name, msg.label, *reason))
        if msg.label in raise_on:
            raise Boom(name)

    return callback


def insert_matrix(buffer, ros=None):
    buffer.insert_transform("map", "base", IDENTITY, 1, is_static=True)


def insert_stamped(buffer, ros):
    buffer.insert_transform_stamped(ros.transform_stamped("map", "base"), is_static=True)


def insert_list(buffer, ros):
    buffer.insert_transform_message(ros.tf_message(ros.transform_stamped("map", "base")), is_static=True)


@pytest.mark.parametrize("insert", [insert_matrix, insert_stamped, insert_list])
def test_an_insert_delivers_what_it_makes_ready_in_order(buffer, log, ros, insert):
    f = MessageFilter(buffer, "map", 0, logger(log, "first"))
    f.register_callback(logger(log, "second"))
    f.add(message(label="a"))
    f.add(message(label="b"))
    f.add(message("elsewhere", label="blocked"))
    f.add(message(label="behind"))
    insert(buffer, ros)
    assert log == [("first", "a"), ("second", "a"), ("first", "b"), ("second", "b")]
    assert f.pending_count == 2


def test_failures_come_before_ready_deliveries(buffer, log):
    insert_matrix(buffer)
    f = MessageFilter(buffer, "map", 1, logger(log, "ready"))
    f.register_failure_callback(logger(log, "failed"))
    f.add(message("elsewhere", label="old"))
    f.add(message(label="new"))
    assert log == [("failed", "old", Reason.QUEUE_FULL), ("ready", "new")]


def test_one_reason_object_per_dropped_message(buffer):
    seen = []
    f = MessageFilter(buffer, "map", 1)
    for _ in range(2):
        f.register_failure_callback(lambda m, r: seen.append(r))
    for m in [message("elsewhere") for _ in range(3)]:
        f.add(m)
    first, again, second, _ = seen
    assert first is again and first is not second
    assert first == Reason.QUEUE_FULL and first is not Reason.QUEUE_FULL


def test_a_raising_failure_callback_stops_the_dispatch(buffer, log):
    insert_matrix(buffer)
    f = MessageFilter(buffer, "map", 0, logger(log, "ready"))
    f.register_failure_callback(logger(log, "failed 1", raise_on=("x",)))
    f.register_failure_callback(logger(log, "failed 2"))
    for label in ("x", "y"):
        f.add(message("elsewhere", label=label))
    f.add(message(label="z"))  # queued behind the blocked ones
    with pytest.raises(Boom, match="failed 1"):
        f.set_queue_size(1)
    # x's second failure callback, y's failure callbacks and z's delivery never happen,
    # and nothing comes back: they already left the queue.
    assert log == [("failed 1", "x", Reason.QUEUE_FULL)]
    assert f.pending_count == 0
    f.dispatch()
    assert len(log) == 1


def test_a_raising_callback_stops_the_dispatch_and_fails_the_insert(buffer, log):
    f = MessageFilter(buffer, "map", 0, logger(log, "first", raise_on=("a",)))
    f.register_callback(logger(log, "second"))
    f.add(message(label="a"))
    f.add(message(label="b"))
    with pytest.raises(Boom, match="first"):
        insert_matrix(buffer)
    assert log == [("first", "a")]
    assert f.pending_count == 0
    assert buffer.can_transform("base", "map", 1)  # the insert itself stays


def test_a_refused_list_entry_outranks_a_callback_error(buffer, log, ros):
    f = MessageFilter(buffer, "map", 0, logger(log, "cb", raise_on=("a",)))
    f.add(message(label="a"))
    good = ros.transform_stamped("map", "base")
    self_parent = ros.transform_stamped("odom", "odom")
    with pytest.raises(TransformError):
        buffer.insert_transform_message(ros.tf_message(good, self_parent), is_static=True)
    assert log == [("cb", "a")]


def test_a_raising_filter_leaves_the_later_filters_queued(buffer, log):
    first = MessageFilter(buffer, "map", 0, logger(log, "first", raise_on=("a",)))
    second = MessageFilter(buffer, "map", 0, logger(log, "second"))
    first.add(message(label="a"))
    second.add(message(label="b"))
    with pytest.raises(Boom):
        insert_matrix(buffer)
    assert (log, second.pending_count) == ([("first", "a")], 1)
    second.dispatch()
    assert log == [("first", "a"), ("second", "b")]


@pytest.mark.parametrize("nested", ["add", "insert"])
def test_nested_calls_complete_inside_the_callback(buffer, log, nested):
    insert_matrix(buffer)

    def callback(msg):
        log.append(msg.label)
        if msg.label == "a" and nested == "add":
            f.add(message(label="inner"))
        elif msg.label == "a":
            buffer.insert_transform("map", "odom", IDENTITY, 1, is_static=True)
        if msg.label == "a":
            log.append("a done")

    f = MessageFilter(buffer, "map", 0, callback)
    f.add(message("elsewhere", label="head"))
    f.add(message(label="a"))
    f.add(message(label="b"))
    if nested == "insert":
        f.add(message("odom", label="inner"))  # left queued by the outer dispatch
    buffer.insert_transform("map", "elsewhere", IDENTITY, 1, is_static=True)
    assert log == ["head", "a", "inner", "a done", "b"]


def test_callables_registered_during_a_dispatch_wait_for_the_next(buffer, log):
    def early(msg):
        log.append(("early", msg.label))
        if msg.label == "a":
            f.register_callback(logger(log, "late"))

    f = MessageFilter(buffer, "map", 0, early)
    f.add(message(label="a"))
    f.add(message(label="b"))
    insert_matrix(buffer)
    assert log == [("early", "a"), ("early", "b")]
    f.add(message(label="c"))
    assert log[2:] == [("early", "c"), ("late", "c")]


def test_a_deleted_filter_is_not_woken(buffer, log):
    callback = logger(log, "gone")
    f = MessageFilter(buffer, "map", 0, callback)
    f.add(queued := message())
    watched = [weakref.ref(callback), weakref.ref(queued)]
    del f, callback, queued
    assert [ref() for ref in watched] == [None, None]  # the buffer keeps nothing of it alive
    insert_matrix(buffer)
    assert log == []


def test_a_wake_up_keeps_a_filter_that_a_callback_deletes(buffer, log):
    filters = {}

    def drop_second(msg):
        log.append(("first", msg.label))
        filters.pop("second")

    filters["first"] = MessageFilter(buffer, "map", 0, drop_second)
    filters["second"] = MessageFilter(buffer, "map", 0, logger(log, "second"))
    filters["first"].add(message(label="a"))
    filters["second"].add(message(label="b"))
    insert_matrix(buffer)
    assert log == [("first", "a"), ("second", "b")]


def test_threads_switching_inside_callbacks_never_wait_on_a_lock():
    # The GIL changes hands every few bytecodes, so threads often switch inside callbacks;
    # a lock held across Python code would deadlock here (the child is then killed).
    script = textwrap.dedent(
        """
        import sys, threading
        from types import SimpleNamespace
        from quilm_tf._native import MessageFilter, TransformBuffer
        I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]
        sys.setswitchinterval(1e-6)
        buffer = TransformBuffer(1000.0)
        counts, filters = {}, {}

        def work(t):
            def callback(msg):
                counts[t] += 1
                for other in list(filters.values()):
                    other.pending_count
                buffer.can_transform(f"base{t}", "map", 1)

            counts[t] = 0
            filters[t] = f = MessageFilter(buffer, "map", 0, callback)
            for sec in range(1, 301):
                stamp = SimpleNamespace(sec=sec, nanosec=0)
                f.add(SimpleNamespace(header=SimpleNamespace(frame_id=f"base{t}", stamp=stamp)))
                buffer.insert_transform("map", f"base{t}", I, sec * 10**9)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(sorted(counts.values()), [f.pending_count for f in filters.values()])
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[300, 300, 300, 300] [0, 0, 0, 0]"]
