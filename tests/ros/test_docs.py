# The live page of the documentation runs as its readers would run it: its python blocks
# marked <!-- needs: ros --> in order, in one namespace, in a fresh working directory, each
# ```text block right after one being exactly what it prints.

import contextlib
import io
import re
from pathlib import Path

import rclpy

PAGE = Path(__file__).parents[2] / "docs" / "ros.md"
BLOCK = re.compile(r"(<!-- needs: ros -->\n)?```(\w+)\n(.*?)```\n", re.S)


def live_blocks(text):
    """(code, expected output or None) of the python blocks marked for the live environment."""
    blocks = [
        (m.group(1) is not None, m.group(2), m.group(3), m.end()) for m in BLOCK.finditer(text)
    ]
    found = []
    for i, (live, kind, body, end) in enumerate(blocks):
        if live and kind == "python":
            after = blocks[i + 1] if i + 1 < len(blocks) else None
            follows = after is not None and after[1] == "text" and text[end:].startswith("```text")
            found.append((body, after[2] if follows else None))
    return found


def test_the_live_page_runs_and_prints_what_it_shows(tmp_path, monkeypatch):
    blocks = live_blocks(PAGE.read_text())
    assert len(blocks) >= 2, "the page has its live blocks"
    monkeypatch.chdir(tmp_path)
    # The page starts and ends its own ROS context; the suite's is left aside meanwhile.
    rclpy.shutdown()
    namespace = {"__name__": "docs_ros"}
    try:
        for number, (code, expected) in enumerate(blocks, 1):
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                exec(compile(code, f"{PAGE.name} block {number}", "exec"), namespace)
            if expected is not None:
                assert printed.getvalue() == expected, f"block {number} printed"
    finally:
        # A page that stopped half-way leaves its nodes in its context: end them with it.
        rclpy.try_shutdown()
        rclpy.init()
