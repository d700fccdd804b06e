"""The quilm-tf command: look inside recorded bags, and the demo.

    quilm-tf demo [--bag PATH] [--target FRAME] [--topic TOPIC] [--queue-size N]
    quilm-tf frames BAG [--svg FILE] [--dot FILE]
    quilm-tf echo BAG SOURCE TARGET [--rate HZ] [--csv FILE] [--plot FILE]
    quilm-tf monitor BAG [SOURCE TARGET] [--max-delay MS] [--max-gap FACTOR]

Bad input ends with one line on stderr and a non-zero exit: 2 when the command line names
something that is not there or is not allowed, 1 when a bag cannot be used.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn, TextIO

from quilm_tf import TransformError
from quilm_tf.tools.bags import BagError

# A command: runs on the parsed arguments, writes to out and err, returns the exit code.
Handler = Callable[[argparse.Namespace, TextIO, TextIO], int]


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, with a pointer to --help instead of the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def add_demo_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--bag", metavar="PATH", help="a rosbag2 folder, .db3 or .mcap file, or a ROS 1 .bag file"
    )
    parser.add_argument(
        "--target",
        metavar="FRAME",
        help="target frame of the message filter (default: the root of the tree)",
    )
    parser.add_argument(
        "--topic",
        metavar="TOPIC",
        help="sensor topic to filter (default: the first topic with a header)",
    )
    parser.add_argument(
        "--queue-size",
        metavar="N",
        type=int,
        help="queue bound of the message filter, 0 for none (default: 5 built in, 100 for bags)",
    )
    parser.set_defaults(handler=run_demo)


DEMO_DESCRIPTION = (
    "Replay a robot's transforms and sensor messages through quilm-tf and report the frame "
    "tree, a few lookups, the message filter's results and the throughput. Without --bag it "
    "replays a built-in simulated robot."
)


def run_demo(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from quilm_tf.tools import demo_report

    if args.topic is not None and args.bag is None:
        raise BagError("--topic needs --bag", 2)
    if args.queue_size is not None and args.queue_size < 0:
        raise BagError("--queue-size must not be negative", 2)
    if args.bag is None:
        return demo_report.run_builtin(args, out, err)
    return demo_report.run_bag(args, out, err)


def run_frames(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from quilm_tf.tools import frames

    return frames.run(args, out, err)


def run_echo(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from quilm_tf.tools import echo

    return echo.run(args, out, err)


def run_monitor(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from quilm_tf.tools import monitor

    return monitor.run(args, out, err)


def build_parser(prog: str = "quilm-tf") -> argparse.ArgumentParser:
    parser = Parser(
        prog=prog,
        description="Look inside recorded bags: the frame tree with "
        "rates and delays, a transform over time, link health; and the demo.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="replay the simulated robot or a bag and report", description=DEMO_DESCRIPTION
    )
    add_demo_arguments(demo)

    frames = commands.add_parser(
        "frames",
        help="the frame tree of a bag: links, rates, gaps, delays",
        description="The frame tree of the bag's /tf and /tf_static: one line per link with "
        "its rate, samples, stamps, largest gap and delay (receive time minus stamp).",
    )
    frames.add_argument("bag", metavar="BAG", help="a rosbag2 folder or file, or a ROS 1 bag")
    frames.add_argument("--svg", metavar="FILE", help="write a picture of the tree as SVG")
    frames.add_argument("--dot", metavar="FILE", help="write the tree as Graphviz text")
    frames.set_defaults(handler=run_frames)

    echo = commands.add_parser(
        "echo",
        help="the pose of one frame in another through a bag",
        description="The pose of SOURCE in TARGET at a fixed rate over the time the chain "
        "between them covers: translation, quaternion (x, y, z, w), roll/pitch/yaw in degrees.",
    )
    echo.add_argument("bag", metavar="BAG", help="a rosbag2 folder or file, or a ROS 1 bag")
    echo.add_argument("source", metavar="SOURCE", help="the frame whose pose is shown")
    echo.add_argument("target", metavar="TARGET", help="the frame it is expressed in")
    echo.add_argument(
        "--rate",
        metavar="HZ",
        type=positive_number,
        default=1.0,
        help="poses per second of stamp time (default: 1)",
    )
    echo.add_argument(
        "--csv", metavar="FILE", help="write every pose as CSV to FILE, or to stdout for -"
    )
    echo.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the path and the pose over time into a .png or .svg (needs matplotlib)",
    )
    echo.set_defaults(handler=run_echo)

    monitor = commands.add_parser(
        "monitor",
        help="link health: rates, gaps and delays, with the troubled links flagged",
        description="Per link the rate, the gaps between stamps and the delay between each "
        "stamp and its arrival in the bag; links with large delays or gaps are flagged. With "
        "SOURCE and TARGET, only the links of the chain between them.",
    )
    monitor.add_argument("bag", metavar="BAG", help="a rosbag2 folder or file, or a ROS 1 bag")
    monitor.add_argument(
        "frames",
        metavar="FRAME",
        nargs="*",
        help="SOURCE TARGET: only the chain between these two frames",
    )
    monitor.add_argument(
        "--max-delay",
        metavar="MS",
        type=positive_number,
        default=100.0,
        help="flag links delayed by more than this (default: 100 ms)",
    )
    monitor.add_argument(
        "--max-gap",
        metavar="FACTOR",
        type=positive_number,
        default=3.0,
        help="flag gaps longer than FACTOR times the link's median interval (default: 3)",
    )
    monitor.set_defaults(handler=run_monitor)

    for sub in (demo, frames, echo, monitor):
        sub.set_defaults(prog=sub.prog)
    return parser


def run(handler: Handler, args: argparse.Namespace, prog: str) -> int:
    out, err = sys.stdout, sys.stderr
    try:
        return handler(args, out, err)
    except BagError as error:
        err.write(f"{prog}: {error}\n")
        return error.exit_code
    except TransformError as error:
        # A frame name that the library refuses, such as "a/b".
        err.write(f"{prog}: TransformError: {error}\n")
        return 2
    except KeyboardInterrupt:
        err.write(f"{prog}: interrupted\n")
        return 130
    except BrokenPipeError:
        # Output piped into head: not worth a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        # The system refused a read or a write the checks could not foresee (a full disk).
        err.write(f"{prog}: {error}\n")
        return 1


def main(argv: Sequence[str] | None = None) -> int:
    """The quilm-tf console script; returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 0
    return run(args.handler, args, args.prog)


def demo_main(argv: Sequence[str] | None = None) -> int:
    """python -m quilm_tf.demo: the demo command under its historical name."""
    parser = Parser(prog="python -m quilm_tf.demo", description=DEMO_DESCRIPTION)
    add_demo_arguments(parser)
    args = parser.parse_args(argv)
    return run(args.handler, args, parser.prog)
