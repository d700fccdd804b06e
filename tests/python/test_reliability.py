import pytest

PRELUDE = """
import os, resource, sys, threading, time
from types import SimpleNamespace as NS
from quilm_tf._native import MessageFilter, TransformBuffer
I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]
buffer, inside, tids = TransformBuffer(10.0), threading.Event(), []
f = MessageFilter(buffer, "map", 0)
stamp = NS(sec=1, nanosec=0)
msg = lambda frame="base": NS(header=NS(frame_id=frame, stamp=stamp))

def stall(*_):  # called from inside one of our calls; gives the GIL up forever
    tids.append(threading.get_native_id())
    inside.set()
    while True:
        time.sleep(0.001)

class Stalls:  # an index, an iterator and a payload's release that stall
    __index__ = __next__ = __del__ = stall
    __iter__ = lambda self: self

link = lambda: buffer.insert_transform("map", "base", I, 10**9)

def ended_at_exit():
    # Finalization flushes stdout after it has marked the interpreter as exiting, so this
    # runs while the stalled thread is still inside our call. It waits (boundedly) until
    # the interpreter has ended that thread, which happens when the thread next asks for
    # the GIL, and says so: a program that exits before the thread is ended proves nothing.
    deadline = time.monotonic() + 30
    while os.path.exists(f"/proc/self/task/{tids[0]}") and time.monotonic() < deadline:
        time.sleep(0.001)
    os.write(1, b"gone" if not os.path.exists(f"/proc/self/task/{tids[0]}") else b"alive")
"""


# Each program leaves a daemon thread stalled inside one of our calls (the stall signals
# from within it) and exits; the interpreter ends that thread by a forced unwind through
# our frames, which must neither be swallowed nor abort the process.
@pytest.mark.parametrize(
    ("setup", "call"),
    [
        ("f.register_callback(stall); f.add(msg())", "link()"),
        ("f.register_failure_callback(stall)", 'f.add(msg(""))'),
        ("", 'buffer.lookup("base", "map", Stalls())'),
        ("", "buffer.insert_transform_message(NS(transforms=Stalls()))"),
        ("f.add(NS(header=msg().header, payload=Stalls()))", "f.clear()"),
    ],
)  # fmt: skip
def test_exit_with_a_daemon_thread_inside_a_call_exits_cleanly(child, setup, call):
    script = f"""
        {setup}
        threading.Thread(target=lambda: {call}, daemon=True).start()
        assert inside.wait(30), "the thread never got inside the call"
        sys.stdout = NS(flush=ended_at_exit)
    """
    assert child(PRELUDE, script).split() == ["gone"]


def test_memory_error_changes_nothing_and_does_not_poison(child):
    # A name too large to copy, under an address-space limit: each call raises MemoryError
    # (an Exception), and the buffer and filter keep their contents and keep working.
    script = """
        name = "x" * (300 << 20)
        buffer.insert_transform("map", "base", I, 10**9)
        f.add(msg("odom"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), hard))
        for call in (lambda: buffer.insert_transform("map", name, I, 10**9),
                     lambda: buffer.insert_transform(name, "odom", I, 10**9, is_static=True),
                     lambda: f.add(msg(name)), lambda: f.set_target_frame(name),
                     lambda: f.set_target_frames(["map", name])):
            try:
                call()
            except Exception as error:
                print(type(error).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(buffer.lookup("base", "map", 10**9)[0][0], f.pending_count, *f.target_frames)
        buffer.insert_transform("map", "odom", I, 10**9)
        print(f.pending_count)
        """
    out = child(PRELUDE, script).split()
    assert out == ["MemoryError"] * 5 + ["1.0", "1", "map", "0"]
