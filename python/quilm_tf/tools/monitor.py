"""quilm-tf monitor: link health in a bag. Per link the rate, the gaps between stamps and the
delay between each stamp and its arrival; links whose delay or gaps are large are flagged."""

from __future__ import annotations

import argparse
from collections.abc import Mapping, Sequence
from typing import TextIO

from quilm_tf import TransformBuffer
from quilm_tf.tools.bags import BagError, load_transforms, open_bag, unknown_frame
from quilm_tf.tools.echo import frame_path
from quilm_tf.tools.frames import delay_cells, rate_cell
from quilm_tf.tools.text import MS, NS_PER_SECOND, plural, seconds, table, write_refusals
from quilm_tf.tools.tree import FrameTree, Link

HEADER = (
    "parent",
    "child",
    "kind",
    "rate",
    "median interval",
    "largest gap",
    "delay mean",
    "max",
    "flagged",
)


def problems(link: Link, max_delay_ms: float, max_gap: float) -> list[tuple[str, str]]:
    """(short flag, explanation) for each way the link is unhealthy."""
    if link.is_static:
        return []
    found = []
    if link.samples == 1:
        found.append(
            (
                "one sample",
                f"one sample only, at {seconds(link.first_ns)}: lookups work at that stamp alone",
            )
        )
    delay = link.delay_ns()
    if delay is not None and delay[1] > max_delay_ms * MS:
        found.append(
            (
                "delay",
                f"delayed up to {delay[1] / MS:.1f} ms "
                f"(mean {delay[0] / MS:.1f} ms, limit {max_delay_ms:g} ms)",
            )
        )
    if delay is not None and min(link.delays_ns) < 0:
        found.append(
            (
                "early",
                f"stamped up to {-min(link.delays_ns) / MS:.1f} ms after it "
                "was recorded: the publisher's clock is ahead of the recorder's",
            )
        )
    median, gap = link.median_interval_ns(), link.largest_gap()
    if median and gap and gap[0] > max_gap * median:
        found.append(
            (
                "gap",
                f"no sample for {gap[0] / NS_PER_SECOND:.3f} s after "
                f"{seconds(gap[1])}, {gap[0] / median:.1f}x its median interval of "
                f"{median / NS_PER_SECOND:.3f} s",
            )
        )
    return found


def report(
    out: TextIO,
    title: str,
    tree: FrameTree,
    refused: Mapping[str, int],
    children: Sequence[str],
    max_delay_ms: float,
    max_gap: float,
) -> None:
    out.write(f"quilm-tf monitor: {title}\n\n")
    out.write(
        f"Link health (delay = receive time in the bag - stamp; flagged: a delay over "
        f"{max_delay_ms:g} ms, a gap over {max_gap:g}x the link's median interval)\n"
    )
    rows, flagged = [list(HEADER)], []
    for child in children:
        link = tree.links[child]
        median, gap = link.median_interval_ns(), link.largest_gap()
        found = problems(link, max_delay_ms, max_gap)
        rows.append(
            [
                link.parent,
                child,
                "static" if link.is_static else "dynamic",
                rate_cell(link),
                "-" if link.is_static or median is None else f"{median / NS_PER_SECOND:.3f} s",
                "-" if link.is_static or gap is None else f"{gap[0] / NS_PER_SECOND:.3f} s",
                *delay_cells(link),
                ", ".join(flag for flag, _ in found),
            ]
        )
        flagged += [f"{link.parent} -> {child}: {text}" for _, text in found]
    for line in table(rows, right={3, 4, 5, 6, 7}):
        out.write(f"  {line}\n")
    write_refusals(out, refused)
    troubled = sum(1 for row in rows[1:] if row[-1])
    if troubled:
        out.write(f"\n{troubled} of {plural(len(children), 'link')} flagged:\n")
        for text in flagged:
            out.write(f"  {text}\n")
    else:
        out.write(f"\nNo link flagged among {plural(len(children), 'link')}.\n")


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if len(args.frames) not in (0, 2):
        raise BagError("give no frames, or SOURCE and TARGET", 2)
    with open_bag(args.bag, err) as bag:
        tree = FrameTree(timed=True)
        refused = load_transforms(bag, TransformBuffer(0.0), tree)
        title = bag.title()
    if not args.frames:
        every = [frame for frame, *_ in tree.walk() if frame in tree.links]
        report(out, title, tree, refused, every, args.max_delay, args.max_gap)
        return 0
    source, target = (frame.lstrip("/") for frame in args.frames)
    for frame, given in zip((source, target), args.frames):
        if frame not in tree.frames():
            raise unknown_frame(tree, given)
    children = tree.chain(source, target)
    if children is None:
        raise BagError(
            f"no transform chain connects {source} and {target}: {source} is in "
            f"the tree of {tree.root_of(source)}, {target} in the tree of "
            f"{tree.root_of(target)}"
        )
    report(out, title, tree, refused, children, args.max_delay, args.max_gap)
    chain = " -> ".join(frame_path(tree, source, target))
    delays = [
        (delay[1], c)
        for c in children
        if not tree.links[c].is_static and (delay := tree.links[c].delay_ns()) is not None
    ]
    out.write(f"\nChain {chain}: {plural(len(children), 'link')}")
    if delays:
        worst, child = max(delays, key=lambda pair: pair[0])
        out.write(f", worst delay {worst / MS:.1f} ms ({tree.links[child].parent} -> {child})")
    out.write("\n")
    return 0
