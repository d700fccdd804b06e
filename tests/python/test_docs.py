"""The README and the documentation pages run as printed; the set-up is two commands.

Each page runs in a fresh temporary folder: its ```python blocks in order in one namespace,
each printing exactly the ```text block right after it (nothing, without one), and every
`$ ` line of its ```console blocks as a shell command that must exit 0. A block right after
the line `<!-- needs: ros -->` runs only in the live ROS 2 environment, whose runner calls
`run_page(page, "ros")`.
"""

import contextlib
import io
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

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
