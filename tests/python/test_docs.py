"""The README and the documentation pages run as printed; the set-up is two commands; the error
table shows the library's own messages.

Each page runs in a fresh temporary folder: its ```python blocks in order in one namespace,
each printing exactly the ```text block right after it (nothing, without one), and every
`$ ` line of its ```console blocks as a shell command that must exit 0. A block right after
the line `<!-- needs: ros -->` runs only in the live ROS 2 environment, whose runner calls
`run_page(page, "ros")`.
"""

import contextlib
import io
import math
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from quilm_tf import FrameError, MessageFilter, TransformBuffer, TransformError, demo, require_frame

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)
NEEDS_ROS = "<!-- needs: ros -->"


def samples(text):
    """(kind, code, expected stdout or None, needs ros, line) of the blocks that run."""
    blocks = list(BLOCK.finditer(text))
    for block, after in zip(blocks, blocks[1:] + [None]):
        if block[1] not in ("python", "console"):
            continue
        expected = None
        if block[1] == "python":
            shown = after is not None and after[1] == "text"
            expected = after[2] if shown and not text[block.end() : after.start()].strip() else ""
        needs_ros = text[: block.start()].rstrip().endswith(NEEDS_ROS)
        yield block[1], block[2], expected, needs_ros, text.count("\n", 0, block.start()) + 2


def run_console(line, where, folder):
    # The console scripts of the interpreter running the tests come first on PATH.
    path = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    done = subprocess.run(
        line,
        shell=True,
        cwd=folder,
        env=dict(os.environ, PATH=path, PYTHONIOENCODING="utf-8"),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"{where}: `{line}` exited {done.returncode}:\n{done.stderr}"


def run_page(page, which="offline"):
    """Runs the samples of a page: "offline" skips the blocks that need ROS, "ros" runs only
    those. Returns how many blocks ran."""
    page = Path(page)
    text, ran = page.read_text(encoding="utf-8"), 0
    namespace = {"__name__": f"docs_{page.stem}"}
    with tempfile.TemporaryDirectory() as folder, contextlib.chdir(folder):
        for kind, code, expected, needs_ros, line in samples(text):
            if needs_ros != (which == "ros"):
                continue
            where = f"{page.name}:{line}"
            if kind == "console":
                for command in code.splitlines():
                    if command.startswith("$ "):
                        run_console(command[2:], where, folder)
            else:
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    exec(compile(code, where, "exec"), namespace)
                assert out.getvalue() == expected, f"{where} printed something else"
            ran += 1
    return ran


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_every_sample_of_a_page_runs_as_shown(page):
    run_page(page)


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


# What makes each message of the error table happen, in the table's order.
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
    errors = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| `(.+?)`(?: \(`(\w+)`\))? \|", errors, re.M)
    table = [
        (kind or "TransformError", text) for texts, kind in rows for text in texts.split("`, `")
    ]
    raised = []
    for trigger in TRIGGERS:
        with pytest.raises((TransformError, FrameError, ValueError)) as info:
            trigger()
        raised.append((type(info.value).__name__, str(info.value)))
    assert raised == table
