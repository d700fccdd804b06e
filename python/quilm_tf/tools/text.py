"""Text layout shared by the reports: counted nouns, wrapped messages, aligned tables, stamps."""

from __future__ import annotations

import textwrap
from collections.abc import Collection, Sequence
from typing import TYPE_CHECKING

from quilm_tf._native import _escape_name
from quilm_tf.stamps import NS_PER_SECOND

if TYPE_CHECKING:
    from quilm_tf.tools.bags import Refusals, Stream

MS = NS_PER_SECOND // 1000


def name(text: str) -> str:
    """A name read from a bag as the library's messages write it: printable characters as
    they are, the rest escaped, so that a name can neither forge a line nor drive a terminal."""
    # surrogatepass keeps a lone surrogate visible: its bytes are escaped as not UTF-8.
    return _escape_name(text.encode("utf-8", "surrogatepass"))


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
    if stamp_ns < 0:
        return "-" + seconds(-stamp_ns)
    ms = (stamp_ns + MS // 2) // MS
    return f"{ms // 1000}.{ms % 1000:03d}"


def table(rows: Sequence[Sequence[str]], right: Collection[int] = ()) -> list[str]:
    """Rows of cells as lines with aligned columns; columns in right are right-aligned.

    A row shorter than the header leaves its last columns empty."""
    widths = [max(len(row[i]) for row in rows if i < len(row)) for i in range(len(rows[0]))]
    lines: list[str] = []
    for row in rows:
        cells = [
            cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            for i, cell in enumerate(row)
        ]
        lines.append("  ".join(cells).rstrip())
    return lines


def write_refusals(out: Stream, refused: Refusals, skipped: dict[str, int] | None = None) -> None:
    """What was left out of a report: transforms refused (each reason with the stamp and
    topic of its first transform) and messages on tf topics that are not tf messages."""
    for key, count in (skipped or {}).items():
        out.write(f"  {plural(count, 'message')} on {name(key)} skipped: not tf messages\n")
    if not refused:
        return
    total, reasons = refused.total(), list(refused.reasons.items())
    if total == 1:
        out.write("  1 transform refused:\n")
    else:
        out.write(f"  {plural(total, 'transform')} refused, for example:\n")
    for text, (count, stamp_ns, topic) in reasons[:3]:
        out.write(wrapped(text, 4, 6))
        when = "unstamped" if stamp_ns is None else f"stamped {seconds(stamp_ns)}"
        first = "" if count == 1 else f"{count:,} like it, the first "
        out.write(f"      ({first}{when} on {name(topic)})\n")
    if len(reasons) > 3:
        out.write(f"    and {plural(len(reasons) - 3, 'other reason')}\n")
