"""Where the commands write: stdout, and the files their options name (SVG, Graphviz, CSV, JSON,
plots), `-` meaning stdout for every one. Files are checked before a bag is read, so that a long
read does not end in a path that cannot be written."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from pathlib import Path
from typing import TextIO

from quilm_tf.tools.bags import BagError, Stream


class Stdout:
    """stdout that a closed pipe silences instead of failing.

    When the reader stops reading (`| head -1`) what is left to print is dropped and the
    command goes on, so that the files it was asked to write are still written whole."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.closed_pipe = False

    def write(self, text: str, /) -> None:
        if self.closed_pipe:
            return
        try:
            self.stream.write(text)
        except BrokenPipeError:
            self._silence()

    def flush(self) -> None:
        if self.closed_pipe:
            return
        try:
            self.stream.flush()
        except BrokenPipeError:
            self._silence()

    def _silence(self) -> None:
        self.closed_pipe = True
        # The interpreter flushes stdout once more at exit; pointed at /dev/null that flush
        # cannot fail and print its own complaint.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), self.stream.fileno())

    def isatty(self) -> bool:
        return self.stream.isatty()

    @property
    def encoding(self) -> str | None:
        return getattr(self.stream, "encoding", None)


def check_outputs(options: dict[str, str | None]) -> str | None:
    """Checks the output options given as {option: name or None}: each file can be written,
    and at most one of them is stdout. Returns the option that writes to stdout, or None."""
    to_stdout = [option for option, name in options.items() if name == "-"]
    if len(to_stdout) > 1:
        raise BagError(f"{' and '.join(to_stdout)} cannot both write to stdout (-)", 2)
    for name in options.values():
        if name and name != "-":
            check_writable(name)
    return to_stdout[0] if to_stdout else None


def check_writable(name: str) -> None:
    path = Path(name)
    parent = path.parent
    if path.is_dir():
        why = "it is a folder"
    elif not parent.is_dir():
        why = f"there is no folder {parent}"
    elif not os.access(parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        why = "permission denied"
    else:
        return
    raise BagError(f"cannot write {name}: {why}", 2)


@contextlib.contextmanager
def opened(name: str, out: Stream) -> Iterator[Stream]:
    """A text stream for an output option: out for `-`, else the file, written whole or
    reported as BagError."""
    if name == "-":
        yield out
        return
    try:
        with open(name, "w", encoding="utf-8", newline="") as file:
            yield file
    except OSError as error:
        raise BagError(f"cannot write {name}: {error.strerror}") from None


def write_text(name: str, text: str, out: Stream) -> None:
    with opened(name, out) as file:
        file.write(text)
