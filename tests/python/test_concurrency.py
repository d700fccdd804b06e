"""Many Python threads on one buffer and its filters at once: inserts of every kind,
lookups, clearing, filters fed, created and dropped, callbacks that raise or call back
into the module, message finalizers and garbage collection, with the interpreter switching
threads as often as it can.

The module never releases the GIL, so a lock of the module held while Python code runs
would stall the whole process; the faulthandler watchdog then dumps every thread and ends
the run, and a join timeout catches a thread that stops making progress. Filters whose
callbacks never raise account for every message they were given.
"""

import faulthandler
import gc
import itertools
import math
import random
import sys
import threading
import time
from collections import Counter
from types import SimpleNamespace

import pytest

from quilm_tf._native import FilterFailureReason as Reason
from quilm_tf._native import MessageFilter, TransformBuffer, TransformError

RUN_SECONDS = 2.0
WATCHDOG_SECONDS = 120
STEP_NS = 10_000_000


class Boom(Exception):
    """Raised on purpose by the churning filters' callbacks."""


def shifted(x, y=0.0, z=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


def transform(parent, child, stamp_ns, x=0.0):
    return SimpleNamespace(
        header=SimpleNamespace(
            stamp=SimpleNamespace(sec=stamp_ns // 10**9, nanosec=stamp_ns % 10**9), frame_id=parent
        ),
        child_frame_id=child,
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=x, y=0.0, z=0.0),
            rotation=SimpleNamespace(x=0.0, y=0.0, z=0.0, w=1.0),
        ),
    )


