"""Reading recorded bags through the optional rosbags package: rosbag2 folders, sqlite3 (.db3)
and MCAP (.mcap) files, and ROS 1 (.bag) files.

Every way a path can fail to be a usable bag becomes a `BagError` whose text says what the path
is not and why.
"""

from __future__ import annotations

import contextlib
from pathlib import Path

from quilm_tf import TransformError, _native
from quilm_tf.tools.messages import stamp_ns_of

INSTALL_HINT = (
    'pip install "rosbags>=0.10" "tqdm>=4" (or pip install ".[bags]" in a quilm-tf source checkout)'
)
LONG_BAG_MESSAGES = 100_000
# Message types whose serialized form the extension decodes itself (the ROS 1 and ROS 2 names
# of one layout); tf topics of any other type are decoded by rosbags.
TF_TYPES = ("tf2_msgs/msg/TFMessage", "tf/msg/tfMessage")
# Serialized tf messages per call into the extension: one write lock and one wake-up each.
TF_BATCH = 4096
# What a single insert may raise for a transform it refuses.
REFUSALS = (TransformError, ValueError, OverflowError, TypeError, AttributeError)

# (magic bytes at the start, what such a file is, how the magic is named) by file suffix.
KINDS = {
    ".bag": (b"#ROSBAG V2.0\n", "a ROS 1 bag", '"#ROSBAG V2.0"'),
    ".mcap": (b"\x89MCAP0\r\n", "a rosbag2 MCAP file", "the MCAP magic bytes"),
    ".db3": (b"SQLite format 3\x00", "a rosbag2 sqlite3 file", "an SQLite header"),
}


class BagError(Exception):
    """A bag or argument that cannot be used; its text is the whole explanation.

    Exit code 2 says the command line names something that is not there, 1 that the bag
    itself cannot be used.
    """

    def __init__(self, text, exit_code=1):
        super().__init__(text)
        self.exit_code = exit_code


def one_line(error):
    return " ".join(str(error).split()) or type(error).__name__


def kind_of(path):
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
    """An open bag: the rosbags reader, its path, and a progress bar for long reads."""

    def __init__(self, reader, path, err):
        self.reader, self.path, self.err = reader, path, err

    @property
    def topics(self):
        return self.reader.topics

    def title(self):
        count = self.reader.message_count
        start, end = self.reader.start_time, self.reader.end_time
        duration = (end - start) / 1e9 if count else 0.0
        return f"{self.path} ({count:,} messages over {duration:.1f} s)"

    def connections(self, topics):
        return [c for c in self.reader.connections if c.topic in topics]

    def tf_connections(self):
        tf = [c for c in self.reader.connections if is_tf_topic(c.topic)]
        if not tf:
            names = ", ".join(self.topics) or "none"
            raise BagError(f"{self.path} has no /tf or /tf_static topic (topics: {names})")
        return tf

    def topic(self, name):
        """The bag's topic for a name given with or without its leading slash."""
        found = next((t for t in self.topics if t.lstrip("/") == name.lstrip("/")), None)
        if found is None:
            raise BagError(f"{self.path} has no topic {name} (topics: {', '.join(self.topics)})", 2)
        return found

    @property
    def ros1(self):
        return not self.reader.is2

    def records(self, connections, label):
        """(receive time, connection, serialized message) in the bag's order; failures are
        BagError."""
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
                bar.update(1)
                connection, timestamp, raw = item
                yield timestamp, connection, raw

    def decode(self, raw, connection):
        try:
            return self.reader.deserialize(raw, connection.msgtype)
        except Exception as error:
            raise BagError(f"cannot read {self.path}: {one_line(error)}") from None

    def read(self, connections, label, deserialize=lambda connection: True):
        """(receive time, topic, message or None) in the bag's order; failures are BagError."""
        for timestamp, connection, raw in self.records(connections, label):
            message = self.decode(raw, connection) if deserialize(connection) else None
            yield timestamp, connection.topic, message


@contextlib.contextmanager
def progress(label, total, err):
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
    def update(self, n):
        pass


