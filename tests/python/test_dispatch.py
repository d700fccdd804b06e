import weakref

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformError

IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


class Boom(Exception):
    pass


def logger(log, name, raise_on=()):
    """Logs (name, label[, reason]) of each call; raises Boom for the labels in raise_on."""

    def callback(msg, *reason):
        log.append((name, msg.label, *reason))
        if msg.label in raise_on:
            raise Boom(name)

    return callback


INSERTS = {
    "matrix": lambda buffer, ros: buffer.insert_transform("map", "base", IDENTITY, 1, is_static=True),
    "stamped": lambda buffer, ros: buffer.insert_transform_stamped(ros.transform_stamped("map", "base"), is_static=True),
    "list": lambda buffer, ros: buffer.insert_transform_message(ros.tf_message(ros.transform_stamped("map", "base")), True),
}


def link(buffer, child="base"):
    buffer.insert_transform("map", child, IDENTITY, 1, is_static=True)


@pytest.mark.parametrize("insert", INSERTS.values(), ids=INSERTS.keys())
def test_an_insert_delivers_what_it_makes_ready_in_order(buffer, log, ros, insert):
    f = MessageFilter(buffer, "map", 0, logger(log, "first"))
    f.register_callback(logger(log, "second"))
    for frame, label in (("base", "a"), ("base", "b"), ("elsewhere", "blocked"), ("base", "behind")):
        f.add(ros.message(frame, label=label))
    insert(buffer, ros)
    assert log == [("first", "a"), ("second", "a"), ("first", "b"), ("second", "b")]
    assert f.pending_count == 2


def test_failures_come_before_ready_deliveries(buffer, log, ros):
    link(buffer)
    f = MessageFilter(buffer, "map", 1, logger(log, "ready"))
    f.register_failure_callback(logger(log, "failed"))
    f.add(ros.message("elsewhere", label="old"))
    f.add(ros.message(label="new"))
    assert log == [("failed", "old", Reason.QUEUE_FULL), ("ready", "new")]


def test_one_reason_object_per_dropped_message(buffer, ros):
    seen = []
    f = MessageFilter(buffer, "map", 1)
    for _ in range(2):
        f.register_failure_callback(lambda m, r: seen.append(r))
    for _ in range(3):
        f.add(ros.message("elsewhere"))
    first, again, second, _ = seen
    assert first is again and first is not second
    assert first == Reason.QUEUE_FULL and first is not Reason.QUEUE_FULL


def test_a_raising_failure_callback_stops_the_dispatch(buffer, log, ros):
    link(buffer)
    f = MessageFilter(buffer, "map", 0, logger(log, "ready"))
    f.register_failure_callback(logger(log, "failed 1", raise_on=("x",)))
    f.register_failure_callback(logger(log, "failed 2"))
    for label in ("x", "y"):
        f.add(ros.message("elsewhere", label=label))
    f.add(ros.message(label="z"))  # queued behind the blocked ones
    with pytest.raises(Boom, match="failed 1"):
        f.set_queue_size(1)
    # x's second failure callback, y's failure callbacks and z's delivery never happen,
    # and nothing comes back: they already left the queue.
    assert log == [("failed 1", "x", Reason.QUEUE_FULL)]
    assert f.pending_count == 0
    f.dispatch()
    assert len(log) == 1


def test_a_raising_callback_stops_the_dispatch_and_fails_the_insert(buffer, log, ros):
    f = MessageFilter(buffer, "map", 0, logger(log, "first", raise_on=("a",)))
    f.register_callback(logger(log, "second"))
    f.add(ros.message(label="a"))
    f.add(ros.message(label="b"))
    with pytest.raises(Boom, match="first"):
        link(buffer)
    assert log == [("first", "a")]
    assert f.pending_count == 0
    assert buffer.can_transform("base", "map", 1)  # the insert itself stays


def test_a_refused_list_entry_outranks_a_callback_error(buffer, log, ros):
    f = MessageFilter(buffer, "map", 0, logger(log, "cb", raise_on=("a",)))
    f.add(ros.message(label="a"))
    good, self_parent = ros.transform_stamped("map", "base"), ros.transform_stamped("odom", "odom")
    with pytest.raises(TransformError):
        buffer.insert_transform_message(ros.tf_message(good, self_parent), is_static=True)
    assert log == [("cb", "a")]  # the insert before the refusal still woke the filter


def test_a_raising_filter_leaves_the_later_filters_queued(buffer, log, ros):
    first = MessageFilter(buffer, "map", 0, logger(log, "first", raise_on=("a",)))
    second = MessageFilter(buffer, "map", 0, logger(log, "second"))
    first.add(ros.message(label="a"))
    second.add(ros.message(label="b"))
    with pytest.raises(Boom):
        link(buffer)
    assert (log, second.pending_count) == ([("first", "a")], 1)
    second.dispatch()
    assert log == [("first", "a"), ("second", "b")]


@pytest.mark.parametrize("nested", ["add", "insert"])
def test_nested_calls_complete_inside_the_callback(buffer, log, ros, nested):
    link(buffer)

    def callback(msg):
        log.append(msg.label)
        if msg.label == "a":
            if nested == "add":
                f.add(ros.message(label="inner"))
            else:
                link(buffer, "odom")
            log.append("a done")

    f = MessageFilter(buffer, "map", 0, callback)
    for frame, label in (("elsewhere", "head"), ("base", "a"), ("base", "b")):
        f.add(ros.message(frame, label=label))
    if nested == "insert":
        f.add(ros.message("odom", label="inner"))  # left queued by the outer dispatch
    link(buffer, "elsewhere")
    assert log == ["head", "a", "inner", "a done", "b"]


def test_callables_registered_during_a_dispatch_wait_for_the_next(buffer, log, ros):
    def early(msg):
        log.append(("early", msg.label))
        if msg.label == "a":
            f.register_callback(logger(log, "late"))

    f = MessageFilter(buffer, "map", 0, early)
    f.add(ros.message(label="a"))
    f.add(ros.message(label="b"))
    link(buffer)
    assert log == [("early", "a"), ("early", "b")]
    f.add(ros.message(label="c"))
    assert log[2:] == [("early", "c"), ("late", "c")]


def test_a_deleted_filter_is_not_woken(buffer, log, ros):
    callback = logger(log, "gone")
    f = MessageFilter(buffer, "map", 0, callback)
    f.add(queued := ros.message())
    watched = [weakref.ref(callback), weakref.ref(queued)]
    del f, callback, queued
    assert [ref() for ref in watched] == [None, None]  # the buffer keeps nothing of it alive
    link(buffer)
    assert log == []


def test_a_wake_up_keeps_a_filter_that_a_callback_deletes(buffer, log, ros):
    filters = {}

    def drop_second(msg):
        log.append(("first", msg.label))
        filters.pop("second")

    filters["first"] = MessageFilter(buffer, "map", 0, drop_second)
    filters["second"] = MessageFilter(buffer, "map", 0, logger(log, "second"))
    filters["first"].add(ros.message(label="a"))
    filters["second"].add(ros.message(label="b"))
    link(buffer)
    assert log == [("first", "a"), ("second", "b")]
