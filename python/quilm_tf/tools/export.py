"""quilm-tf export: poses from many bags into one Parquet file, one row per (bag, stamp, pose).

Each bag is exported on its own by quilm_tf.datasets.export_bag: in this process one after the
other, in local processes (--jobs), or as one task per bag on a Dask cluster (--dask, a local
one on 127.0.0.1 when no address is given). Whatever runs the bags, the tables are written in
the order the bags were named, so every mode writes the same rows. A bag that cannot be read is
named on stderr and the others are still written; the exit status is then 1.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from quilm_tf.tools.bags import BagError, Out, Stream, one_line

if TYPE_CHECKING:
    import pyarrow

# A bag's table and a note for stderr, or no table and why: what export_one returns.
Outcome = tuple["pyarrow.Table | None", str | None]

DASK_HINT = 'pip install "quilm-tf[dask]" (dask[distributed])'


def pose_request(text: str) -> tuple[str, str]:
    source, sep, target = text.partition(":")
    if not sep or not source or not target:
        raise argparse.ArgumentTypeError(f"expected SOURCE:TARGET, got {text!r}")
    return source, target


def export_one(bag: str, poses: Sequence[tuple[str, str]], options: dict[str, Any]) -> Outcome:
    """(table, note on refused transforms or None) or (None, why the bag failed), for one bag;
    runs in whichever process the mode picks."""
    from quilm_tf.datasets import export_with_refusals

    try:
        table, refused = export_with_refusals(bag, poses, **options)
    except BagError as error:
        return None, str(error)
    except Exception as error:  # a reader's own failure on a broken file
        return None, f"cannot read {bag}: {one_line(error)}"
    if not refused:
        return table, None
    text, (_, stamp_ns, topic) = next(iter(refused.reasons.items()))
    count = refused.total()
    first = "one" if count == 1 else f"{count:,}, the first"
    return table, f"{bag}: {first} transform refused: {one_line(text)} (on {topic})"


@contextlib.contextmanager
def local_dask_cluster() -> Iterator[str]:
    """Two worker processes and a scheduler, all listening on 127.0.0.1 only, no dashboard."""
    import dask
    from distributed import LocalCluster

    # Workers started by a fork server come up faster than spawned ones, and without the
    # hazards of forking this process, whose cluster runs threads.
    with (
        dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}),
        LocalCluster(  # type: ignore[no-untyped-call]  # distributed leaves it unannotated
            host="127.0.0.1",
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            worker_dashboard_address=None,
        ) as cluster,
    ):
        yield cluster.scheduler_address


def results_on_dask(
    address: str, bags: Sequence[str], work: Callable[[str], Outcome]
) -> Iterator[Outcome]:
    try:
        from distributed import Client
    except ImportError:
        raise BagError(f"--dask needs Dask's distributed scheduler: {DASK_HINT}") from None
    with contextlib.ExitStack() as stack:
        if not address:
            address = stack.enter_context(local_dask_cluster())
        # distributed leaves Client's constructor unannotated.
        client = stack.enter_context(Client(address))  # type: ignore[no-untyped-call]
        # pure=False: two bags with the same path are still two tasks.
        futures = client.map(work, bags, pure=False)
        for future in futures:
            yield future.result()
            future.release()


def results(
    bags: Sequence[str], work: Callable[[str], Outcome], jobs: int, dask: str | None
) -> Iterator[Outcome]:
    if dask is not None:
        yield from results_on_dask(dask, bags, work)
    elif jobs > 1:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        # Not forked: this process may run threads (a progress bar's monitor, a caller's).
        context = multiprocessing.get_context("forkserver")
        with ProcessPoolExecutor(min(jobs, len(bags)), mp_context=context) as pool:
            yield from pool.map(work, bags)
    else:
        yield from map(work, bags)


def run(args: argparse.Namespace, out: Out, err: Stream) -> int:
    from quilm_tf.datasets import _pyarrow, schema
    from quilm_tf.tools.output import check_outputs

    bags = list(args.bags) + list(args.positionals)
    if not bags:
        raise BagError("no bag given: name one or more", 2)
    if not args.poses:
        raise BagError("give at least one --pose SOURCE:TARGET", 2)
    if (args.at is None) == (args.rate is None):
        raise BagError("give one of --at TOPIC and --rate HZ", 2)
    if args.start is not None and args.end is not None and args.end <= args.start:
        raise BagError(f"--end {args.end:g} is not after --start {args.start:g}", 2)
    if args.jobs < 1:
        raise BagError("--jobs must be at least 1", 2)
    to_stdout = check_outputs({"--out": args.out}) is not None
    pa = _pyarrow()
    import pyarrow.parquet as pq

    options = {
        "at": args.at,
        "rate_hz": args.rate,
        "start_s": args.start,
        "end_s": args.end,
        "tf_topics": tuple(args.tf_topics) or ("/tf", "/tf_static"),
    }
    work = functools.partial(export_one, poses=list(args.poses), options=options)
    sink = pa.PythonFile(sys.stdout.buffer, mode="w") if to_stdout else args.out
    failed = rows = 0
    try:
        with pq.ParquetWriter(sink, schema()) as writer:
            for table, note in results(bags, work, args.jobs, args.dask):
                if note is not None:
                    err.write(f"{args.prog}: {note}\n")
                if table is None:
                    failed += 1
                    continue
                writer.write_table(table)
                rows += table.num_rows
    except BrokenPipeError:
        if not to_stdout:
            raise
        # The reader stopped reading (| head): nothing else is to be written, end quietly;
        # stdout goes to /dev/null so that the interpreter's last flush cannot fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1 if failed else 0
    if not to_stdout:
        good = len(bags) - failed
        out.write(f"quilm-tf export: {rows:,} rows from {good} of {len(bags)} bags to {args.out}\n")
    return 1 if failed else 0


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from quilm_tf.tools.cli import positive_number
    from quilm_tf.tools.source import add_source_arguments

    add_source_arguments(parser)
    parser.add_argument(
        "--pose",
        metavar="SOURCE:TARGET",
        action="append",
        dest="poses",
        type=pose_request,
        default=[],
        help="the pose of SOURCE in TARGET (repeatable)",
    )
    when = parser.add_mutually_exclusive_group()
    when.add_argument("--at", metavar="TOPIC", help="at the header stamp of each message on TOPIC")
    when.add_argument(
        "--rate",
        metavar="HZ",
        type=positive_number,
        help="at HZ over the span where every dynamic link of the pose's chain has data",
    )
    parser.add_argument(
        "--out", metavar="PATH", required=True, help="the Parquet file to write, - for stdout"
    )
    parser.add_argument(
        "--jobs", metavar="N", type=int, default=1, help="export N bags at once in local processes"
    )
    parser.add_argument(
        "--dask",
        metavar="ADDRESS",
        nargs="?",
        const="",
        help="one task per bag on the Dask scheduler at ADDRESS, or on a local cluster of two "
        "worker processes on 127.0.0.1 when no address is given",
    )
