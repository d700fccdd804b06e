"""The frame tree as seen in a stream of accepted transforms, with per-link statistics."""

from __future__ import annotations

import statistics
from array import array
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.text import name

if TYPE_CHECKING:
    from quilm_tf.tools.bags import Out

# A frame in walk order: (frame, depth, is_last_sibling, is_last flags of its ancestors).
Walked = tuple[str, int, bool, tuple[bool, ...]]

# Deeper trees draw their branch lines from the depth given as a number.
MAX_DRAWN_DEPTH = 16


@dataclass
class Link:
    """One parent -> child link; stamps and delays are kept only by a tree that times links."""

    parent: str
    is_static: bool
    samples: int = 0
    first_ns: int = 0
    last_ns: int = 0
    stamps_ns: array[int] = field(default_factory=lambda: array("q"))
    delays_ns: array[int] = field(default_factory=lambda: array("q"))

    def rate_hz(self) -> float | None:
        """Samples per second over the stamps' span, or None for fewer than two stamps."""
        span = (self.last_ns - self.first_ns) / NS_PER_SECOND
        return (self.samples - 1) / span if span > 0 else None

    def intervals_ns(self) -> list[int]:
        """Differences of consecutive stamps in time order (a repeated stamp gives 0)."""
        stamps = sorted(self.stamps_ns)
        return [b - a for a, b in zip(stamps, stamps[1:])]

    def largest_gap(self) -> tuple[int, int] | None:
        """(gap_ns, stamp_ns at which it starts), or None for fewer than two stamps."""
        stamps = sorted(self.stamps_ns)
        if len(stamps) < 2:
            return None
        return max((b - a, a) for a, b in zip(stamps, stamps[1:]))

    def median_interval_ns(self) -> float | None:
        intervals = self.intervals_ns()
        return statistics.median(intervals) if intervals else None

    def delay_ns(self) -> tuple[float, int] | None:
        """(mean, max) of receive time minus stamp, or None without receive times."""
        if not self.delays_ns:
            return None
        return sum(self.delays_ns) / len(self.delays_ns), max(self.delays_ns)


def rate_text(rate: float | None) -> str:
    if rate is None:
        return " " * 8
    return f"{rate:5.0f} Hz" if rate >= 10 else f"{rate:5.1f} Hz"


