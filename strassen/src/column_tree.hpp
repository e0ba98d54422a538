// A product whose B is one stored column, over levels that mix A's columns
// (x·w where x is wide): the levels' operands are formed from A's own
// elements inside registers, a few leaf positions at a time, and never
// stored. The values are the dense recursion's, zeros included: each element
// of each operand is the same IEEE operation of the same two elements (+0.0
// outside the data), and each leaf row sums its products in column order
// from +0.0. Lanes hold adjacent leaf rows, so no sum ever crosses lanes.
#pragma once

#include <cstddef>

#include "level.hpp"
#include "strassen/region.hpp"

namespace strassen::detail {

// B is one column: at every level its data lies in B11 and B21, and C's
// needed part in C11 and C21. The products that reach those quadrants from
// such a B, in M order.
struct ColumnProducts {
    std::size_t count = 0;
    std::size_t k[7] = {};
};
constexpr ColumnProducts column_products() {
    ColumnProducts p;
    bool used[7] = {};
    for (const std::size_t q : {level::X11, level::X21}) {
        const level::Chain c =
            level::present_chain(q, 0xf, level::quads(level::X11, level::X21));
        for (std::size_t t = 0; t < c.length; ++t) used[c.terms[t].product] = true;
    }
    for (std::size_t k = 0; k < 7; ++k)
        if (used[k]) p.k[p.count++] = k;
    return p;
}
inline constexpr ColumnProducts COLUMN_PRODUCTS = column_products();
static_assert(COLUMN_PRODUCTS.count == 4, "the tree's grids split in four at every level");

// Leaf rows per block, one per lane; leaf columns gathered at once.
inline constexpr std::size_t COLUMN_LANES = 4;

// One block of leaf rows down every path of the tree: for each leaf column c
// in turn, the grid of cells (cell (i, j): the element of A in cell row i's
// rows, one per lane, and column col_at[j] + c, or +0.0 where c >= valid[j]
// or a row is the zero row), the levels down to the leaves, and each leaf's
// product with its B operand added to its sums.
struct ColumnBlock {
    const double* const* rows;  // cells * COLUMN_LANES: cell row i's lane l at i * LANES + l
    std::size_t cells;          // 2^depth
    std::size_t leaf_side;
    const std::size_t* col_at;
    const std::size_t* valid;
    const double* b;  // per leaf, its B operand's leaf_side elements and +0.0 up to
                      // a multiple of COLUMN_LANES, leaf after leaf
    double* work;     // column_work(cells) doubles, 32-byte aligned
    double* sums;     // cells^2 * COLUMN_LANES, 32-byte aligned: leaf l's lanes at l * LANES
};
void column_block_sse2(const ColumnBlock& job);
void column_block_avx2(const ColumnBlock& job);
using ColumnBlockFn = void (*)(const ColumnBlock&);
// The variant for this CPU: AVX2 where it has it.
ColumnBlockFn column_block();

// How far apart ColumnBlock::b holds each leaf's B operand: the leaf side
// rounded up to whole gathers of COLUMN_LANES columns.
constexpr std::size_t column_b_stride(std::size_t leaf_side) noexcept {
    return (leaf_side + COLUMN_LANES - 1) / COLUMN_LANES * COLUMN_LANES;
}

// Scratch of column_block, in doubles: the grid of COLUMN_LANES leaf columns
// and the levels formed on the way down, each cell a vector per column.
constexpr std::size_t column_work(std::size_t cells) noexcept {
    std::size_t cells_below = 0;
    for (std::size_t m = cells / 2; m >= 2; m /= 2) cells_below += m * m;
    return (cells * cells + cells_below) * COLUMN_LANES * COLUMN_LANES;
}

// The levels the tree takes at once. A leaf position's grid holds 4^depth
// cells, each a vector: past four levels they no longer fit the caches near
// the core. A fifth gathered into the grid, from x's rows four times over,
// cost as much as forming it in memory; its operand's rows formed as the
// blocks read them (TermPair) cost less. With one level, the tree costs no
// less than the row dots, which now form the level's sums in their
// registers (region.cpp's leaf_of_sum); from two on the tree is faster (predict 0.89x at 1e5 x 128, 0.84x at 3e4 x 300 on an
// AVX-512 Xeon; bench/RESULTS.md).
inline constexpr std::size_t COLUMN_TREE_DEPTH = 4;
inline constexpr std::size_t COLUMN_TREE_MIN_DEPTH = 2;

// Whether column_tree computes this node: B one stored column, and
// COLUMN_TREE_MIN_DEPTH to COLUMN_TREE_DEPTH levels below.
bool column_tree_applies(const Region& a, const Region& b, std::size_t side, std::size_t cols);

// A's rows formed as the blocks read them, from the two terms of a level
// above (form_row): no operand of that level is stored whole.
struct TermPair {
    Region x, y;
    bool add;
};

// The top-left rows of A * b into out (stride ldo), with `block` running the
// tree's blocks; at most COLUMN_TREE_DEPTH levels below `side`. A is stored,
// or with `terms` only its shape (rows, cols), its rows formed from them.
void column_tree(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                 double* out, std::size_t ldo, Buffer& scratch,
                 ColumnBlockFn block = column_block(), const TermPair* terms = nullptr);

}  // namespace strassen::detail
