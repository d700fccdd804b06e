"""Reading recorded bags through the optional rosbags package: rosbag2 folders, sqlite3 (.db3)
and MCAP (.mcap) files, and ROS 1 (.bag) files.

Every way a path can fail to be a usable bag becomes a `BagError` whose text says what the path
is not and why.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from quilm_tf import TransformError, _native
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.messages import stamp_ns_of

if TYPE_CHECKING:
    from rosbags.highlevel import AnyReader
    from rosbags.interfaces import Connection, TopicInfo
    from rosbags.typesys.store import Typestore

    from quilm_tf import TransformBuffer
    from quilm_tf.tools.live import LiveGraph
    from quilm_tf.tools.tree import FrameTree

INSTALL_HINT = (
    'pip install "rosbags>=0.10" "tqdm>=4" (or pip install ".[bags]" in a quilm-tf source checkout)'
)
LONG_BAG_MESSAGES = 100_000
# tf2's message, and the older tf package's in ROS 1 bags; same fields.
TF_TYPES = ("tf2_msgs/msg/TFMessage", "tf/msg/tfMessage")
# Serialized tf messages per call into the extension: one write lock and one wake-up each.
TF_BATCH = 4096

# (magic bytes at the start, what such a file is, how the magic is named) by file suffix.
KINDS = {
    ".bag": (b"#ROSBAG V2.0\n", "a ROS 1 bag", '"#ROSBAG V2.0"'),
    ".mcap": (b"\x89MCAP0\r\n", "a rosbag2 MCAP file", "the MCAP magic bytes"),
    ".db3": (b"SQLite format 3\x00", "a rosbag2 sqlite3 file", "an SQLite header"),
}


class Stream(Protocol):
    """Where the commands write text: sys.stdout and sys.stderr, an open file, Stdout."""

    def write(self, text: str, /) -> object: ...
    def flush(self) -> object: ...
    def isatty(self) -> bool: ...


class Out(Stream, Protocol):
    """Where a command writes its report: a Stream whose encoding says what it can show."""

    @property
    def encoding(self) -> str | None: ...


class BagError(Exception):
    """A bag or argument that cannot be used; its text is the whole explanation.

    Exit code 2 says the command line names something that is not there, 1 that the bag
    itself cannot be used.
    """

    def __init__(self, text: str, exit_code: int = 1) -> None:
        super().__init__(text)
        self.exit_code = exit_code


def one_line(error: BaseException | str) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def kind_of(path: Path) -> str:
    """What the path must be, from its form; raises BagError when it can be none of them."""
    if path.is_dir():
        if not (path / "metadata.yaml").is_file():
            raise BagError(f"{path} is not a rosbag2 folder: it has no metadata.yaml")
        return "a rosbag2 folder"
    if path.suffix not in KINDS:
        raise BagError(
            f"{path} is not a bag: expected a rosbag2 folder, a .db3 or .mcap file, "
            "or a ROS 1 .bag file"
        )
    magic, kind, named = KINDS[path.suffix]
    try:
        with path.open("rb") as file:
            head = file.read(len(magic))
    except OSError as error:
        raise BagError(f"cannot read {path}: {error.strerror}") from None
    if head != magic:
        raise BagError(f"{path} is not {kind}: it does not start with {named}")
    return kind


class Bag:
    """An open bag (or several read as one): the rosbags reader, the tf topics to read, the
    window of receive times kept, and a progress bar for long reads."""

    def __init__(
        self,
        reader: AnyReader,
        paths: Sequence[Path],
        err: Stream,
        tf_topics: Sequence[str] = ("/tf", "/tf_static"),
        start_s: float | None = None,
        end_s: float | None = None,
    ) -> None:
        self.reader, self.err = reader, err
        self.path = " + ".join(str(path) for path in paths)
        self.tf_topics = tf_topics
        origin = reader.start_time if reader.message_count else 0
        self.start_ns = None if start_s is None else origin + round(start_s * NS_PER_SECOND)
        self.end_ns = None if end_s is None else origin + round(end_s * NS_PER_SECOND)
        # Messages on a tf topic that are not tf messages: "topic (type)" -> count.
        self.skipped: dict[str, int] = {}

    @property
    def topics(self) -> dict[str, TopicInfo]:
        return self.reader.topics

    def span(self) -> tuple[int, int]:
        """The first and last receive times, in ns."""
        return self.reader.start_time, self.reader.end_time

    def title(self) -> str:
        count = self.reader.message_count
        start, end = self.reader.start_time, self.reader.end_time
        duration = (end - start) / 1e9 if count else 0.0
        return f"{self.path} ({count:,} messages over {duration:.1f} s)"

    def connections(self, topics: Collection[str | None]) -> list[Connection]:
        return [c for c in self.reader.connections if c.topic in topics]

    def tf_topic_names(self) -> list[str]:
        """The bag's topics that the tf topics asked for name, with each .../tf's sibling
        .../tf_static."""
        wanted: set[str] = set()
        for topic in self.tf_topics:
            name = topic.strip("/")
            wanted.add(name)
            if name == "tf" or name.endswith("/tf"):
                wanted.add(name + "_static")
        return [t for t in self.topics if t.strip("/") in wanted]

    def tf_connections(self) -> list[Connection]:
        """The connections of the tf topics that carry tf messages; the others are counted as
        skipped. Raises BagError when none is left."""
        found = self.tf_topic_names()
        tf: list[Connection] = []
        self.skipped = {}
        for connection in self.connections(found):
            if connection.msgtype in TF_TYPES:
                tf.append(connection)
            else:
                key = f"{connection.topic} ({connection.msgtype})"
                self.skipped[key] = self.skipped.get(key, 0) + connection.msgcount
        if not tf:
            asked = " or ".join(self.tf_topics)
            names = ", ".join(f"{t} ({self.topics[t].msgtype})" for t in self.topics) or "none"
            raise BagError(f"{self.path} has no tf messages on {asked} (topics: {names})")
        return tf

    def topic(self, name: str) -> str:
        """The bag's topic for a name given with or without its leading slash."""
        found = next((t for t in self.topics if t.lstrip("/") == name.lstrip("/")), None)
        if found is None:
            raise BagError(f"{self.path} has no topic {name} (topics: {', '.join(self.topics)})", 2)
        return found

    def in_window(self, timestamp: int, topic: str) -> bool:
        """Whether a message received at timestamp is kept; static transforms received before
        the window still hold in it."""
        if self.end_ns is not None and timestamp > self.end_ns:
            return False
        if self.start_ns is not None and timestamp < self.start_ns:
            return is_static_topic(topic) and topic in self.tf_topic_names()
        return True

    @property
    def ros1(self) -> bool:
        """Whether messages are in the ROS 1 serialization (else CDR)."""
        return not self.reader.is2

    def records(
        self, connections: Sequence[Connection], label: str
    ) -> Iterator[tuple[int, Connection, bytes]]:
        """(receive time, connection, serialized message) in the bag's order, within the
        window; failures are BagError."""
        total = sum(c.msgcount for c in connections)
        with progress(label, total, self.err) as bar:
            messages = self.reader.messages(connections=connections)
            while True:
                try:
                    item = next(messages, None)
                except Exception as error:
                    raise BagError(f"cannot read {self.path}: {one_line(error)}") from None
                if item is None:
                    break
                connection, timestamp, raw = item
                bar.update(1)
                if self.in_window(timestamp, connection.topic):
                    yield timestamp, connection, raw

    # Messages are the type store's generated classes, read by attribute.
    def decode(self, raw: bytes, connection: Connection) -> Any:
        try:
            return self.reader.deserialize(raw, connection.msgtype)
        except Exception as error:
            raise BagError(f"cannot read {self.path}: {one_line(error)}") from None

    def read(
        self,
        connections: Sequence[Connection],
        label: str,
        deserialize: Callable[[Connection], bool] = lambda connection: True,
    ) -> Iterator[tuple[int, str, Any]]:
        """(receive time, topic, message or None) in the bag's order, within the window;
        failures are BagError."""
        for timestamp, connection, raw in self.records(connections, label):
            message = self.decode(raw, connection) if deserialize(connection) else None
            yield timestamp, connection.topic, message

    def transform_messages(self, label: str = "reading") -> Iterator[tuple[int, str, bool, Any]]:
        """(receive time, topic, is_static, tf message) of the tf topics, within the window."""
        for timestamp, topic, message in self.read(self.tf_connections(), label):
            yield timestamp, topic, is_static_topic(topic), message


