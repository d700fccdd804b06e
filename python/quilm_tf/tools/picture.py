"""Pictures of a frame tree: SVG drawn here (boxes for frames, arrows for links, a layered tree
layout) and Graphviz text. Neither needs an external program."""

from __future__ import annotations

import re
from collections.abc import Callable
from xml.sax.saxutils import escape

from quilm_tf.tools.tree import FrameTree, Link

FONT_PX = 12
CHAR_PX = 7.4  # the advance of one monospace character at FONT_PX, rounded up
BOX_HEIGHT = 26
LEVEL_HEIGHT = 96
GAP = 24
MARGIN = 20
LABEL_AT = 0.72  # where along an arrow its label sits, from the parent


def text_width(text: str) -> float:
    return len(text) * CHAR_PX


def xml_text(text: str) -> str:
    # XML cannot carry most control characters, even escaped.
    return escape(re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f]", "\ufffd", text), {'"': "&quot;"})


def layout(
    tree: FrameTree, label_of: Callable[[Link], str]
) -> tuple[dict[str, float], dict[str, int], float, int]:
    """(x centre, depth) per frame, the slot width and the depth count.

    Leaves take consecutive slots in depth-first order and a parent sits over the middle of
    its children, so trees (and separate roots) never overlap. A slot is wide enough for the
    widest box, and for the widest label at the point where labels sit."""
    order = list(tree.walk())
    boxes = max((text_width(frame) + 16 for frame, *_ in order), default=0)
    labels = max((text_width(label_of(link)) + 8 for link in tree.links.values()), default=0)
    slot = max(boxes, (labels + GAP) / LABEL_AT) + GAP
    kids = tree.children_map()
    x: dict[str, float] = {}
    depth: dict[str, int] = {}
    next_slot = 0
    for frame, level, *_ in order:
        depth[frame] = level
        if frame not in kids:
            x[frame] = (next_slot + 0.5) * slot
            next_slot += 1
    for frame, *_ in reversed(order):
        if frame in kids:
            x[frame] = (x[kids[frame][0]] + x[kids[frame][-1]]) / 2
    levels = max(depth.values(), default=0) + 1
    return x, depth, max(next_slot, 1) * slot, levels


def svg(tree: FrameTree, label_of: Callable[[Link], str]) -> str:
    """The tree as a standalone SVG document (text)."""
    x, depth, width, levels = layout(tree, label_of)
    height = MARGIN * 2 + (levels - 1) * LEVEL_HEIGHT + BOX_HEIGHT

    def top(frame: str) -> float:
        return MARGIN + depth[frame] * LEVEL_HEIGHT

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
        x1, y1 = x[link.parent], top(link.parent) + BOX_HEIGHT
        x2, y2 = x[child], top(child)
        dash = ' stroke-dasharray="5,4"' if link.is_static else ""
        out.append(
            f'<line x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" y2="{y2:.1f}" '
            f'stroke="#333" stroke-width="1.3"{dash} marker-end="url(#arrow)"/>'
        )
        label = label_of(link)
        lx, ly = x1 + (x2 - x1) * LABEL_AT, y1 + (y2 - y1) * LABEL_AT
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
        w = text_width(frame) + 16
        root = frame not in tree.links
        out.append(
            f'<rect x="{x[frame] - w / 2:.1f}" y="{top(frame)}" width="{w:.1f}" '
            f'height="{BOX_HEIGHT}" rx="4" fill="{"#dde8f6" if root else "#f4f4f4"}" '
            f'stroke="#333" stroke-width="{2 if root else 1}"/>'
        )
        out.append(
            f'<text x="{x[frame]:.1f}" y="{top(frame) + BOX_HEIGHT / 2 + 4:.1f}" '
            f'text-anchor="middle">{xml_text(frame)}</text>'
        )
    out.append("</g>\n</svg>\n")
    return "\n".join(out)


def dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def dot(tree: FrameTree, label_of: Callable[[Link], str]) -> str:
    """The tree as Graphviz text: `dot -Tpng` draws it where Graphviz is installed."""
    lines = ["digraph frames {", '  node [shape=box, fontname="monospace"];']
    for frame in tree.roots():
        lines.append(f"  {dot_id(frame)} [style=bold];")
    for child, link in tree.links.items():
        style = ", style=dashed" if link.is_static else ""
        lines.append(
            f"  {dot_id(link.parent)} -> {dot_id(child)} [label={dot_id(label_of(link))}{style}];"
        )
    lines.append("}")
    return "\n".join(lines) + "\n"