@contextlib.contextmanager
def open_bag(name, err):
    path = Path(name)
    if not path.exists():
        raise BagError(f"no such bag: {path}", 2)
    kind = kind_of(path)
    try:
        from rosbags.highlevel import AnyReader
        from rosbags.typesys import Stores, get_typestore
    except ImportError:
        raise BagError(f"reading bags needs the rosbags package: {INSTALL_HINT}") from None
    try:
        reader = AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE))
        reader.open()
    except Exception as error:
        raise BagError(f"{path} looks like {kind} but cannot be read: {one_line(error)}") from None
    try:
        yield Bag(reader, path, err)
    finally:
        reader.close()


def is_tf_topic(topic):
    return topic.lstrip("/") in ("tf", "tf_static")


def has_header(typestore, msgtype):
    fields = typestore.fielddefs.get(msgtype)
    return fields is not None and any(name == "header" for name, _ in fields[1])


def count_refusal(refused, error):
    text = f"{type(error).__name__}: {error}"
    refused[text] = refused.get(text, 0) + 1


def insert_checked(buffer, item, is_static, refused):
    """Inserts one transform; a refusal is counted in refused by its text. True if accepted."""
    try:
        buffer.insert_transform_stamped(item, is_static)
        return True
    except REFUSALS as error:
        count_refusal(refused, error)
        return False


def insert_payloads(buffer, payloads, is_static, ros1, refused):
    """Serialized tf messages into buffer in one call, each transform checked as
    insert_checked checks it; a malformed message is one refusal. Returns (links, records)
    of the accepted transforms, as FrameTree.add_records takes them."""
    links, records, refusals = _native._insert_tf_payloads(buffer, payloads, is_static, ros1)
    for _, error in refusals:
        count_refusal(refused, error)
    return links, records


class TfLoader:
    """Feeds tf messages to a buffer and a tree in bag order: those of TF_TYPES in batches of
    serialized messages, any other type decoded by rosbags and inserted one by one."""

    def __init__(self, bag, buffer, tree, refused):
        self.bag, self.buffer, self.tree, self.refused = bag, buffer, tree, refused
        self.payloads, self.received, self.is_static = [], [], False

    def add(self, timestamp, connection, raw):
        is_static = connection.topic.lstrip("/") == "tf_static"
        if connection.msgtype not in TF_TYPES:
            self.flush()
            for item in self.bag.decode(raw, connection).transforms:
                if insert_checked(self.buffer, item, is_static, self.refused):
                    stamp = stamp_ns_of(item.header)
                    received = None if is_static else timestamp
                    self.tree.add(
                        item.header.frame_id, item.child_frame_id, stamp, is_static, received
                    )
            return
        # A batch holds one kind, so that the order of inserts is the bag's.
        if is_static != self.is_static or len(self.payloads) >= TF_BATCH:
            self.flush()
            self.is_static = is_static
        self.payloads.append(raw)
        self.received.append(timestamp)

    def flush(self):
        if not self.payloads:
            return
        links, records = insert_payloads(
            self.buffer, self.payloads, self.is_static, self.bag.ros1, self.refused
        )
        received = None if self.is_static else self.received
        self.tree.add_records(links, records, self.is_static, received)
        self.payloads, self.received = [], []


def load_transforms(bag, buffer, tree, label="reading"):
    """Feeds /tf and /tf_static into buffer; tree gets the accepted ones with their receive
    times. Returns the refusals (text -> count)."""
    refused: dict[str, int] = {}
    loader = TfLoader(bag, buffer, tree, refused)
    for timestamp, connection, raw in bag.records(bag.tf_connections(), label):
        loader.add(timestamp, connection, raw)
    loader.flush()
    if not tree.links and not refused:
        raise BagError(f"{bag.path} holds no transforms on /tf or /tf_static")
    return refused


def unknown_frame(tree, frame):
    names = ", ".join(sorted(tree.frames()))
    return BagError(f"frame {frame} is not in the bag's transforms (frames: {names})", 2)