class ProgressBar(Protocol):
    def update(self, n: int, /) -> object: ...


@contextlib.contextmanager
def progress(label: str, total: int, err: Stream) -> Iterator[ProgressBar]:
    """A tqdm bar on err when it is a terminal, or for long bags; nothing without tqdm."""
    show = err.isatty() or total >= LONG_BAG_MESSAGES
    try:
        from tqdm import tqdm
    except ImportError:
        show = False
    if not show:
        yield _NoBar()
        return
    # Away from a terminal, a line every 10 s instead of redrawing in place.
    with tqdm(
        total=total,
        desc=label,
        unit=" msg",
        file=err,
        leave=True,
        dynamic_ncols=True,
        mininterval=0.1 if err.isatty() else 10.0,
    ) as bar:
        yield bar


class _NoBar:
    def update(self, n: int, /) -> None:
        pass


@contextlib.contextmanager
def open_bag(
    names: str | Path | Sequence[str | Path],
    err: Stream,
    tf_topics: Sequence[str] = ("/tf", "/tf_static"),
    start_s: float | None = None,
    end_s: float | None = None,
) -> Iterator[Bag]:
    """The bags named (a path, or a list read as one) opened as a Bag; BagError if unusable."""
    paths = [Path(name) for name in ([names] if isinstance(names, str | Path) else names)]
    kinds: list[str] = []
    for path in paths:
        if not path.exists():
            raise BagError(f"no such bag: {path}", 2)
        kinds.append(kind_of(path))
    kind = kinds[0] if len(set(kinds)) == 1 else "bags"
    shown = " + ".join(str(p) for p in paths)
    try:
        from rosbags.highlevel import AnyReader
        from rosbags.typesys import Stores, get_typestore
    except ImportError:
        raise BagError(f"reading bags needs the rosbags package: {INSTALL_HINT}") from None
    try:
        reader = AnyReader(paths, default_typestore=get_typestore(Stores.ROS2_HUMBLE))
        reader.open()
    except Exception as error:
        raise BagError(f"{shown} looks like {kind} but cannot be read: {one_line(error)}") from None
    try:
        yield Bag(reader, paths, err, tf_topics, start_s, end_s)
    finally:
        reader.close()


