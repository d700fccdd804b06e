# Python threads share one buffer and its filters: inserts of every kind, lookups, clearing,
# filters fed, made and dropped, callbacks that raise or insert, reference cycles left to the
# collector, with the interpreter switching threads as often as it can. Each thread does a
# fixed amount of work, so no outcome depends on how much CPU it gets. None of the calls made
# here releases the GIL, so a lock held while Python code runs would stall the process: the
# faulthandler watchdog then dumps every thread and ends the run.

import itertools
import random
import sys
import threading
from collections import Counter
from types import SimpleNamespace as NS

from quilm_tf._native import MessageFilter, TransformBuffer, TransformError

ROUNDS, STEP_NS = 400, 10_000_000
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def message(ident, frame_id, k, child=None):
    pose = NS(translation=NS(x=0.5, y=0.0, z=0.0), rotation=NS(x=0.0, y=0.0, z=0.0, w=1.0))
    return NS(
        id=ident,
        header=NS(stamp=NS(sec=k // 100, nanosec=k % 100 * STEP_NS), frame_id=frame_id),
        child_frame_id=child,
        transform=pose,
    )


def catch(call, expected=TransformError):
    try:
        return call()
    except expected as error:
        return error


def test_threads_share_a_buffer_and_its_filters(monkeypatch):
    buffer, errors, ids, newest, seen = TransformBuffer(1.0), [], itertools.count(), [1], Counter()

    # When callbacks of two churning filters raise on one insert, the inserting caller gets
    # the first and the second goes to sys.unraisablehook, as documented.
    def unraisable(report):
        if not isinstance(report.exc_value, KeyError):
            errors.append(repr(report.exc_value))

    monkeypatch.setattr(sys, "unraisablehook", unraisable)
    buffer.insert_transform("world", "map", I4, 0, True)
    # A clean filter, fed by one thread, and what it let go.
    left = Counter()
    clean = MessageFilter(buffer, "world", 20, lambda m: left.update([m.id]))
    clean.register_failure_callback(lambda m, reason: left.update([m.id]))

    def write(rng, k):
        newest[0], kind = k, rng.randrange(4)
        if kind == 0:
            buffer.insert_transform("map", "odom", I4, k * STEP_NS)
            buffer.insert_transform_stamped(message(0, "/odom", k, "base"))
        elif kind == 1:
            items = [message(0, "map", k, "odom"), message(0, "odom", k, "base")]
            buffer.insert_transform_message(NS(transforms=items))
        elif k % 7 == 0:
            buffer.clear_dynamic()

    def read(rng, k):
        frame = rng.choice(["base", "odom", "/map", ""])
        stamp = max(1, newest[0] - rng.randrange(5)) * STEP_NS
        catch(lambda: buffer.lookup(frame, "world", stamp))  # its answers are the core's

    def feed(rng, k):
        frame = rng.choice(["base", "/odom", "nowhere", "", "a/b"])
        clean.add(message(next(ids), frame, max(1, newest[0] + rng.randrange(-3, 3))))

    def churn(rng, k):
        # Dropped with messages queued; callbacks that raise, insert, or hold their own
        # filter (a cycle).
        f = MessageFilter(buffer, rng.choice(["world", "map", "/odom"]), rng.choice([0, 1, 5]))

        def deliver(m, f=f):
            seen[m.id] += 1
            if rng.random() < 0.1:
                buffer.insert_transform("map", "odom", I4, newest[0] * STEP_NS)
            if rng.random() < 0.2:
                raise KeyError(m.id)

        def fail(m, reason):
            if rng.random() < 0.2:
                raise KeyError(m.id)

        f.register_callback(deliver)
        f.register_failure_callback(fail)
        for _ in range(rng.randrange(5)):
            queued = message(next(ids), rng.choice(["base", "odom", ""]), newest[0])
            catch(lambda m=queued: f.add(m), KeyError)

    def run(body, seed):
        def loop():
            rng = random.Random(seed)
            for k in range(1, ROUNDS + 1):
                try:  # a churning filter's callback may raise through any call that wakes it
                    catch(lambda k=k: body(rng, k), KeyError)
                except BaseException as error:
                    errors.append(repr(error))

        return threading.Thread(target=loop)

    bodies = [write, write, read, read, churn, feed]
    threads = [run(body, seed) for seed, body in enumerate(bodies)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    # Every message the clean filter was given left it once, or is still queued.
    assert set(left.values()) <= {1}, "the clean filter let a message go twice"
    assert len(left) + clean.pending_count == ROUNDS
    assert set(seen.values()) <= {1}, "a churning filter delivered a message twice"
