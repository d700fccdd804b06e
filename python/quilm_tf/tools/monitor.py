"""quilm-tf monitor: link health in a bag. Per link the rate, the gaps between stamps and the
delay between each stamp and its arrival; links whose delay or gaps are large are flagged."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

from quilm_tf import TransformBuffer
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.bags import Out, Refusals, Stream, load_transforms, unknown_frame
from quilm_tf.tools.echo import frame_path, no_chain
from quilm_tf.tools.frames import delay_cells, left_out, link_json, rate_cell, write_json
from quilm_tf.tools.output import check_outputs
from quilm_tf.tools.source import source_of
from quilm_tf.tools.text import MS, name, plural, seconds, table, write_refusals
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
    out: Out,
    title: str,
    tree: FrameTree,
    refused: Refusals,
    skipped: dict[str, int],
    children: Sequence[str],
    max_delay_ms: float,
    max_gap: float,
) -> None:
    out.write(f"quilm-tf monitor: {title}\n\n")
    out.write(
        f"Link health (delay = receive time - stamp; flagged: a delay over "
        f"{max_delay_ms:g} ms, a gap over {max_gap:g}x the link's median interval)\n"
    )
    rows = [list(HEADER)]
    flagged: list[str] = []
    for child in children:
        link = tree.links[child]
        median, gap = link.median_interval_ns(), link.largest_gap()
        found = problems(link, max_delay_ms, max_gap)
        rows.append(
            [
                name(link.parent),
                name(child),
                "static" if link.is_static else "dynamic",
                rate_cell(link),
                "-" if link.is_static or median is None else f"{median / NS_PER_SECOND:.3f} s",
                "-" if link.is_static or gap is None else f"{gap[0] / NS_PER_SECOND:.3f} s",
                *delay_cells(link),
                ", ".join(flag for flag, _ in found),
            ]
        )
        flagged += [f"{name(link.parent)} -> {name(child)}: {text}" for _, text in found]
    for line in table(rows, right={3, 4, 5, 6, 7}):
        out.write(f"  {line}\n")
    write_refusals(out, refused, skipped)
    troubled = sum(1 for row in rows[1:] if row[-1])
    if troubled:
        out.write(f"\n{troubled} of {plural(len(children), 'link')} flagged:\n")
        for text in flagged:
            out.write(f"  {text}\n")
    else:
        out.write(f"\nNo link flagged among {plural(len(children), 'link')}.\n")


def exit_code(
    tree: FrameTree,
    refused: Refusals,
    children: Sequence[str],
    max_delay_ms: float,
    max_gap: float,
) -> int:
    """3 when a link is flagged or a transform was refused, so that a CI job can gate on it."""
    flagged = any(problems(tree.links[c], max_delay_ms, max_gap) for c in children)
    return 3 if flagged or refused else 0


def json_document(
    title: str,
    tree: FrameTree,
    refused: Refusals,
    skipped: dict[str, int],
    children: Sequence[str],
    max_delay_ms: float,
    max_gap: float,
) -> dict[str, Any]:
    links: list[dict[str, Any]] = []
    for child in children:
        link = tree.links[child]
        found = problems(link, max_delay_ms, max_gap)
        median = None if link.is_static else link.median_interval_ns()
        links.append(
            {
                **link_json(child, link),
                "median_interval_s": None if median is None else median / NS_PER_SECOND,
                "flags": [{"flag": flag, "text": text} for flag, text in found],
            }
        )
    limits = {"max_delay_ms": max_delay_ms, "max_gap_factor": max_gap}
    return {"bag": title, "limits": limits, "links": links, **left_out(refused, skipped)}


def run(args: argparse.Namespace, out: Out, err: Stream) -> int:
    bags, args.frames = source_of(args, (0, 2))
    to_stdout = check_outputs({"--json": args.json})
    with bags.open(err) as bag:
        tree = FrameTree(timed=True)
        refused = load_transforms(bag, TransformBuffer(0.0), tree)
        title, skipped = bag.title(), bag.skipped
    limits = (args.max_delay, args.max_gap)
    if not args.frames:
        children = [frame for frame, *_ in tree.walk() if frame in tree.links]
        if to_stdout is None:
            report(out, title, tree, refused, skipped, children, *limits)
        if args.json:
            write_json(
                args.json, out, json_document(title, tree, refused, skipped, children, *limits)
            )
        return exit_code(tree, refused, children, *limits)
    source, target = (frame.lstrip("/") for frame in args.frames)
    for frame, given in zip((source, target), args.frames):
        if frame not in tree.frames():
            raise unknown_frame(tree, given, refused)
    chain = tree.chain(source, target)
    if chain is None:
        raise no_chain(tree, source, target)
    children = chain
    if args.json:
        write_json(args.json, out, json_document(title, tree, refused, skipped, children, *limits))
    if to_stdout is None:
        report(out, title, tree, refused, skipped, children, *limits)
        write_chain(out, tree, source, target, children)
    return exit_code(tree, refused, children, *limits)


def write_chain(
    out: Stream, tree: FrameTree, source: str, target: str, children: Sequence[str]
) -> None:
    chain = " -> ".join(name(frame) for frame in frame_path(tree, source, target))
    delays: list[tuple[int, str]] = []
    for c in children:
        delay = None if tree.links[c].is_static else tree.links[c].delay_ns()
        if delay is not None:
            delays.append((delay[1], c))
    out.write(f"\nChain {chain}: {plural(len(children), 'link')}")
    if delays:
        worst, child = max(delays, key=lambda pair: pair[0])
        parent = tree.links[child].parent
        out.write(f", worst delay {worst / MS:.1f} ms ({name(parent)} -> {name(child)})")
    out.write("\n")