class Message:
    """A stamped message; some carry a finalizer that calls into the buffer."""

    def __init__(self, ident, frame_id, stamp_ns):
        self.id = ident
        self.header = SimpleNamespace(
            stamp=SimpleNamespace(sec=stamp_ns // 10**9, nanosec=stamp_ns % 10**9),
            frame_id=frame_id,
        )


class Finalized(Message):
    buffer = None

    def __del__(self):
        Finalized.buffer.can_transform("base", "world", 1)


@pytest.fixture
def busy_interpreter():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(interval)


def test_threads_share_a_buffer_and_its_filters(busy_interpreter):
    buffer = TransformBuffer(1.0)
    Finalized.buffer = buffer
    buffer.insert_transform("world", "map", shifted(5.0), 0, True)
    stop = threading.Event()
    errors = []  # unexpected exceptions, with the thread that met them
    counts = Counter()
    clock = itertools.count(1)  # writer stamps, in steps
    newest = [0]
    ids = itertools.count()
    local = threading.local()

    def run(name, body):
        def loop():
            rng = random.Random(name)
            try:
                while not stop.is_set():
                    body(rng)
                    counts[name] += 1
            except BaseException as error:  # noqa: BLE001 - reported below, with the thread
                errors.append((name, repr(error)))
                stop.set()

        return threading.Thread(target=loop, name=name)

    def expect_boom(call):
        # Any insert or dispatch may wake a churning filter whose callback raises.
        try:
            call()
        except Boom:
            counts["boom"] += 1

    def write(rng):
        k = next(clock)
        newest[0] = k
        stamp = k * STEP_NS
        kind = rng.randrange(4)
        if kind == 0:
            expect_boom(lambda: buffer.insert_transform("map", "odom", shifted(k * 1e-3), stamp))
            expect_boom(lambda: buffer.insert_transform("/odom", "base", shifted(0.0, 1.0), stamp))
        elif kind == 1:
            expect_boom(
                lambda: buffer.insert_transform_stamped(transform("map", "odom", stamp, k * 1e-3))
            )
            expect_boom(lambda: buffer.insert_transform_stamped(transform("odom", "base", stamp)))
        elif kind == 2:
            message = SimpleNamespace(
                transforms=[transform("map", "odom", stamp), transform("odom", "base", stamp)]
            )
            expect_boom(lambda: buffer.insert_transform_message(message))
        elif rng.random() < 0.05:
            buffer.clear_dynamic()
            counts["clears"] += 1
        else:  # refused: the static map already has a parent; no wake-up follows
            with pytest.raises(TransformError):
                buffer.insert_transform("odom", "map", shifted(0.0), stamp, True)

    def read(rng):
        stamp = max(1, newest[0] - rng.randrange(5)) * STEP_NS
        frame = rng.choice(["base", "odom", "/map", "nowhere", ""])
        try:
            matrix = buffer.lookup(frame, "world", stamp)
        except TransformError:
            return
        assert all(math.isfinite(v) for row in matrix for v in row)
        assert matrix[3] == [0.0, 0.0, 0.0, 1.0]

    # Clean filters: callbacks that only record.
    clean = []
    for index in range(2):
        record = SimpleNamespace(added=[], delivered=[], failed=[])
        f = MessageFilter(buffer, "world", 20, lambda m, r=record: r.delivered.append(m.id))
        f.register_failure_callback(lambda m, reason, r=record: r.failed.append((m.id, reason)))
        clean.append((f, record))

    def feed(index):
        f, record = clean[index]

        def body(rng):
            ident = next(ids)
            frame = rng.choice(["base", "base", "/odom", "nowhere", "", "a/b"])
            stamp = max(1, newest[0] + rng.randrange(-3, 3)) * STEP_NS
            kind = Finalized if rng.random() < 0.1 else Message
            record.added.append(ident)
            f.add(kind(ident, frame, stamp))

        return body

    # Churning filters: made and dropped all the time, some with callbacks that raise,
    # insert, make filters or refer back to their own filter (a cycle for the collector).
    seen = Counter()

    def churn(rng):
        f = MessageFilter(buffer, rng.choice(["world", "map", "/odom"]), rng.choice([0, 1, 5]))

        def deliver(m, f=f):
            seen[m.id] += 1
            roll = rng.random()
            if roll < 0.2:
                raise Boom
            if roll < 0.3 and not getattr(local, "nested", False):
                local.nested = True
                try:
                    buffer.insert_transform(
                        "map", "odom", shifted(0.0), max(1, newest[0]) * STEP_NS
                    )
                    MessageFilter(buffer, "world", 1).add(Message(next(ids), "base", STEP_NS))
                finally:
                    local.nested = False

        def report(m, reason):
            if rng.random() < 0.2:
                raise Boom

        f.register_callback(deliver)
        f.register_failure_callback(report)
        for _ in range(rng.randrange(5)):
            expect_boom(
                lambda: f.add(
                    Message(
                        next(ids), rng.choice(["base", "odom", ""]), max(1, newest[0]) * STEP_NS
                    )
                )
            )
        if rng.random() < 0.3:
            expect_boom(f.dispatch)
        if rng.random() < 0.2:
            f.clear()
        # Dropped here, possibly with messages still queued.

    def collect(rng):
        gc.collect()
        time.sleep(0.02)

    bodies = {"writer-1": write, "writer-2": write, "reader-1": read, "reader-2": read}
    bodies |= {"feed-0": feed(0), "feed-1": feed(1), "churn": churn, "collector": collect}
    threads = [run(name, body) for name, body in bodies.items()]
    for thread in threads:
        thread.start()
    stop.wait(RUN_SECONDS)
    stop.set()
    for thread in threads:
        thread.join(timeout=30)
    assert not [t.name for t in threads if t.is_alive()], "threads that did not finish"
    assert errors == []
    print(f"\nrounds per thread: {dict(counts)}")
    for name in ("writer-1", "writer-2", "reader-1", "reader-2", "feed-0", "feed-1", "churn"):
        assert counts[name] >= 20, name  # every thread got real work done

    for f, record in clean:
        left = Counter(record.delivered) + Counter(ident for ident, _ in record.failed)
        assert all(n == 1 for n in left.values()), "a message left a filter twice"
        assert len(left) + f.pending_count == len(record.added), "a message was lost"
        # Order across threads is not kept: one dispatch drains under the lock, another may
        # drain and deliver a later batch while the first is still calling back.
        evicted = [ident for ident, reason in record.failed if reason == Reason.QUEUE_FULL]
        assert record.delivered and evicted
        print(
            f"clean filter: {len(record.added)} added, {len(record.delivered)} delivered, "
            f"{len(record.failed)} failed ({len(evicted)} evicted), {f.pending_count} pending"
        )
    assert all(n == 1 for n in seen.values()), "a churning filter delivered a message twice"
