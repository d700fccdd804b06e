import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import resource, sys, threading, time
from types import SimpleNamespace as NS
from quilm_tf._native import MessageFilter, TransformBuffer
I = [[1.0, 0, 0, 0], [0, 1.0, 0, 0], [0, 0, 1.0, 0], [0, 0, 0, 1.0]]
buffer, inside = TransformBuffer(10.0), threading.Event()
f = MessageFilter(buffer, "map", 0)
stamp = NS(sec=1, nanosec=0)
msg = lambda frame="base", header=None: NS(header=header or NS(frame_id=frame, stamp=stamp))

def stall(*_, pause=0.001):  # gives the GIL up (sleeping, or spinning if no pause) forever
    inside.set()
    while True:
        pause and time.sleep(pause)

class Stalls:  # a header, an index and an iterator that stall
    stamp, frame_id = NS(sec=1, nanosec=0), property(stall)
    __index__ = __next__ = stall
    __iter__ = lambda self: self
"""


def run(script):
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                            capture_output=True, text=True, timeout=120)  # fmt: skip
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


# Each program leaves a daemon thread inside one of our calls, running Python code that
# gives up the GIL, and exits. The interpreter ends that thread by a forced unwind once it
# finalizes; a stdout whose flush sleeps lets the thread wake up before the process is gone.
@pytest.mark.parametrize(
    "setup, call",
    [
        ("f.register_callback(stall); f.add(msg())", 'buffer.insert_transform("map", "base", I, 10**9)'),
        ("f.register_callback(lambda m: stall(pause=0)); f.add(msg())", 'buffer.insert_transform("map", "base", I, 10**9)'),
        ("f.register_failure_callback(stall)", 'f.add(msg(""))'),
        ("", 'buffer.lookup("base", "map", Stalls())'),
        ("", "f.add(msg(header=Stalls()))"),
        ("", "buffer.insert_transform_message(NS(transforms=Stalls()))"),
        ("f.add(NS(header=msg().header, payload=type('R', (), {'__del__': stall})()))", "f.clear()"),
    ],
)  # fmt: skip
def test_exit_with_a_daemon_thread_inside_a_call_exits_cleanly(setup, call):
    run(f"{setup}\nthreading.Thread(target=lambda: {call}, daemon=True).start()\ninside.wait()\n"
        "sys.stdout = NS(flush=lambda: time.sleep(0.05))")  # fmt: skip


def test_memory_error_changes_nothing_and_does_not_poison():
    # A name too large to copy, under an address-space limit: each call raises MemoryError
    # (an Exception), and the buffer and filter keep their contents and keep working.
    out = run(
        """
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
    )
    assert out == ["MemoryError"] * 5 + ["1.0", "1", "map", "0"]
