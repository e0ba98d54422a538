"""The row tree of a tall product, as the Strassen recursion splits it.

A product with a tall left or right factor (DᵀD, DᵀY for n rows of D, or
X·W for n rows of X) is padded to the square of side max(n, width) made even,
where width is the largest other dimension. While the side is above the
schoolbook threshold (64) and width fits in its half, one level splits the
rows cleanly in two: the first half of the side, and the rest, each padded to
the half made even. Rows past a node's own rows are zeros of the padding, so
a node's second child starts at half its side whether or not the node is
full, and is empty when the node has half its side of rows or fewer.

Below the last clean split a node is one product of its rows padded to its
side; the recursion there mixes rows (M1 = (A11 + A22)(...) adds row i to row
i + half).
"""

from __future__ import annotations

from typing import NamedTuple

# The side at or below which the library multiplies by the schoolbook
# product; it never splits such a block.
NAIVE_THRESHOLD = 64


def _even(d: int) -> int:
    return d + (d & 1)


def sides(n: int, width: int) -> list[int]:
    """Side of the nodes at each depth; the last entry is the leaves' side.

    The root's side is the product's common side, max(n, width) made even.
    """
    s = _even(max(n, width))
    out = [s]
    while s > NAIVE_THRESHOLD and width <= s // 2:
        s = _even(s // 2)
        out.append(s)
    return out


class Node(NamedTuple):
    start: int  # first row
    rows: int  # real rows; the rest up to side are padding zeros
    side: int  # the side the node's product is padded to


def level(n: int, width: int, depth: int) -> list[Node]:
    """The 2**depth nodes at ``depth`` (at most the leaves' depth), in row order."""
    side = sides(n, width)
    if not 0 <= depth < len(side):
        raise ValueError(f"depth must be in [0, {len(side) - 1}]")
    spans = [(0, n)]
    for d in range(depth):
        half = side[d] // 2
        spans = [
            child
            for start, rows in spans
            for child in ((start, min(rows, half)), (start + half, max(rows - half, 0)))
        ]
    # At the root the product pads itself: its common side may exceed n only
    # through width, and then the root is a leaf.
    return [Node(start, rows, side[depth] if depth else max(n, 1)) for start, rows in spans]


def depth_for(n: int, width: int, max_rows: int) -> int:
    """The shallowest depth whose nodes hold at most ``max_rows`` rows each,
    or the leaves' depth if none does."""
    side = sides(n, width)
    depth = 0
    # Below the root a node holds at most half its parent's side.
    while depth + 1 < len(side) and (n if depth == 0 else side[depth - 1] // 2) > max_rows:
        depth += 1
    return depth
