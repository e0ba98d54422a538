"""The row tree's layout: the sides the recursion pads to, and nodes that
cover the rows in order."""

import pytest

from bravolin import _row_tree


@pytest.mark.parametrize(
    ("n", "width", "sides"),
    [
        # From the recursion's own rules: 65 pads to 66, splits at 33, whose
        # products pad to 34; 130 splits at 65, padded to 66, and again.
        (65, 1, [66, 34]),
        (130, 1, [130, 66, 34]),
        (128, 1, [128, 64]),
        (64, 1, [64]),
        (3, 1, [4]),
        # A split is clean only while the width fits in the half.
        (1000, 100, [1000, 500, 250, 126]),
        (1000, 126, [1000, 500, 250]),
        (10, 40, [40]),
    ],
)
def test_sides(n, width, sides):
    assert _row_tree.sides(n, width) == sides


@pytest.mark.parametrize(("n", "width"), [(1, 1), (257, 3), (1_000_001, 17), (4_097, 101)])
def test_each_level_covers_the_rows_in_order(n, width):
    sides = _row_tree.sides(n, width)
    for depth in range(len(sides)):
        nodes = _row_tree.level(n, width, depth)
        assert len(nodes) == 2**depth
        assert sum(node.rows for node in nodes) == n
        start = 0
        for node in nodes:
            assert node.start == start or node.rows == 0
            assert node.rows <= node.side
            start += node.rows


def test_second_child_starts_at_half_the_side():
    # 257 rows pad to 258: halves of 129 rows, each padded to 130 and split at
    # 65, so the second half's children start at 129 and 194.
    assert _row_tree.level(257, 1, 2) == [
        (0, 65, 66),
        (65, 64, 66),
        (129, 65, 66),
        (194, 63, 66),
    ]


def test_depth_for_stops_at_the_leaves():
    assert _row_tree.depth_for(1000, 1, 1000) == 0
    assert _row_tree.depth_for(1000, 1, 500) == 1
    assert _row_tree.depth_for(1000, 100, 1) == 3
