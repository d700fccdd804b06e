"""quilm-tf frames: the frame tree of a bag, one line per link with its rate, stamps, largest
gap and delay, and optionally a picture of it (SVG) or its Graphviz text."""

from __future__ import annotations

import argparse
import json
from typing import Any

from quilm_tf import TransformBuffer
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools import picture
from quilm_tf.tools.bags import Out, Refusals, Stream, load_transforms
from quilm_tf.tools.output import check_outputs, opened, write_text
from quilm_tf.tools.source import source_of
from quilm_tf.tools.text import MS, name, plural, seconds, table, write_refusals
from quilm_tf.tools.tree import FrameTree, Link, box_drawing_ok

HEADER = (
    "frame",
    "parent",
    "kind",
    "rate",
    "samples",
    "first stamp",
    "last stamp",
    "largest gap",
    "delay mean",
    "max",
)


def rate_cell(link: Link) -> str:
    rate = link.rate_hz()
    return "-" if link.is_static or rate is None else f"{rate:.1f} Hz"


def delay_cells(link: Link) -> list[str]:
    delay = None if link.is_static else link.delay_ns()
    if delay is None:
        return ["-", "-"]
    return [f"{delay[0] / MS:.1f} ms", f"{delay[1] / MS:.1f} ms"]


def link_row(drawn: str, link: Link) -> list[str]:
    gap = None if link.is_static else link.largest_gap()
    return [
        drawn,
        name(link.parent),
        "static" if link.is_static else "dynamic",
        rate_cell(link),
        f"{link.samples:,}",
        seconds(link.first_ns),
        seconds(link.last_ns),
        "-" if gap is None else f"{gap[0] / NS_PER_SECOND:.3f} s",
        *delay_cells(link),
    ]


def link_label(link: Link) -> str:
    """The label of a link's arrow in the pictures: rate and mean delay, or static."""
    if link.is_static:
        return "static"
    delay = link.delay_ns()
    parts = [rate_cell(link)] if link.rate_hz() is not None else [plural(link.samples, "sample")]
    if delay is not None:
        parts.append(f"{delay[0] / MS:.1f} ms")
    return ", ".join(parts)


def link_json(child: str, link: Link) -> dict[str, Any]:
    """A link's statistics for --json: stamps in ns, rate in Hz, gap in s, delays in ms."""
    gap = None if link.is_static else link.largest_gap()
    delay = None if link.is_static else link.delay_ns()
    return {
        "parent": link.parent,
        "child": child,
        "static": link.is_static,
        "samples": link.samples,
        "first_stamp_ns": link.first_ns,
        "last_stamp_ns": link.last_ns,
        "rate_hz": None if link.is_static else link.rate_hz(),
        "largest_gap_s": None if gap is None else gap[0] / NS_PER_SECOND,
        "delay_mean_ms": None if delay is None else delay[0] / MS,
        "delay_max_ms": None if delay is None else delay[1] / MS,
    }


def left_out(refused: Refusals, skipped: dict[str, int]) -> dict[str, Any]:
    """The refused transforms and skipped messages, for --json."""
    return {
        "refused": refused.as_json(),
        "skipped": [{"topic": key, "messages": count} for key, count in skipped.items()],
    }


def write_json(file_name: str, out: Stream, document: dict[str, Any]) -> None:
    with opened(file_name, out) as file:
        json.dump(document, file, indent=1)
        file.write("\n")


def report(
    out: Out, title: str, tree: FrameTree, refused: Refusals, skipped: dict[str, int]
) -> None:
    out.write(f"quilm-tf frames: {title}\n\n")
    frames = tree.frames()
    out.write(
        f"Frame tree ({plural(len(tree.links), 'link')} between "
        f"{plural(len(frames), 'frame')}; stamps in seconds, "
        "delay = receive time - stamp)\n"
    )
    rows = [list(HEADER)]
    for drawn, frame in tree.tree_names(not box_drawing_ok(out)):
        link = tree.links.get(frame)
        rows.append([drawn] if link is None else link_row(drawn, link))
    for line in table(rows, right={3, 4, 7, 8, 9}):
        out.write(f"  {line}\n")
    write_refusals(out, refused, skipped)


def run(args: argparse.Namespace, out: Out, err: Stream) -> int:
    source, _ = source_of(args)
    to_stdout = check_outputs({"--svg": args.svg, "--dot": args.dot, "--json": args.json})
    with source.open(err) as bag:
        tree = FrameTree(timed=True)
        # A zero history keeps one sample per link: the buffer is here to refuse what a live
        # buffer would refuse (cycles, second parents, zero stamps), not to answer lookups.
        refused = load_transforms(bag, TransformBuffer(0.0), tree)
        title, skipped = bag.title(), bag.skipped
    if to_stdout is None:
        report(out, title, tree, refused, skipped)
    if args.json:
        links = [
            link_json(child, tree.links[child]) for child, *_ in tree.walk() if child in tree.links
        ]
        document = {"bag": title, "links": links, **left_out(refused, skipped)}
        write_json(args.json, out, document)
    if args.svg:
        write_text(args.svg, picture.svg(tree, link_label), out)
    if args.dot:
        write_text(args.dot, picture.dot(tree, link_label), out)
    return 0
