"""Text layout shared by the reports: counted nouns, wrapped messages, aligned tables, stamps."""

from __future__ import annotations

import textwrap
from collections.abc import Container, Mapping, Sequence
from typing import TextIO

from quilm_tf.tools.messages import NS_PER_SECOND as NS_PER_SECOND

MS = NS_PER_SECOND // 1000


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def wrapped(text: str, first_indent: int, indent: int) -> str:
    # Error texts are long: wrapped within 100 columns, never inside a word or a name.
    return (
        textwrap.fill(
            text,
            100,
            initial_indent=" " * first_indent,
            subsequent_indent=" " * indent,
            break_long_words=False,
            break_on_hyphens=False,
        )
        + "\n"
    )


def seconds(stamp_ns: int) -> str:
    """A stamp in seconds with milliseconds, exact for any stamp (no float rounding)."""
    ms = (stamp_ns + MS // 2) // MS
    return f"{ms // 1000}.{ms % 1000:03d}"


def table(rows: Sequence[Sequence[str]], right: Container[int] = ()) -> list[str]:
    """Rows of cells as lines with aligned columns; columns in right are right-aligned.

    A row shorter than the header leaves its last columns empty."""
    widths = [max(len(row[i]) for row in rows if i < len(row)) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [
            cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            for i, cell in enumerate(row)
        ]
        lines.append("  ".join(cells).rstrip())
    return lines


def write_refusals(out: TextIO, refused: Mapping[str, int]) -> None:
    if refused:
        total = sum(refused.values())
        out.write(f"  {plural(total, 'transform')} refused, for example:\n")
        for text in list(refused)[:3]:
            out.write(wrapped(text, 4, 6))