class FrameTree:
    """Links by child frame, in the order first seen; names as the buffer stores them.

    Only transforms that a buffer accepted are added, so every frame has at most one parent
    and the links form a forest.
    """

    def __init__(self, timed: bool = False) -> None:
        self.links: dict[str, Link] = {}
        self.timed = timed

    def add(
        self,
        parent: str,
        child: str,
        stamp_ns: int,
        is_static: bool,
        received_ns: int | None = None,
    ) -> None:
        parent, child = parent.lstrip("/"), child.lstrip("/")
        link = self.links.get(child)
        if link is None:
            link = self.links[child] = Link(parent, is_static, 0, stamp_ns, stamp_ns)
        link.samples += 1
        link.first_ns = min(link.first_ns, stamp_ns)
        link.last_ns = max(link.last_ns, stamp_ns)
        if self.timed:
            link.stamps_ns.append(stamp_ns)
            if received_ns is not None:
                link.delays_ns.append(received_ns - stamp_ns)

    def add_records(
        self,
        links: Sequence[tuple[str, str]],
        records: bytes,
        is_static: bool,
        received_ns: Sequence[int] | None = None,
    ) -> None:
        """Accepted transforms as the extension reports them: `records` packs (message index,
        index into `links` of its (parent, child), stamp_ns) as int64 triples in insert order;
        received_ns[message index] is each message's receive time, or None for none."""
        import numpy

        table = numpy.frombuffer(records, numpy.int64).reshape(-1, 3)
        received = None if received_ns is None else numpy.asarray(received_ns, numpy.int64)
        for index, (parent, child) in enumerate(links):
            rows = table[table[:, 1] == index] if len(links) > 1 else table
            stamps = rows[:, 2]
            first, last = int(stamps.min()), int(stamps.max())
            link = self.links.get(child)
            if link is None:
                link = self.links[child] = Link(parent, is_static, 0, first, last)
            link.samples += len(stamps)
            link.first_ns = min(link.first_ns, first)
            link.last_ns = max(link.last_ns, last)
            if self.timed:
                link.stamps_ns.frombytes(stamps.tobytes())
                if received is not None:
                    link.delays_ns.frombytes((received[rows[:, 0]] - stamps).tobytes())

    def frames(self) -> list[str]:
        seen: dict[str, None] = {}
        for child, link in self.links.items():
            seen.setdefault(link.parent, None)
            seen.setdefault(child, None)
        return list(seen)

    def roots(self) -> list[str]:
        return [frame for frame in self.frames() if frame not in self.links]

    def children_map(self) -> dict[str, list[str]]:
        kids: dict[str, list[str]] = {}
        for child, link in self.links.items():
            kids.setdefault(link.parent, []).append(child)
        return kids

    def walk(self) -> Iterator[Walked]:
        """(frame, depth, is_last_sibling, the is_last flags of its nearest ancestors, at most
        MAX_DRAWN_DEPTH + 1) depth first, roots in order."""
        kids = self.children_map()
        stack: list[Walked] = [(root, 0, True, ()) for root in reversed(self.roots())]
        while stack:
            frame, depth, is_last, lasts = stack.pop()
            yield frame, depth, is_last, lasts
            below = kids.get(frame, [])
            for i in range(len(below) - 1, -1, -1):
                # Only the flags that tree_names draws are kept: a deep chain stays linear.
                flags = (lasts + (is_last,))[-(MAX_DRAWN_DEPTH + 1) :]
                stack.append((below[i], depth + 1, i == len(below) - 1, flags))

    def path_to_root(self, frame: str) -> list[str]:
        path = [frame]
        while path[-1] in self.links and len(path) <= len(self.links):
            path.append(self.links[path[-1]].parent)
        return path

    def root_of(self, frame: str) -> str:
        return self.path_to_root(frame)[-1]

    def chain(self, a: str, b: str) -> list[str] | None:
        """The child frames of the links between a and b (a's side first), or None."""
        up_a, up_b = self.path_to_root(a), self.path_to_root(b)
        on_b = set(up_b)
        common = next((f for f in up_a if f in on_b), None)
        if common is None:
            return None
        return up_a[: up_a.index(common)] + up_b[: up_b.index(common)]

    def chain_length(self, a: str, b: str) -> int | None:
        """Links between two frames of one tree."""
        links = self.chain(a, b)
        return None if links is None else len(links)

    def deepest(self, root: str) -> str:
        best, best_depth, in_root = root, 0, False
        for frame, depth, *_ in self.walk():
            if depth == 0:
                in_root = frame == root
            elif in_root and depth > best_depth:
                best, best_depth = frame, depth
        return best

    def dynamic_range(self, frames: Collection[str]) -> tuple[int, int] | None:
        """Stamps covered by every dynamic link among frames' links, or None."""
        links = [self.links[f] for f in frames if f in self.links and not self.links[f].is_static]
        if not links:
            return None
        return max(link.first_ns for link in links), min(link.last_ns for link in links)

    def tree_names(self, plain: bool) -> Iterator[tuple[str, str]]:
        """(frame escaped and indented under its parent with branch lines, frame) in walk
        order. Past MAX_DRAWN_DEPTH levels only the deepest columns are drawn, after the
        depth, so that a long chain costs lines, not the square of its length."""
        branch, last, pipe, blank = (
            ("|-- ", "`-- ", "|   ", "    ") if plain else ("├── ", "└── ", "│   ", "    ")
        )
        for frame, depth, is_last, lasts in self.walk():
            # The root draws no column: drop its flag unless walk cut it off already.
            columns = lasts if len(lasts) < depth else lasts[1:]
            prefix = "".join(blank if done else pipe for done in columns[-MAX_DRAWN_DEPTH:])
            if depth - 1 > MAX_DRAWN_DEPTH:
                prefix = f"[depth {depth}] " + prefix
            marker = "" if depth == 0 else (last if is_last else branch)
            yield prefix + marker + name(frame), frame

    def render(self, plain: bool) -> list[str]:
        rows = list(self.tree_names(plain))
        if not rows:
            return []
        width = max(len(drawn) for drawn, _ in rows) + 2
        lines: list[str] = []
        for drawn, frame in rows:
            link = self.links.get(frame)
            if link is None:
                lines.append(drawn)
            elif link.is_static:
                lines.append(f"{drawn:<{width}}static")
            else:
                plural = "s" if link.samples != 1 else ""
                lines.append(
                    f"{drawn:<{width}}dynamic {rate_text(link.rate_hz())} "
                    f"{link.samples:7d} sample{plural}"
                )
        return lines


def box_drawing_ok(stream: Out) -> bool:
    try:
        "├└│─".encode(stream.encoding or "ascii")
    except (LookupError, UnicodeEncodeError):
        return False
    return True
