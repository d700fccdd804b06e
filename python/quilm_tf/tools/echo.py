"""quilm-tf echo: the pose of one frame in another through a bag, at a fixed rate over the
time that every link of the chain between them covers; as a table, CSV or a plot."""

from __future__ import annotations

import csv
import io
from pathlib import Path

from quilm_tf import TransformBuffer
from quilm_tf.tools.bags import BagError, load_transforms, unknown_frame
from quilm_tf.tools.geometry import fixed, quaternion_of, rpy_degrees
from quilm_tf.tools.output import check_outputs, write_text
from quilm_tf.tools.source import source_of
from quilm_tf.tools.text import NS_PER_SECOND, plural, seconds, table, write_refusals
from quilm_tf.tools.tree import FrameTree

# Long enough that nothing expires: each link keeps every sample of the bag (stamps are below
# 2^31 s, so the window reaches back past zero).
HISTORY_SECONDS = 2.0**31
MAX_POSES = 10_000_000
COLUMNS = ("stamp_ns", "x", "y", "z", "qx", "qy", "qz", "qw", "roll", "pitch", "yaw")


def frame_path(tree, source, target):
    """The frames from source up to the common ancestor and down to target."""
    up_s, up_t = tree.path_to_root(source), tree.path_to_root(target)
    common = next(f for f in up_s if f in set(up_t))
    return up_s[: up_s.index(common) + 1] + up_t[: up_t.index(common)][::-1]


def covered_span(tree, source, target, bag_span):
    """(begin_ns, end_ns) where every dynamic link between the frames has samples."""
    links = tree.chain(source, target)
    if links is None:
        raise BagError(
            f"no transform chain connects {source} and {target}: {source} is in "
            f"the tree of {tree.root_of(source)}, {target} in the tree of "
            f"{tree.root_of(target)}"
        )
    dynamic = [tree.links[child] for child in links if not tree.links[child].is_static]
    if not dynamic:
        return bag_span
    begin = max(link.first_ns for link in dynamic)
    end = min(link.last_ns for link in dynamic)
    if begin > end:
        spans = ", ".join(
            f"{link.parent} -> {child} [{seconds(link.first_ns)}, {seconds(link.last_ns)}]"
            for child, link in ((c, tree.links[c]) for c in links)
            if not link.is_static
        )
        raise BagError(
            f"the links between {source} and {target} never have samples at the same time: {spans}"
        )
    return begin, end


def poses(buffer, source, target, stamps):
    """(stamp_ns, x, y, z, qx, qy, qz, qw, roll, pitch, yaw) per stamp; angles in degrees."""
    for stamp in stamps:
        m = buffer.lookup(source, target, stamp)
        yield (stamp, m[0][3], m[1][3], m[2][3], *quaternion_of(m), *rpy_degrees(m))


def check_plot(name):
    if Path(name).suffix.lower() not in (".png", ".svg"):
        raise BagError(f"--plot {name}: the file name must end in .png or .svg", 2)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise BagError(
            '--plot needs matplotlib: pip install "matplotlib>=3.5" '
            '(or pip install ".[plot]" in a quilm-tf source checkout)'
        ) from None


def plot(name, source, target, rows):
    from matplotlib.figure import Figure

    t0 = rows[0][0]
    t = [(row[0] - t0) / NS_PER_SECOND for row in rows]
    columns = list(zip(*rows))
    figure = Figure(figsize=(11, 8), layout="constrained")
    path, position, angles = figure.subplot_mosaic([["path", "xyz"], ["path", "rpy"]]).values()
    path.plot(columns[1], columns[2], color="tab:blue")
    path.plot(columns[1][:1], columns[2][:1], "o", color="tab:green", label="first")
    path.plot(columns[1][-1:], columns[2][-1:], "s", color="tab:red", label="last")
    path.set(
        title=f"{source} in {target}, seen from above",
        xlabel="x (m)",
        ylabel="y (m)",
        aspect="equal",
    )
    path.legend()
    for column, label in ((1, "x"), (2, "y"), (3, "z")):
        position.plot(t, columns[column], label=label)
    position.set(ylabel="m")
    for column, label in ((8, "roll"), (9, "pitch"), (10, "yaw")):
        angles.plot(t, columns[column], label=label)
    angles.set(ylabel="degrees", xlabel=f"seconds after {seconds(t0)}")
    for axes in (position, angles):
        axes.legend(loc="upper right")
        axes.grid(alpha=0.3)
    try:
        figure.savefig(name)
    except OSError as error:
        raise BagError(f"cannot write {name}: {error.strerror}") from None


def write_csv(file, rows):
    writer = csv.writer(file, lineterminator="\n")
    writer.writerow(COLUMNS)
    # Adding 0.0 turns -0.0 into 0.0.
    writer.writerows([stamp, *(repr(v + 0.0) for v in values)] for stamp, *values in rows)


def run(args, out, err):
    bags, (args.source, args.target) = source_of(args, (2,))
    source, target = args.source.lstrip("/"), args.target.lstrip("/")
    if args.plot:
        check_plot(args.plot)
    check_outputs({"--csv": args.csv, "--plot": args.plot})
    with bags.open(err) as bag:
        tree, buffer = FrameTree(), TransformBuffer(HISTORY_SECONDS)
        refused = load_transforms(bag, buffer, tree)
        title = bag.title()
        bag_span = bag.span()
    for frame, given in ((source, args.source), (target, args.target)):
        if frame not in tree.frames():
            raise unknown_frame(tree, given)
    begin, end = covered_span(tree, source, target, bag_span)
    # Each stamp from its own index, so that steps do not accumulate a rounding error.
    count = int((end - begin) * args.rate / NS_PER_SECOND + 1e-9) + 1
    if count > MAX_POSES or args.rate > NS_PER_SECOND:
        raise BagError(
            f"--rate {args.rate:g} over {(end - begin) / NS_PER_SECOND:.1f} s makes "
            f"{count:,} poses; at most {MAX_POSES:,}",
            2,
        )
    stamps = (min(end, begin + round(k * NS_PER_SECOND / args.rate)) for k in range(count))
    rows = list(poses(buffer, source, target, stamps))

    if args.csv == "-":
        write_csv(out, rows)
    else:
        chain = " -> ".join(frame_path(tree, source, target))
        out.write(f"quilm-tf echo: {source} in {target}, {title}\n")
        links = plural(len(tree.chain(source, target)), "link")
        out.write(f"  chain {chain} ({links})\n")
        out.write(
            f"  {plural(len(rows), 'pose')} at {args.rate:g} Hz from {seconds(begin)} to "
            f"{seconds(end)}, where every link of the chain has data\n"
        )
        write_refusals(out, refused)
        out.write("\n")
        header = [
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
        ]
        digits = (3, 3, 3, 4, 4, 4, 4, 2, 2, 2)
        body = [
            [seconds(stamp), *(fixed(v, 0, d) for v, d in zip(values, digits))]
            for stamp, *values in rows
        ]
        lines = table([header] + body, right=set(range(1, 11)))
        for line in lines:
            out.write(f"  {line}\n")
        if args.csv:
            text = io.StringIO()
            write_csv(text, rows)
            write_text(args.csv, text.getvalue())
    if args.plot:
        plot(args.plot, source, target, rows)
    return 0
