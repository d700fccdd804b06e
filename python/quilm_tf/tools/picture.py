"""Pictures of a frame tree: SVG drawn here (boxes for frames, arrows for links, a layered tree
layout) and Graphviz text. Neither needs an external program."""

from __future__ import annotations

import re
from collections.abc import Callable
from xml.sax.saxutils import escape

from quilm_tf.tools.text import name
from quilm_tf.tools.tree import FrameTree, Link

LabelOf = Callable[[Link], str]

FONT_PX = 12
CHAR_PX = 7.4  # the advance of one monospace character at FONT_PX, rounded up
BOX_HEIGHT = 26
LEVEL_HEIGHT = 96
GAP = 24
MARGIN = 20
LABEL_AT = 0.72  # where along an arrow its label sits, from the parent
FAN_WIDTH = 6  # leaves of one parent per row; a wider fan continues on rows below
ROW_STEP = BOX_HEIGHT + 34


def text_width(text: str) -> float:
    return len(text) * CHAR_PX


def xml_text(text: str) -> str:
    # Names come escaped already; this keeps any other text well-formed too, since XML cannot
    # carry most control characters, surrogates, U+FFFE or U+FFFF, even as references.
    bad = r"[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]"
    return escape(re.sub(bad, "\ufffd", text), {'"': "&quot;"})


def layout(
    tree: FrameTree, label_of: LabelOf
) -> tuple[dict[str, float], dict[str, int], float, float]:
    """(x centre, y top) per frame, and the picture's width and height.

    Leaves take consecutive slots in depth-first order and a parent sits over the middle of
    its children, so trees (and separate roots) never overlap. The leaves of a wide fan (a
    parent of leaves only) wrap into rows of FAN_WIDTH, each row half a slot aside from the
    one above so that arrows pass between boxes; the levels below move down by the rows
    added. A slot is wide enough for the widest box, and for the widest label where labels
    sit."""
    order = list(tree.walk())
    boxes = max((text_width(name(frame)) + 16 for frame, *_ in order), default=0)
    labels = max((text_width(label_of(link)) + 8 for link in tree.links.values()), default=0)
    slot = max(boxes, (labels + GAP) / LABEL_AT) + GAP
    kids = tree.children_map()
    # Rows a fan adds to its level.
    extra_rows: dict[int, int] = {}
    row_of: dict[str, int] = {}
    for below in kids.values():
        # Only a parent of leaves alone wraps them, so that no subtree takes slots between.
        if len(below) > FAN_WIDTH and not any(child in kids for child in below):
            for i, leaf in enumerate(below):
                row_of[leaf] = i // FAN_WIDTH
    for frame, level, *_ in order:
        if row_of.get(frame):
            extra_rows[level] = max(extra_rows.get(level, 0), row_of[frame])
    x: dict[str, float] = {}
    y: dict[str, int] = {}
    next_slot = 0
    # parent -> [its fan's first slot, leaves placed so far]
    fan_slots: dict[str, list[int]] = {}
    for frame, level, *_ in order:
        y[frame] = MARGIN + level * LEVEL_HEIGHT
        y[frame] += sum(rows * ROW_STEP for lvl, rows in extra_rows.items() if lvl < level)
        if frame in kids:
            continue
        row = row_of.get(frame)
        if row is None:
            x[frame] = (next_slot + 0.5) * slot
            next_slot += 1
            continue
        parent = tree.links[frame].parent
        first, column = fan_slots.setdefault(parent, [next_slot, 0])
        if row == 0:
            next_slot += 1
        x[frame] = (first + column % FAN_WIDTH + 0.5 + (row % 2) / 2) * slot
        y[frame] += row * ROW_STEP
        fan_slots[parent][1] += 1
    for frame, *_ in reversed(order):
        if frame in kids:
            x[frame] = (min(x[k] for k in kids[frame]) + max(x[k] for k in kids[frame])) / 2
    width = (max(next_slot, 1) + (0.5 if row_of else 0)) * slot
    height = max(y.values(), default=MARGIN) + BOX_HEIGHT + MARGIN
    return x, y, width, height


def svg(tree: FrameTree, label_of: LabelOf) -> str:
    """The tree as a standalone SVG document (text)."""
    x, top, width, height = layout(tree, label_of)

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width + 2 * MARGIN:.0f}" '
        f'height="{height:.0f}" font-family="monospace" font-size="{FONT_PX}">',
        '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" '
        'markerWidth="8" markerHeight="8" orient="auto-start-reverse">'
        '<path d="M 0 0 L 10 5 L 0 10 z" fill="#333"/></marker></defs>',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<g transform="translate({MARGIN},0)">',
    ]
    for child, link in tree.links.items():
        x1, y1 = x[link.parent], top[link.parent] + BOX_HEIGHT
        x2, y2 = x[child], top[child]
        dash = ' stroke-dasharray="5,4"' if link.is_static else ""
        out.append(
            f'<line x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" y2="{y2:.1f}" '
            f'stroke="#333" stroke-width="1.3"{dash} marker-end="url(#arrow)"/>'
        )
        label = label_of(link)
        # The label sits a fixed distance above the child, so a fan's rows do not stack theirs.
        share = 1 - (1 - LABEL_AT) * LEVEL_HEIGHT / max(y2 - y1, 1)
        lx, ly = x1 + (x2 - x1) * share, y1 + (y2 - y1) * share
        w = text_width(label) + 8
        out.append(
            f'<rect x="{lx - w / 2:.1f}" y="{ly - 9:.1f}" width="{w:.1f}" height="16" '
            'fill="white" fill-opacity="0.9"/>'
        )
        out.append(
            f'<text x="{lx:.1f}" y="{ly + 3:.1f}" text-anchor="middle" fill="#555">'
            f"{xml_text(label)}</text>"
        )
    for frame in x:
        shown = name(frame)
        w = text_width(shown) + 16
        root = frame not in tree.links
        out.append(
            f'<rect x="{x[frame] - w / 2:.1f}" y="{top[frame]}" width="{w:.1f}" '
            f'height="{BOX_HEIGHT}" rx="4" fill="{"#dde8f6" if root else "#f4f4f4"}" '
            f'stroke="#333" stroke-width="{2 if root else 1}"/>'
        )
        out.append(
            f'<text x="{x[frame]:.1f}" y="{top[frame] + BOX_HEIGHT / 2 + 4:.1f}" '
            f'text-anchor="middle">{xml_text(shown)}</text>'
        )
    out.append("</g>\n</svg>\n")
    return "\n".join(out)


def dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def dot(tree: FrameTree, label_of: LabelOf) -> str:
    """The tree as Graphviz text: `dot -Tpng` draws it where Graphviz is installed."""
    lines = ["digraph frames {", '  node [shape=box, fontname="monospace"];']
    for frame in tree.roots():
        lines.append(f"  {dot_id(name(frame))} [style=bold];")
    for child, link in tree.links.items():
        style = ", style=dashed" if link.is_static else ""
        parent, child_id, label = dot_id(name(link.parent)), dot_id(name(child)), label_of(link)
        lines.append(f"  {parent} -> {child_id} [label={dot_id(label)}{style}];")
    lines.append("}")
    return "\n".join(lines) + "\n"
