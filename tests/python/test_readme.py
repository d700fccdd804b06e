"""The README's examples run as printed, its demo output is the demo's, its messages are real.

Each ```python block runs on its own; when a ```text block follows it directly, that is the
output it must print.
"""

import contextlib
import io
import math
import os
import re
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from quilm_tf._native import (
    FrameError,
    MessageFilter,
    TransformBuffer,
    TransformError,
    require_frame,
)

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def blocks():
    """(language, body, end offset) of every fenced block, in order."""
    text = README.read_text(encoding="utf-8")
    return text, [(m[1], m[2], m.start(), m.end()) for m in FENCE.finditer(text)]


def examples():
    text, found = blocks()
    pairs = []
    for i, (language, body, start, _) in enumerate(found):
        if language != "python":
            continue
        expected = None
        if i + 1 < len(found) and found[i + 1][0] == "text":
            between = text[found[i][3]:found[i + 1][2]]
            if not between.strip():
                expected = found[i + 1][1]
        heading = re.findall(r"^#+ (.+)$", text[:start], re.M)[-1]
        pairs.append(pytest.param(body, expected, id=heading))
    return pairs


@pytest.mark.parametrize(("code", "expected"), examples())
def test_python_examples_print_what_the_readme_shows(code, expected):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {"__name__": "readme"})
    if expected is not None:
        assert out.getvalue() == expected
    else:
        assert out.getvalue() == ""


def test_every_example_is_found_and_most_show_their_output():
    found = examples()
    assert len(found) >= 6
    assert sum(param.values[1] is not None for param in found) >= 6


def masked(text):
    # Throughput differs from run to run; everything else is deterministic.
    return re.sub(r"^(  (?:inserts|lookups)) +[\d,]+", r"\1 N", text, flags=re.M)


def test_the_demo_output_shown_is_the_demos(tmp_path):
    text, found = blocks()
    shown = next(body for language, body, _, _ in found if body.startswith("quilm-tf demo:"))
    run = subprocess.run(
        [sys.executable, "-m", "quilm_tf.demo"], cwd=tmp_path, capture_output=True, text=True,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"), timeout=120,
    )
    assert run.returncode == 0
    assert masked(run.stdout) == masked(shown)
    # The prose quotes the figures of the output it shows.
    inserts, lookups = re.findall(r"^  (?:inserts|lookups) +([\d,]+)", shown, re.M)
    prose = " ".join(text.split())
    assert f"{inserts} inserts/s" in prose and f"{lookups} lookups/s" in prose


def test_the_set_up_is_exactly_two_commands():
    _, found = blocks()
    section = README.read_text(encoding="utf-8").split("## Set up")[1].split("\n## ")[0]
    commands = [body.strip() for language, body, _, _ in found
                if language == "sh" and body in section]
    assert commands == ["pip install . && python -m quilm_tf.demo", "./scripts/test"]


NS = 1_000_000_000
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


def tree():
    buffer = TransformBuffer(10.0)
    buffer.insert_transform("map", "odom", IDENTITY, 100 * NS)
    buffer.insert_transform("odom", "base_link", IDENTITY, 100 * NS)
    buffer.insert_transform("q", "r", IDENTITY, 0, True)
    return buffer


def stamped(sec=1, nanosec=0, w=1.0):
    return SimpleNamespace(
        header=SimpleNamespace(stamp=SimpleNamespace(sec=sec, nanosec=nanosec), frame_id="map"),
        child_frame_id="a",
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=0.0, y=0.0, z=0.0),
            rotation=SimpleNamespace(x=0.0, y=0.0, z=0.0, w=w),
        ),
    )


# What makes each message of the README's table happen, row by row.
TRIGGERS = [
    [lambda: tree().lookup("laser", "map", 100 * NS)],
    [lambda: tree().lookup("r", "map", 100 * NS)],
    [lambda: tree().lookup("base_link", "map", 99 * NS)],
    [lambda: tree().lookup("", "map", 100 * NS)],
    [lambda: tree().lookup("/robot1/base_link", "map", 100 * NS)],
    [lambda: tree().insert_transform("odom", "odom", IDENTITY, 101 * NS)],
    [lambda: tree().insert_transform("world", "odom", IDENTITY, 101 * NS)],
    [lambda: tree().insert_transform("base_link", "map", IDENTITY, 101 * NS)],
    [lambda: tree().insert_transform("odom", "base_link", IDENTITY, 0, True)],
    [lambda: tree().insert_transform("odom", "base_link", IDENTITY, 0)],
    [lambda: tree().insert_transform("odom", "x", [[2.0, 0, 0, 0]] + IDENTITY[1:], NS)],
    [lambda: tree().insert_transform("odom", "x", [[1.0, 0, 0, math.nan]] + IDENTITY[1:], NS)],
    [lambda: tree().insert_transform_stamped(stamped(w=0.5))],
    [lambda: MessageFilter(tree(), "map", 1).set_target_frames([])],
    [lambda: require_frame("laser", "base_link", "scan matcher")],
    [lambda: tree().insert_transform("odom", "x", IDENTITY[:3], NS)],
    [lambda: tree().lookup("odom", "map", 2**31 * NS)],
    [lambda: tree().insert_transform_stamped(stamped(sec=-1)),
     lambda: tree().insert_transform_stamped(stamped(nanosec=NS))],
    [lambda: TransformBuffer(-1.0)],
    [lambda: MessageFilter(tree(), "map", 1).register_callback(None)],
]


def table_rows():
    """(messages, exception type name) of each row of the README's table of messages."""
    section = README.read_text(encoding="utf-8").split("## Error messages")[1].split("\n## ")[0]
    rows = re.findall(r"^\| `(.+?)`(?: \(`(\w+)`\))? \|", section, re.M)
    return [(message.split("`, `"), kind or "TransformError") for message, kind in rows]


def test_the_error_table_has_a_trigger_for_every_row():
    assert len(table_rows()) == len(TRIGGERS)


@pytest.mark.parametrize("row", range(len(TRIGGERS)))
def test_the_error_table_shows_the_librarys_own_messages(row):
    messages, kind = table_rows()[row]
    for trigger, message in zip(TRIGGERS[row], messages, strict=True):
        with pytest.raises((TransformError, FrameError, ValueError)) as info:
            trigger()
        assert (type(info.value).__name__, str(info.value)) == (kind, message)
