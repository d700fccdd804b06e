"""quilm-tf echo: the pose of one frame in another through a bag, at a fixed rate over the
time that every link of the chain between them covers; as a table, CSV or a plot."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
from array import array
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path

from quilm_tf import TransformBuffer, TransformError
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.bags import BagError, Out, Stream, load_transforms, one_line, unknown_frame
from quilm_tf.tools.geometry import fixed, quaternion_of, rpy_degrees
from quilm_tf.tools.output import check_outputs, opened
from quilm_tf.tools.source import source_of
from quilm_tf.tools.text import name, plural, seconds, wrapped, write_refusals
from quilm_tf.tools.tree import FrameTree

# Long enough that nothing expires: each link keeps every sample of the bag (stamps are below
# 2^31 s, so the window reaches back past zero).
HISTORY_SECONDS = 2.0**31
MAX_POSES = 10_000_000
ROS_TIME_LIMIT_NS = 2**31 * NS_PER_SECOND
# A gap this many times the link's median interval is worth a warning.
GAP_FACTOR = 3
COLUMNS = ("stamp_ns", "x", "y", "z", "qx", "qy", "qz", "qw", "roll", "pitch", "yaw")
# A pose as COLUMNS orders it: the stamp, then ten floats.
Row = tuple[int, *tuple[float, ...]]


def frame_path(tree: FrameTree, source: str, target: str) -> list[str]:
    """The frames from source up to the common ancestor and down to target."""
    up_s, up_t = tree.path_to_root(source), tree.path_to_root(target)
    on_t = set(up_t)
    common = next(f for f in up_s if f in on_t)
    return up_s[: up_s.index(common) + 1] + up_t[: up_t.index(common)][::-1]


def no_chain(tree: FrameTree, source: str, target: str) -> BagError:
    return BagError(
        f"no transform chain connects {name(source)} and {name(target)}: {name(source)} is "
        f"in the tree of {name(tree.root_of(source))}, {name(target)} in the tree of "
        f"{name(tree.root_of(target))}"
    )


def covered_span(
    tree: FrameTree, links: Sequence[str], source: str, target: str, bag_span: tuple[int, int]
) -> tuple[int, int]:
    """(begin_ns, end_ns) where every dynamic link between the frames has samples.

    A chain of static links (or none: SOURCE is TARGET) holds at every stamp; its poses are
    shown over the bag's receive times, kept within the stamps a lookup takes."""
    dynamic = [tree.links[child] for child in links if not tree.links[child].is_static]
    if not dynamic:
        begin, end = (min(max(stamp, 0), ROS_TIME_LIMIT_NS - 1) for stamp in bag_span)
        return begin, end
    begin = max(link.first_ns for link in dynamic)
    end = min(link.last_ns for link in dynamic)
    if begin > end:
        spans = ", ".join(
            f"{name(link.parent)} -> {name(child)} [{seconds(link.first_ns)}, "
            f"{seconds(link.last_ns)}]"
            for child, link in ((c, tree.links[c]) for c in links)
            if not link.is_static
        )
        raise BagError(
            f"the links between {name(source)} and {name(target)} never have samples at the "
            f"same time: {spans}"
        )
    return begin, end


def gap_warnings(tree: FrameTree, links: Sequence[str], begin: int, end: int) -> list[str]:
    """A line per gap, within [begin, end], longer than GAP_FACTOR times its link's median
    interval: the poses across it are interpolated over a time the bag says nothing about."""
    lines = []
    for child in links:
        link = tree.links[child]
        median = None if link.is_static else link.median_interval_ns()
        if not median:
            continue
        stamps = sorted(link.stamps_ns)
        gaps = [
            (a, b)
            for a, b in zip(stamps, stamps[1:])
            if b - a > GAP_FACTOR * median and a < end and b > begin
        ]
        for a, b in gaps[:3]:
            lines.append(
                f"warning: {name(link.parent)} -> {name(child)} has no sample for "
                f"{(b - a) / NS_PER_SECOND:.3f} s after {seconds(a)}, "
                f"{(b - a) / median:.1f}x its median interval: the poses in it are interpolated"
            )
        if len(gaps) > 3:
            lines.append(f"warning: and {plural(len(gaps) - 3, 'more gap')} like these")
    return lines


