// The recursion's geometry: how large a block is, where it splits, when it
// stops, and what that costs. Every product path (dense, parallel, region,
// over stored operands or sources) asks here: a product's bits depend on each of
// these rules, so each is written once.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace strassen {

// Blocks of side 64 or less go to the schoolbook product: below that size the
// seven-product recursion costs more in additions and copies than it saves.
inline constexpr std::size_t NAIVE_THRESHOLD = 64;

namespace detail::geometry {

// Sides are std::size_t, or Count (below) where memory is estimated.

// A block of this side is a leaf: the schoolbook product, never split.
template <class Side> constexpr bool is_leaf(Side side) noexcept { return side <= NAIVE_THRESHOLD; }

// An odd side costs one row and column of padding, never a power of two.
template <class Side> constexpr Side even_side(Side side) noexcept { return side + (side & 1); }

// The common square of an a_rows x inner times inner x b_cols product.
constexpr std::size_t common_side(std::size_t a_rows, std::size_t inner,
                                  std::size_t b_cols) noexcept {
    return even_side(std::max({a_rows, inner, b_cols}));
}

// Operands that already are their common square are used in place, uncopied.
constexpr bool is_square(std::size_t a_rows, std::size_t inner, std::size_t b_cols) noexcept {
    const std::size_t d = common_side(a_rows, inner, b_cols);
    return a_rows == d && inner == d && b_cols == d;
}

// The side of the seven sub-products of a level: its half, made even in turn.
template <class Side> constexpr Side child_side(Side side) noexcept { return even_side(side / 2); }

// How much of [0, extent) lies in half `which` (0 or 1) of a split at `half`.
constexpr std::size_t in_half(std::size_t extent, std::size_t half, std::size_t which) noexcept {
    const std::size_t start = which * half;
    return extent > start ? std::min(extent - start, half) : 0;
}

// Calls f(side) for the sides of the levels that split, from the top (the
// given side made even) down to the last one above the leaves.
template <class F> constexpr void each_level(std::size_t side, F f) {
    for (std::size_t s = even_side(side); !is_leaf(s); s = child_side(s)) f(s);
}

// Those sides. A level's child is at most half its side plus one, so 64
// entries hold any std::size_t.
struct LevelSides {
    std::size_t count = 0;
    std::size_t side[64] = {};
};
constexpr LevelSides level_sides(std::size_t side) noexcept {
    LevelSides out;
    each_level(side, [&](std::size_t s) { out.side[out.count++] = s; });
    return out;
}

constexpr std::size_t depth(std::size_t side) noexcept {
    std::size_t count = 0;
    each_level(side, [&](std::size_t) { ++count; });
    return count;
}

// The smallest half met below a square of this side; SIZE_MAX for a leaf.
constexpr std::size_t smallest_half(std::size_t side) noexcept {
    std::size_t half = SIZE_MAX;
    each_level(side, [&](std::size_t s) { half = s / 2; });
    return half;
}

// A level splits cleanly when the block's short dimension fits in its half:
// then it splits only the long one (rows, or the inner dimension), and no
// quadrant sum or difference is formed.
constexpr bool clean_split(std::size_t side, std::size_t width) noexcept {
    const std::size_t s = even_side(side);
    return !is_leaf(s) && width <= s / 2;
}

// Every level below a square of this side splits cleanly.
constexpr bool all_clean(std::size_t side, std::size_t width) noexcept {
    return width <= smallest_half(side);
}

// The region path's bound for a square of this side: an operand at a leaf
// is a sum of at most 2^depth input elements, so inputs of magnitude at most
// DBL_MAX / 2^(depth + 2) keep every Strassen sum on the way finite.
inline double region_bound(std::size_t side) noexcept {
    return std::ldexp(DBL_MAX, -static_cast<int>(depth(side) + 2));
}

using Count = unsigned __int128;

// Elements of the dense product's padded copies and fourteen top-level
// operands, side d.
constexpr Count dense_operands(std::size_t d, bool padded) noexcept {
    const Count side = d, half = d / 2;
    return (padded ? 2 * side * side : 0) + 14 * half * half;
}

// An upper bound, in elements, of what the dense sequential recursion holds
// at its peak for a square of even side n, beyond its two operands: every
// phase's memory summed as if all coincided (the fourteen operands, the
// padded copies and result of the one sub-product under way, its own
// recursion, the seven products and the joined result).
constexpr Count sequential_peak(Count n) noexcept {
    if (is_leaf(n)) return 2 * n * n;  // the schoolbook result, and slack
    const Count h = n / 2, hp = child_side(n);
    const Count child = (hp != h ? 3 * hp * hp : 0) + sequential_peak(hp) + h * h;
    return 14 * h * h + child + 7 * h * h + n * n;
}

// The same for the dense parallel product on side d: the padded operands,
// the fourteen operands, all seven jobs at once (each holding its two
// operands, the sequential peak of its product, and the product), the
// products taken back, the joined result and the cut one.
constexpr Count dense_peak(Count d) noexcept {
    const Count h = d / 2, hp = child_side(d);
    const Count job = 2 * h * h + (hp != h ? 3 * hp * hp : 0) + sequential_peak(hp) + h * h;
    return 2 * d * d + 14 * h * h + 7 * job + 7 * h * h + 2 * d * d;
}

}  // namespace detail::geometry

}  // namespace strassen