def is_tf_topic(topic: str) -> bool:
    name = topic.strip("/")
    return name in ("tf", "tf_static") or name.endswith(("/tf", "/tf_static"))


def is_static_topic(topic: str) -> bool:
    name = topic.strip("/")
    return name == "tf_static" or name.endswith("/tf_static")


def has_header(typestore: Typestore, msgtype: str | None) -> bool:
    fields = None if msgtype is None else typestore.fielddefs.get(msgtype)
    return fields is not None and any(name == "header" for name, _ in fields[1])


class Refusals:
    """Transforms a buffer refused: per reason the count and the first one's stamp and topic,
    and per frame named by a refused transform the first reason."""

    def __init__(self) -> None:
        # text -> [count, the first one's stamp_ns (None if it has none), its topic]
        self.reasons: dict[str, list[Any]] = {}
        self.frames: dict[str, str] = {}

    def add(self, text: str, stamp_ns: int | None, topic: str, names: Iterable[str] = ()) -> None:
        entry = self.reasons.setdefault(text, [0, stamp_ns, topic])
        entry[0] += 1
        for name in names:
            self.frames.setdefault(name, text)

    def total(self) -> int:
        return sum(count for count, _, _ in self.reasons.values())

    def __bool__(self) -> bool:
        return bool(self.reasons)

    def as_json(self) -> list[dict[str, Any]]:
        return [
            {"reason": text, "count": count, "first_stamp_ns": stamp, "topic": topic}
            for text, (count, stamp, topic) in self.reasons.items()
        ]


def raw_stamp_ns(item: Any) -> int | None:
    """The stamp of a message as written, whatever it holds; None if it is not a stamp."""
    try:
        stamp = item.header.stamp
        return int(stamp.sec) * NS_PER_SECOND + int(stamp.nanosec)
    except (AttributeError, TypeError, ValueError, OverflowError):
        return None


def names_of(item: Any) -> list[str]:
    names = []
    getters: tuple[Callable[[], object], ...] = (
        lambda: item.header.frame_id,
        lambda: item.child_frame_id,
    )
    for get in getters:
        try:
            name = get()
        except AttributeError:
            continue
        if isinstance(name, str):
            names.append(name.lstrip("/"))
    return names


