# The README's examples run as printed, its set-up is two commands, its messages are real.
#
# Each ```python block runs on its own; when a ```text block follows it directly, that is the
# output it must print. The demo's output shown in the README is checked by the demo's tests.

import contextlib
import io
import math
import re
from pathlib import Path

import pytest

from quilm_tf import FrameError, MessageFilter, TransformBuffer, TransformError, demo, require_frame

TEXT = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
BLOCKS = list(re.finditer(r"^```(\w*)\n(.*?)^```\n", TEXT, re.M | re.S))


def section(title):
    return TEXT.split(f"\n## {title}\n")[1].split("\n## ")[0]


def examples():
    # Each python block with the text block right after it, if any, named by its heading.
    for block, after in zip(BLOCKS, BLOCKS[1:] + [None]):
        if block[1] == "python":
            shown = (
                after is not None
                and after[1] == "text"
                and not TEXT[block.end() : after.start()].strip()
            )
            heading = re.findall(r"^#+ (.+)$", TEXT[: block.start()], re.M)[-1]
            yield pytest.param(block[2], after[2] if shown else "", id=heading)


@pytest.mark.parametrize(("code", "expected"), list(examples()))
def test_python_examples_print_what_the_readme_shows(code, expected):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    assert out.getvalue() == expected


def test_most_examples_show_their_output_and_the_set_up_is_two_commands():
    assert sum(1 for param in examples() if param.values[1]) >= 6
    commands = [m[2].strip() for m in BLOCKS if m[1] == "sh" and m[0] in section("Set up")]
    assert commands == ["pip install . && python -m quilm_tf.demo", "./scripts/test"]


NS = 1_000_000_000
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def tree():
    buffer = TransformBuffer(10.0)
    for parent, child, stamp in (
        ("map", "odom", 100 * NS),
        ("odom", "base_link", 100 * NS),
        ("q", "r", 0),
    ):
        buffer.insert_transform(parent, child, I4, stamp, stamp == 0)
    return buffer


def stamped(sec=1, nanosec=0, w=1.0):
    transform = demo.Transform(demo.Vector3(0.0, 0.0, 0.0), demo.Quaternion(0.0, 0.0, 0.0, w))
    return demo.TransformStamped(demo.Header(demo.Time(sec, nanosec), "map"), "a", transform)


# What makes each message of the README's table happen, in the table's order.
TRIGGERS = [
    *(
        lambda f=f, s=s: tree().lookup(f, "map", s * NS)
        for f, s in (
            ("laser", 100),
            ("r", 100),
            ("base_link", 99),
            ("", 100),
            ("/robot1/base_link", 100),
        )
    ),
    *(
        lambda p=p, c=c: tree().insert_transform(p, c, I4, 101 * NS)
        for p, c in (("odom", "odom"), ("world", "odom"), ("base_link", "map"))
    ),
    lambda: tree().insert_transform("odom", "base_link", I4, 0, True),
    lambda: tree().insert_transform("odom", "base_link", I4, 0),
    lambda: tree().insert_transform("odom", "x", [[2.0, 0, 0, 0]] + I4[1:], NS),
    lambda: tree().insert_transform("odom", "x", [[1.0, 0, 0, math.nan]] + I4[1:], NS),
    lambda: tree().insert_transform_stamped(stamped(w=0.5)),
    lambda: MessageFilter(tree(), "map", 1).set_target_frames([]),
    lambda: require_frame("laser", "base_link", "scan matcher"),
    lambda: tree().insert_transform("odom", "x", I4[:3], NS),
    lambda: tree().lookup("odom", "map", 2**31 * NS),
    lambda: tree().insert_transform_stamped(stamped(sec=-1)),
    lambda: tree().insert_transform_stamped(stamped(nanosec=NS)),
    lambda: TransformBuffer(-1.0),
    lambda: MessageFilter(tree(), "map", 1).register_callback(None),
]


def test_the_error_table_shows_the_librarys_own_messages():
    # A row lists one message or several, then the exception type if not TransformError.
    rows = re.findall(r"^\| `(.+?)`(?: \(`(\w+)`\))? \|", section("Error messages"), re.M)
    table = [
        (kind or "TransformError", text) for texts, kind in rows for text in texts.split("`, `")
    ]
    raised = []
    for trigger in TRIGGERS:
        with pytest.raises((TransformError, FrameError, ValueError)) as info:
            trigger()
        raised.append((type(info.value).__name__, str(info.value)))
    assert raised == table
