"""What every command that reads transforms shares: where they come from (one or more bags,
the tf topics) and the time window to keep, as options and as a source to read from.

A command adds the options with `add_source_arguments`, then `source_of` turns the parsed
arguments into a `BagSource` and the frames named on the command line. `BagSource.open` yields
an open `Bag` whose `transform_messages()` gives (receive time, topic, is_static, message) for
every tf message in the window, in the order received.
"""

from __future__ import annotations

import argparse
import contextlib
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal, overload

from quilm_tf.tools.bags import Bag, BagError, Stream, open_bag

if TYPE_CHECKING:
    from quilm_tf.tools.live import LiveSource

DEFAULT_TF_TOPICS = ("/tf", "/tf_static")


def window_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(
            f"expected seconds from the start of the bag, got {text!r}"
        )
    return value


def add_source_arguments(parser: argparse.ArgumentParser, frames_help: str | None = None) -> None:
    """The bag, as the first positional or with --bag, the tf topics and the time window.

    The positionals after the bag are the command's frames, described by frames_help; a
    command without frames passes None."""
    bag_help = "a rosbag2 folder, .db3 or .mcap file, or a ROS 1 .bag file"
    parser.add_argument(
        "positionals",
        nargs="*",
        metavar="BAG" if frames_help is None else "BAG FRAME",
        help=bag_help if frames_help is None else f"{bag_help}; then {frames_help}",
    )
    parser.add_argument(
        "--bag",
        metavar="PATH",
        action="append",
        dest="bags",
        default=[],
        help="the bag, instead of the first positional; repeat it to read several bags as one",
    )
    parser.add_argument(
        "--start",
        metavar="S",
        type=window_seconds,
        help="drop what was received before S seconds after the start of the bag "
        "(static transforms are kept)",
    )
    parser.add_argument(
        "--end",
        metavar="S",
        type=window_seconds,
        help="drop what was received after S seconds after the start of the bag",
    )
    parser.add_argument(
        "--tf-topic",
        metavar="TOPIC",
        action="append",
        dest="tf_topics",
        default=[],
        help="read transforms from TOPIC (repeatable; default /tf and /tf_static). A topic "
        "named .../tf_static holds static transforms; .../tf brings its .../tf_static along",
    )


def add_live_arguments(parser: argparse.ArgumentParser) -> None:
    """--live (the running ROS 2 graph instead of a bag) and how long to listen."""
    parser.add_argument(
        "--live",
        action="store_true",
        help="read the tf topics of the running ROS 2 graph instead of a bag (needs ROS 2)",
    )
    parser.add_argument(
        "--duration",
        metavar="S",
        type=positive_seconds,
        help="with --live, listen for S seconds (default: 5)",
    )


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


@dataclass
class BagSource:
    """Bags to read as one, the tf topics to take transforms from, and the window kept.

    start_s and end_s are seconds after the first message of the bags, or None for no bound.
    """

    paths: list[str]
    tf_topics: tuple[str, ...] = DEFAULT_TF_TOPICS
    start_s: float | None = None
    end_s: float | None = None

    def open(self, err: Stream) -> contextlib.AbstractContextManager[Bag]:
        """A context manager that yields the open Bag."""
        return open_bag(self.paths, err, self.tf_topics, self.start_s, self.end_s)


@overload
def source_of(
    args: argparse.Namespace,
    frame_counts: Sequence[int] = (0,),
    bag_optional: Literal[False] = False,
) -> tuple[BagSource | LiveSource, list[str]]: ...
@overload
def source_of(
    args: argparse.Namespace, frame_counts: Sequence[int] = (0,), *, bag_optional: bool
) -> tuple[BagSource | LiveSource | None, list[str]]: ...
def source_of(
    args: argparse.Namespace, frame_counts: Sequence[int] = (0,), bag_optional: bool = False
) -> tuple[BagSource | LiveSource | None, list[str]]:
    """(BagSource or None, frames) from arguments that add_source_arguments defined.

    The bag is the first positional unless --bag gave it; the positionals left are frames,
    whose count must be one of frame_counts. With bag_optional, no bag gives None."""
    positionals: list[str] = list(args.positionals)
    bags: list[str] = list(args.bags)
    if getattr(args, "live", False):
        return live_source_of(args, positionals, frame_counts)
    if getattr(args, "duration", None) is not None:
        raise BagError("--duration needs --live", 2)
    if not bags and positionals and (len(positionals) - 1 in frame_counts or not bag_optional):
        bags.append(positionals.pop(0))
    if not bags and not bag_optional:
        raise BagError("no bag given: name it first, or with --bag", 2)
    if len(positionals) not in frame_counts:
        raise BagError(frame_count_text(positionals, frame_counts), 2)
    if args.start is not None and args.end is not None and args.end <= args.start:
        raise BagError(f"--end {args.end:g} is not after --start {args.start:g}", 2)
    if not bags:
        return None, positionals
    topics = tuple(dict.fromkeys("/" + t.strip("/") for t in args.tf_topics)) or DEFAULT_TF_TOPICS
    return BagSource(bags, topics, args.start, args.end), positionals


def live_source_of(
    args: argparse.Namespace, frames: list[str], frame_counts: Sequence[int]
) -> tuple[LiveSource, list[str]]:
    """(LiveSource, frames): with --live every positional is a frame."""
    from quilm_tf.tools.live import DEFAULT_DURATION_S, LiveSource

    if args.bags:
        raise BagError("--live reads the running graph: give no --bag", 2)
    if args.start is not None or args.end is not None:
        raise BagError("--start and --end select part of a bag; with --live use --duration", 2)
    if len(frames) not in frame_counts:
        raise BagError(frame_count_text(frames, frame_counts), 2)
    topics = tuple(dict.fromkeys("/" + t.strip("/") for t in args.tf_topics)) or DEFAULT_TF_TOPICS
    duration = DEFAULT_DURATION_S if args.duration is None else args.duration
    return LiveSource(topics, duration), frames


def frame_count_text(positionals: Sequence[str], frame_counts: Sequence[int]) -> str:
    if frame_counts == (0,):
        return f"unexpected argument {positionals[0]!r}: this command takes no frames"
    if frame_counts == (0, 2):
        return "give no frames, or SOURCE and TARGET"
    return "give SOURCE and TARGET"
