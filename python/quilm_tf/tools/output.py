"""Files the commands write (SVG, Graphviz, CSV, plots): checked before a bag is read, so that a
long read does not end in a path that cannot be written."""

from __future__ import annotations

import os
from pathlib import Path

from quilm_tf.tools.bags import BagError


def check_writable(name: str) -> None:
    path = Path(name)
    parent = path.parent
    if path.is_dir():
        why = "it is a folder"
    elif not parent.is_dir():
        why = f"there is no folder {parent}"
    elif not os.access(parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        why = "permission denied"
    else:
        return
    raise BagError(f"cannot write {name}: {why}", 2)


def write_text(name: str, text: str) -> None:
    try:
        with open(name, "w", encoding="utf-8", newline="") as file:
            file.write(text)
    except OSError as error:
        raise BagError(f"cannot write {name}: {error.strerror}") from None
