"""The quilm-tf command: look inside recorded bags, and the demo.

    quilm-tf demo [BAG] [--target FRAME] [--topic TOPIC] [--queue-size N] [--record DIR]
    quilm-tf frames BAG [--svg FILE] [--dot FILE] [--json FILE]
    quilm-tf echo BAG SOURCE TARGET [--rate HZ] [--relative] [--csv FILE] [--plot FILE]
    quilm-tf monitor BAG [SOURCE TARGET] [--max-delay MS] [--max-gap FACTOR] [--json FILE]
    quilm-tf export BAG... --pose SOURCE:TARGET... (--at TOPIC | --rate HZ) --out PATH
        [--jobs N | --dask [ADDRESS]]

Every command that reads a bag also takes --bag PATH (repeatable), --start S, --end S and
--tf-topic TOPIC (repeatable); options and positionals come in any order, and `-` names stdout
for every output option.

Bad input ends with one line on stderr and a non-zero exit: 2 when the command line names
something that is not there or is not allowed, 1 when a bag cannot be used; monitor exits 3
when it flags a link or transforms were refused.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from quilm_tf import TransformError, __version__
from quilm_tf.tools.bags import BagError, Out, Stream
from quilm_tf.tools.output import Stdout
from quilm_tf.tools.source import BagSource, add_live_arguments, add_source_arguments

VERSION = f"quilm-tf {__version__}"

# A command: the parsed arguments, stdout and stderr in; the exit code out.
Handler = Callable[[argparse.Namespace, Out, Stream], int]


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, with a pointer to --help instead of the usage text.

    A command's options and positionals come in any order (`monitor BAG --max-delay 5 a b`):
    argparse parses a subcommand with parse_known_args, which is made intermixed here."""

    intermixing = False

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def parse_known_args(  # type: ignore[override]  # typeshed overloads it on namespace
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        if self.intermixing or self._subparsers is not None:
            return super().parse_known_args(args, namespace)
        # parse_known_intermixed_args calls back into parse_known_args twice.
        self.intermixing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self.intermixing = False


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def add_demo_arguments(parser: argparse.ArgumentParser) -> None:
    add_source_arguments(parser)
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
    parser.add_argument(
        "--record",
        metavar="DIR",
        help="write the simulated robot as a rosbag2 folder DIR instead of replaying it",
    )
    parser.add_argument("--version", action="version", version=VERSION)
    parser.set_defaults(handler=run_demo)


DEMO_DESCRIPTION = (
    "Replay a robot's transforms and sensor messages through quilm-tf and report the frame "
    "tree, a few lookups, the message filter's results and the throughput. Without a bag it "
    "replays a built-in simulated robot; --record writes that robot as a bag."
)


def run_demo(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.tools import demo_report
    from quilm_tf.tools.source import source_of

    source, _ = source_of(args, bag_optional=True)
    if args.topic is not None and source is None:
        raise BagError("--topic needs a bag", 2)
    if args.queue_size is not None and args.queue_size < 0:
        raise BagError("--queue-size must not be negative", 2)
    if args.record is not None:
        if source is not None:
            raise BagError("--record writes the simulated robot: give no bag with it", 2)
        from quilm_tf.tools import record

        return record.run(args, out, err)
    if source is None:
        return demo_report.run_builtin(args, out, err)
    assert isinstance(source, BagSource), "the demo takes no --live"
    return demo_report.run_bag(args, source, out, err)


def run_frames(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.tools import frames

    return frames.run(args, out, err)


def run_echo(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.tools import echo

    return echo.run(args, out, err)


def run_monitor(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.tools import monitor

    return monitor.run(args, out, err)


def run_export(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.tools import export

    return export.run(args, out, err)


def output_option(parser: argparse.ArgumentParser, name: str, what: str) -> None:
    parser.add_argument(f"--{name}", metavar="FILE", help=f"write {what} to FILE, - for stdout")


def build_parser(prog: str = "quilm-tf") -> Parser:
    parser = Parser(
        prog=prog,
        description="Look inside recorded bags: the frame tree with "
        "rates and delays, a transform over time, link health; and the demo.",
    )
    parser.add_argument("--version", action="version", version=VERSION)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    demo = commands.add_parser(
        "demo",
        usage="%(prog)s [options] [BAG]",
        help="replay the simulated robot or a bag and report",
        description=DEMO_DESCRIPTION,
    )
    add_demo_arguments(demo)

    frames = commands.add_parser(
        "frames",
        usage="%(prog)s [options] BAG",
        help="the frame tree of a bag: links, rates, gaps, delays",
        description="The frame tree of the bag's tf topics: one line per link with "
        "its rate, samples, stamps, largest gap and delay (receive time minus stamp).",
    )
    add_source_arguments(frames)
    add_live_arguments(frames)
    output_option(frames, "svg", "a picture of the tree as SVG")
    output_option(frames, "dot", "the tree as Graphviz text")
    output_option(frames, "json", "the links and their statistics as JSON")
    frames.set_defaults(handler=run_frames)

    echo = commands.add_parser(
        "echo",
        usage="%(prog)s [options] BAG SOURCE TARGET",
        help="the pose of one frame in another through a bag",
        description="The pose of SOURCE in TARGET at a fixed rate over the time the chain "
        "between them covers: translation, quaternion (x, y, z, w), roll/pitch/yaw in degrees.",
    )
    add_source_arguments(echo, "SOURCE (the frame whose pose is shown) and TARGET")
    add_live_arguments(echo)
    echo.add_argument(
        "--rate",
        metavar="HZ",
        type=positive_number,
        default=1.0,
        help="poses per second of stamp time (default: 1)",
    )
    echo.add_argument(
        "--relative",
        action="store_true",
        help="show stamps as seconds after the first pose instead of since the epoch",
    )
    output_option(echo, "csv", "every pose as CSV")
    echo.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the path and the pose over time into a .png or .svg, - for SVG on stdout "
        "(needs matplotlib)",
    )
    echo.set_defaults(handler=run_echo)

    monitor = commands.add_parser(
        "monitor",
        usage="%(prog)s [options] BAG [SOURCE TARGET]",
        help="link health: rates, gaps and delays, with the troubled links flagged",
        description="Per link the rate, the gaps between stamps and the delay between each "
        "stamp and its arrival in the bag; links with large delays or gaps are flagged. With "
        "SOURCE and TARGET, only the links of the chain between them.",
        epilog="Exit status: 0 when no link is flagged and no transform was refused, 3 when "
        "one is, 1 when the bag cannot be used, 2 for a bad command line.",
    )
    add_source_arguments(monitor, "optionally SOURCE and TARGET: only the chain between them")
    add_live_arguments(monitor)
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
    output_option(monitor, "json", "the links, their statistics and flags as JSON")
    monitor.set_defaults(handler=run_monitor)

    export = commands.add_parser(
        "export",
        help="poses from many bags into one Parquet table",
        description="For every bag, the pose of each SOURCE in its TARGET at the stamps of a "
        "topic's messages or at a fixed rate, written as Parquet in one long table: bag, "
        "topic, stamp_ns, source, target, x, y, z, qx, qy, qz, qw, error. Needs pyarrow; "
        "--dask needs dask[distributed].",
    )
    from quilm_tf.tools.export import add_arguments as add_export_arguments

    add_export_arguments(export)
    export.set_defaults(handler=run_export)

    for sub in (demo, frames, echo, monitor, export):
        sub.set_defaults(prog=sub.prog)
    return parser


def run(handler: Handler, args: argparse.Namespace, prog: str) -> int:
    out, err = Stdout(sys.stdout), sys.stderr
    try:
        code = handler(args, out, err)
        out.flush()
        return code
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