def poses(
    buffer: TransformBuffer, source: str, target: str, stamps: Iterable[int]
) -> Iterator[Row]:
    """(stamp_ns, x, y, z, qx, qy, qz, qw, roll, pitch, yaw) per stamp; angles in degrees."""
    for stamp in stamps:
        try:
            m = buffer.lookup(source, target, stamp)
        except (TransformError, ValueError) as error:
            text = f"cannot look up the pose at {seconds(stamp)}: {one_line(error)}"
            raise BagError(text) from None
        yield (stamp, m[0][3], m[1][3], m[2][3], *quaternion_of(m), *rpy_degrees(m))


def check_plot(file_name: str) -> None:
    if file_name != "-" and Path(file_name).suffix.lower() not in (".png", ".svg"):
        raise BagError(f"--plot {file_name}: the file name must end in .png or .svg", 2)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise BagError(
            '--plot needs matplotlib: pip install "matplotlib>=3.5" '
            '(or pip install ".[plot]" in a quilm-tf source checkout)'
        ) from None


class PlotData:
    """The columns of the poses as doubles: what a plot needs, without the rows' objects."""

    def __init__(self) -> None:
        self.columns = [array("d") for _ in COLUMNS]

    def add(self, row: Row) -> None:
        for column, value in zip(self.columns, row):
            column.append(value)


def plot(
    file_name: str, out: Stream, source: str, target: str, data: PlotData, origin_ns: int
) -> None:
    import numpy as np
    from matplotlib.figure import Figure

    stamp, x, y, z, *_, roll, pitch, yaw = (np.asarray(column) for column in data.columns)
    t = (stamp - origin_ns) / NS_PER_SECOND
    figure = Figure(figsize=(11, 8), layout="constrained")
    path, position, angles = figure.subplot_mosaic([["path", "xyz"], ["path", "rpy"]]).values()
    path.plot(x, y, color="tab:blue")
    path.plot(x[:1], y[:1], "o", color="tab:green", label="first")
    path.plot(x[-1:], y[-1:], "s", color="tab:red", label="last")
    path.set(
        title=f"{name(source)} in {name(target)}, seen from above",
        xlabel="x (m)",
        ylabel="y (m)",
        aspect="equal",
    )
    path.legend()
    for values, label in ((x, "x"), (y, "y"), (z, "z")):
        position.plot(t, values, label=label)
    position.set(ylabel="m")
    # Unwrapped, so that a turn through +/-180 degrees draws no vertical line.
    for values, label in ((roll, "roll"), (pitch, "pitch"), (yaw, "yaw")):
        angles.plot(t, np.unwrap(values, period=360.0), label=label)
    angles.set(ylabel="degrees (unwrapped)", xlabel=f"seconds after {seconds(origin_ns)}")
    for axes in (position, angles):
        axes.legend(loc="upper right")
        axes.grid(alpha=0.3)
    if file_name == "-":
        picture = io.BytesIO()
        figure.savefig(picture, format="svg")
        out.write(picture.getvalue().decode("utf-8"))
        return
    try:
        figure.savefig(file_name)
    except OSError as error:
        raise BagError(f"cannot write {file_name}: {error.strerror}") from None


def exact_seconds(ns: int) -> str:
    sign, ns = ("-", -ns) if ns < 0 else ("", ns)
    return f"{sign}{ns // NS_PER_SECOND}.{ns % NS_PER_SECOND:09d}"


def csv_cells(row: Row, origin_ns: int | None) -> list[int | str]:
    """The CSV cells of a pose; with an origin, the first column is seconds after it."""
    stamp, *values = row
    first = stamp if origin_ns is None else exact_seconds(stamp - origin_ns)
    # Adding 0.0 turns -0.0 into 0.0.
    return [first, *(repr(v + 0.0) for v in values)]


TABLE_HEADER = (
    "stamp",
    "x (m)",
    "y (m)",
    "z (m)",
    "qx",
    "qy",
    "qz",
    "qw",
    "roll (deg)",
    "pitch (deg)",
    "yaw (deg)",
)
DIGITS = (3, 3, 3, 4, 4, 4, 4, 2, 2, 2)


def table_cells(row: Row, origin_ns: int | None) -> list[str]:
    stamp, *values = row
    shown = seconds(stamp if origin_ns is None else stamp - origin_ns)
    return [shown, *(fixed(v, 0, d) for v, d in zip(values, DIGITS))]


