"""Reading recorded bags through the optional rosbags package: rosbag2 folders, sqlite3 (.db3)
and MCAP (.mcap) files, and ROS 1 (.bag) files.

Every way a path can fail to be a usable bag becomes a `BagError` whose text says what the path
is not and why.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Container, Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from quilm_tf import TransformBuffer, TransformError
from quilm_tf.tools.messages import stamp_ns_of
from quilm_tf.tools.tree import FrameTree

INSTALL_HINT = (
    'pip install "rosbags>=0.10" "tqdm>=4" (or pip install ".[bags]" in a quilm-tf source checkout)'
)
LONG_BAG_MESSAGES = 100_000

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

    def __init__(self, text: str, exit_code: int = 1) -> None:
        super().__init__(text)
        self.exit_code = exit_code


def one_line(error: BaseException) -> str:
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
    """An open bag: the rosbags reader, its path, and a progress bar for long reads."""

    # reader is a rosbags AnyReader; messages are what it deserializes.
    def __init__(self, reader: Any, path: Path, err: TextIO) -> None:
        self.reader, self.path, self.err = reader, path, err

    @property
    def topics(self) -> dict[str, Any]:
        topics: dict[str, Any] = self.reader.topics
        return topics

    def title(self) -> str:
        count = self.reader.message_count
        start, end = self.reader.start_time, self.reader.end_time
        duration = (end - start) / 1e9 if count else 0.0
        return f"{self.path} ({count:,} messages over {duration:.1f} s)"

    def connections(self, topics: Container[str]) -> list[Any]:
        return [c for c in self.reader.connections if c.topic in topics]

    def tf_connections(self) -> list[Any]:
        tf = [c for c in self.reader.connections if is_tf_topic(c.topic)]
        if not tf:
            names = ", ".join(self.topics) or "none"
            raise BagError(f"{self.path} has no /tf or /tf_static topic (topics: {names})")
        return tf

    def topic(self, name: str) -> str:
        """The bag's topic for a name given with or without its leading slash."""
        found = next((t for t in self.topics if t.lstrip("/") == name.lstrip("/")), None)
        if found is None:
            raise BagError(f"{self.path} has no topic {name} (topics: {', '.join(self.topics)})", 2)
        return found

    def read(
        self,
        connections: Sequence[Any],
        label: str,
        deserialize: Callable[[Any], bool] = lambda connection: True,
    ) -> Iterator[tuple[int, str, Any]]:
        """(receive time, topic, message or None) in the bag's order; failures are BagError."""
        total = sum(c.msgcount for c in connections)
        with progress(label, total, self.err) as bar:
            messages = self.reader.messages(connections=connections)
            while True:
                try:
                    item = next(messages, None)
                    if item is None:
                        break
                    connection, timestamp, raw = item
                    message = None
                    if deserialize(connection):
                        message = self.reader.deserialize(raw, connection.msgtype)
                except Exception as error:
                    raise BagError(f"cannot read {self.path}: {one_line(error)}") from None
                bar.update(1)
                yield timestamp, connection.topic, message


@contextlib.contextmanager
def progress(label: str, total: int, err: TextIO) -> Iterator[Any]:
    """A tqdm bar on err when it is a terminal, or for long bags; nothing without tqdm."""
    show = err.isatty() or total >= LONG_BAG_MESSAGES
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
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
    def update(self, n: int) -> None:
        pass


@contextlib.contextmanager
def open_bag(name: str, err: TextIO) -> Iterator[Bag]:
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


def is_tf_topic(topic: str) -> bool:
    return topic.lstrip("/") in ("tf", "tf_static")


def has_header(typestore: Any, msgtype: str) -> bool:
    fields = typestore.fielddefs.get(msgtype)
    return fields is not None and any(name == "header" for name, _ in fields[1])


def insert_checked(
    buffer: TransformBuffer, item: Any, is_static: bool, refused: dict[str, int]
) -> bool:
    """Inserts one transform; a refusal is counted in refused by its text. True if accepted."""
    try:
        buffer.insert_transform_stamped(item, is_static)
        return True
    except (TransformError, ValueError, TypeError, AttributeError) as error:
        text = f"{type(error).__name__}: {error}"
        refused[text] = refused.get(text, 0) + 1
        return False


def load_transforms(
    bag: Bag, buffer: TransformBuffer, tree: FrameTree, label: str = "reading"
) -> dict[str, int]:
    """Feeds /tf and /tf_static into buffer; tree gets the accepted ones with their receive
    times. Returns the refusals (text -> count)."""
    refused: dict[str, int] = {}
    for timestamp, topic, message in bag.read(bag.tf_connections(), label):
        is_static = topic.lstrip("/") == "tf_static"
        for item in message.transforms:
            if insert_checked(buffer, item, is_static, refused):
                tree.add(
                    item.header.frame_id,
                    item.child_frame_id,
                    stamp_ns_of(item.header),
                    is_static,
                    None if is_static else timestamp,
                )
    if not tree.links and not refused:
        raise BagError(f"{bag.path} holds no transforms on /tf or /tf_static")
    return refused


def unknown_frame(tree: FrameTree, frame: str) -> BagError:
    names = ", ".join(sorted(tree.frames()))
    return BagError(f"frame {frame} is not in the bag's transforms (frames: {names})", 2)