def insert_payloads(
    buffer: TransformBuffer,
    payloads: Sequence[bytes],
    is_static: bool,
    ros1: bool,
    refused: Refusals,
    topics: Sequence[str],
) -> tuple[list[tuple[str, str]], bytes]:
    """Serialized tf messages into buffer in one call, each transform checked as
    insert_transform_stamped checks it; refusals, a malformed message among them, are added to
    refused with topics[i], the topic of payload i. Returns (links, records) of the accepted
    transforms, as FrameTree.add_records takes them."""
    links, records, refusals = _native._insert_tf_payloads(buffer, payloads, is_static, ros1)
    for index, error, stamp_ns, names in refusals:
        text = f"{type(error).__name__}: {error}"
        refused.add(text, stamp_ns, topics[index], [name.lstrip("/") for name in names])
    return links, records


class TfLoader:
    """Feeds serialized tf messages to a buffer and a tree in batches, in the bag's order."""

    def __init__(
        self, bag: Bag, buffer: TransformBuffer, tree: FrameTree, refused: Refusals
    ) -> None:
        self.bag, self.buffer, self.tree, self.refused = bag, buffer, tree, refused
        self.payloads: list[bytes] = []
        self.received: list[int] = []
        self.topics: list[str] = []
        self.is_static = False

    def add(self, timestamp: int, connection: Connection, raw: bytes) -> None:
        is_static = is_static_topic(connection.topic)
        # A batch holds one kind, so that inserts keep the bag's order.
        if is_static != self.is_static or len(self.payloads) >= TF_BATCH:
            self.flush()
            self.is_static = is_static
        self.payloads.append(raw)
        self.received.append(timestamp)
        self.topics.append(connection.topic)

    def flush(self) -> None:
        if not self.payloads:
            return
        links, records = insert_payloads(
            self.buffer, self.payloads, self.is_static, self.bag.ros1, self.refused, self.topics
        )
        received = None if self.is_static else self.received
        self.tree.add_records(links, records, self.is_static, received)
        self.payloads, self.received, self.topics = [], [], []


def load_transforms(
    bag: Bag | LiveGraph, buffer: TransformBuffer, tree: FrameTree, label: str = "reading"
) -> Refusals:
    """Feeds the tf topics into buffer; tree gets the accepted ones with their receive
    times. Returns the Refusals."""
    refused = Refusals()
    if isinstance(bag, Bag):
        loader = TfLoader(bag, buffer, tree, refused)
        for timestamp, connection, raw in bag.records(bag.tf_connections(), label):
            loader.add(timestamp, connection, raw)
        loader.flush()
    else:
        insert_messages(bag, buffer, tree, refused, label)
    if not tree.links and not refused:
        raise BagError(f"{bag.path} holds no transforms on {' or '.join(bag.tf_topics)}")
    return refused


def insert_messages(
    graph: LiveGraph, buffer: TransformBuffer, tree: FrameTree, refused: Refusals, label: str
) -> None:
    """Feeds tf messages that arrived decoded (from a live graph) into buffer, one transform
    at a time, so that a refused one is counted and the others are kept."""
    for timestamp, topic, is_static, message in graph.transform_messages(label):
        for item in message.transforms:
            try:
                buffer.insert_transform_stamped(item, is_static)
            except (TransformError, ValueError, TypeError, AttributeError) as error:
                text = f"{type(error).__name__}: {error}"
                refused.add(text, raw_stamp_ns(item), topic, names_of(item))
                continue
            received = None if is_static else timestamp
            stamp = stamp_ns_of(item.header)
            tree.add(item.header.frame_id, item.child_frame_id, stamp, is_static, received)


def unknown_frame(tree: FrameTree, frame: str, refused: Refusals | None = None) -> BagError:
    """The error for a frame given on the command line that no accepted transform names."""
    bare = frame.lstrip("/")
    if refused is not None and bare in refused.frames:
        return BagError(
            f"frame {escaped(frame)} is only in refused transforms, such as: "
            f"{one_line(refused.frames[bare])}",
            2,
        )
    names = ", ".join(escaped(name) for name in sorted(tree.frames()))
    return BagError(f"frame {escaped(frame)} is not in the bag's transforms (frames: {names})", 2)


def escaped(text: str) -> str:
    from quilm_tf.tools.text import name

    return name(text)