def run(args: argparse.Namespace, out: Out, err: Stream) -> int:
    bags, (args.source, args.target) = source_of(args, (2,))
    source, target = args.source.lstrip("/"), args.target.lstrip("/")
    if args.plot:
        check_plot(args.plot)
    to_stdout = check_outputs({"--csv": args.csv, "--plot": args.plot})
    with bags.open(err) as bag:
        tree, buffer = FrameTree(timed=True), TransformBuffer(HISTORY_SECONDS)
        refused = load_transforms(bag, buffer, tree)
        title, skipped = bag.title(), bag.skipped
        bag_span = bag.span()
    known = set(tree.frames())
    for frame, given in ((source, args.source), (target, args.target)):
        if frame not in known:
            raise unknown_frame(tree, given, refused)
    links = tree.chain(source, target)
    if links is None:
        raise no_chain(tree, source, target)
    begin, end = covered_span(tree, links, source, target, bag_span)
    # Each stamp from its own index, so that steps do not accumulate a rounding error.
    count = int((end - begin) * args.rate / NS_PER_SECOND + 1e-9) + 1
    if count > MAX_POSES or args.rate > NS_PER_SECOND:
        raise BagError(
            f"--rate {args.rate:g} over {(end - begin) / NS_PER_SECOND:.1f} s makes "
            f"{count:,} poses; at most {MAX_POSES:,}",
            2,
        )

    def rows() -> Iterator[Row]:
        stamps = (min(end, begin + round(k * NS_PER_SECOND / args.rate)) for k in range(count))
        return poses(buffer, source, target, stamps)

    origin = begin if args.relative else None
    warnings = gap_warnings(tree, links, begin, end)
    data = PlotData() if args.plot else None
    if to_stdout is not None:
        for line in warnings:
            err.write(f"quilm-tf echo: {line}\n")
    if to_stdout is None:
        chain = " -> ".join(name(frame) for frame in frame_path(tree, source, target))
        out.write(f"quilm-tf echo: {name(source)} in {name(target)}, {title}\n")
        out.write(f"  chain {chain} ({plural(len(links), 'link')})\n")
        out.write(
            f"  {plural(count, 'pose')} at {args.rate:g} Hz from {seconds(begin)} to "
            f"{seconds(end)}, where every link of the chain has data\n"
        )
        write_refusals(out, refused, skipped)
        for line in warnings:
            out.write(wrapped(line, 2, 4))
        out.write("\n")
        write_table(out, args.csv, rows, origin, data)
    else:
        # stdout carries the CSV or the plot; a CSV file asked for is written all the same.
        with contextlib.ExitStack() as stack:
            writer = None
            if args.csv:
                writer = csv.writer(stack.enter_context(opened(args.csv, out)), lineterminator="\n")
                writer.writerow(csv_header(origin))
            for row in plotted(rows(), data):
                if writer is not None:
                    writer.writerow(csv_cells(row, origin))
    if data is not None:
        plot(args.plot, out, source, target, data, begin)
    return 0


def csv_header(origin_ns: int | None) -> tuple[str, ...]:
    return ("t" if origin_ns is not None else COLUMNS[0], *COLUMNS[1:])


def plotted(rows: Iterable[Row], data: PlotData | None) -> Iterator[Row]:
    """The rows, each also added to the plot data if there is one."""
    for row in rows:
        if data is not None:
            data.add(row)
        yield row


def write_table(
    out: Out,
    csv_name: str | None,
    rows: Callable[[], Iterable[Row]],
    origin_ns: int | None,
    data: PlotData | None,
) -> None:
    """The poses as an aligned table, streamed: a first pass over the lookups measures the
    columns, a second writes the lines (and the CSV file, and gathers the plot data)."""
    widths = [len(cell) for cell in TABLE_HEADER]
    for row in rows():
        widths = [max(w, len(c)) for w, c in zip(widths, table_cells(row, origin_ns))]

    def line(cells: Sequence[str]) -> str:
        aligned = [cells[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return "  " + "  ".join(aligned).rstrip() + "\n"

    out.write(line(TABLE_HEADER))
    with contextlib.ExitStack() as stack:
        writer = None
        if csv_name:
            writer = csv.writer(stack.enter_context(opened(csv_name, out)), lineterminator="\n")
            writer.writerow(csv_header(origin_ns))
        for row in plotted(rows(), data):
            out.write(line(table_cells(row, origin_ns)))
            if writer is not None:
                writer.writerow(csv_cells(row, origin_ns))
