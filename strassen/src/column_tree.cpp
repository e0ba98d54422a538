#include "column_tree.hpp"

#include <algorithm>
#include <cstdint>

#include "cancel.hpp"
#include "strassen/geometry.hpp"
#include "strassen/kernel.hpp"

#define COLUMN_BLOCK column_block_sse2
#include "column_tree_body.hpp"

namespace strassen::detail {

namespace {

using level::CHAINS;
using level::X11;
using level::X21;

// The levels below a node: the sides geometry gives, level 0 the node's.
using Levels = geometry::LevelSides;

// Where cell i (its bits, level 0 the highest) of leaf position p lies in the
// node's operand along one dimension; `extent` when past the node's data or
// outside a quadrant at some level (the padding of an odd half): those
// elements are +0.0.
size_t place(const Levels& lv, size_t i, size_t p, size_t extent) {
    size_t pos = p;
    for (size_t l = lv.count; l-- > 0;) {
        const size_t half = lv.side[l] / 2;
        if (pos >= half) return extent;
        pos += ((i >> (lv.count - 1 - l)) & 1) * half;
    }
    return std::min(pos, extent);
}

// B's operand of every path at the leaves (side[depth - 1] / 2 elements each,
// leaf after leaf into `leaves`, `stride` apart, +0.0 up to the stride), from
// its column v at level l (side[l] elements, +0.0 past the data): each
// product's operand elementwise from B11 and B21 (B12 and B22 hold no data),
// level by level.
void b_operands(const Levels& lv, size_t l, const double* v, size_t path, double* scratch,
                double* leaves, size_t stride) {
    const size_t h = lv.side[l] / 2;
    const bool last = l + 1 == lv.count;
    const size_t child = last ? stride : lv.side[l + 1];
    const auto half = [&](size_t q) {
        return level::col_half(q) == 0 ? v + level::row_half(q) * h : nullptr;
    };
    for (size_t f = 0; f < FAN; ++f) {
        const level::OperandSpec& s = level::RIGHT[COLUMN_PRODUCTS.k[f]];
        const double* x = half(s.q1);
        const double* y = s.op == level::Op::copy ? nullptr : half(s.q2);
        const size_t leaf = path * FAN + f;
        double* const out = last ? leaves + leaf * stride : scratch;
        for (size_t i = 0; i < h; ++i) {
            const double xi = x != nullptr ? x[i] : 0.0, yi = y != nullptr ? y[i] : 0.0;
            out[i] = s.op == level::Op::copy ? xi : s.op == level::Op::add ? xi + yi : xi - yi;
        }
        std::fill(out + h, out + child, 0.0);
        if (!last) b_operands(lv, l + 1, scratch, leaf, scratch + child, leaves, stride);
    }
}

// A node's C11 and C21 from its products (rows [0, h) of each, `len` apart):
// each quadrant's chain in its own order, one IEEE operation per element and
// term, the first term copied (or 0.0 - it when subtracted).
void combine(const double* products, size_t len, size_t h, double* out) {
    for (const size_t q : {X11, X21}) {
        double* dst = out + level::row_half(q) * h;
        bool first = true;
        for (size_t t = 0; t < CHAINS[q].length; ++t) {
            const level::Term& term = CHAINS[q].terms[t];
            size_t f = 0;
            while (f < FAN && COLUMN_PRODUCTS.k[f] != term.product) ++f;
            if (f == FAN) continue;  // no data reaches it: an implicit +0.0
            const double* m = products + f * len;
            for (size_t i = 0; i < h; ++i)
                dst[i] = first           ? (term.sign > 0 ? m[i] : 0.0 - m[i])
                         : term.sign > 0 ? dst[i] + m[i]
                                         : dst[i] - m[i];
            first = false;
        }
    }
}

double* aligned(double* p) {
    return p + (LANES - reinterpret_cast<std::uintptr_t>(p) / sizeof(double) % LANES) % LANES;
}

}  // namespace

ColumnBlockFn column_block() {
    static const ColumnBlockFn fn =
        kernel_supported(KernelIsa::avx2) ? column_block_avx2 : column_block_sse2;
    return fn;
}

bool column_tree_applies(const Region& a, const Region& b, std::size_t side, std::size_t cols) {
    return cols == 1 && b.source == nullptr && b.cols == 1 && !a.empty() &&
           geometry::depth(side) >= COLUMN_TREE_MIN_DEPTH &&
           geometry::depth(side) <= COLUMN_TREE_DEPTH;
}

void column_tree(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                 double* out, std::size_t ldo, Buffer& scratch, ColumnBlockFn block,
                 const TermPair* terms) {
    const Levels lv = geometry::level_sides(side);
    const size_t depth = lv.count, hd = lv.side[depth - 1] / 2;
    const size_t cells = size_t{1} << depth, leaves = cells * cells;

    // Scratch, in doubles: the block's work and sums (aligned), B's leaf
    // operands, the leaf results, B's column and its operands on the way
    // down, the combination's levels, a zero row, the cells' places, and the
    // rows formed from `terms`.
    size_t b_work = 0, combined = 0;
    for (size_t l = 1; l < depth; ++l) b_work += lv.side[l];
    for (size_t l = 0, nodes = 1; l < depth; ++l, nodes *= FAN) combined += nodes * lv.side[l];
    const size_t work = column_work(cells), sums_size = leaves * LANES;
    const size_t b_side = column_b_stride(hd);
    const size_t total = LANES + work + sums_size + (b_side + hd) * leaves + lv.side[0] + b_work +
                         combined + a.cols + cells * LANES + 2 * cells +
                         (terms != nullptr ? cells * LANES * a.cols : 0);
    if (scratch.size() < total) {
        Buffer fresh;
        fresh.resize(total);
        scratch.swap(fresh);
    }
    double* const block_work = aligned(scratch.data());
    double* const sums = block_work + work;
    double* const b_leaves = sums + sums_size;
    double* const results = b_leaves + b_side * leaves;
    double* const column = results + hd * leaves;
    double* const b_scratch = column + lv.side[0];
    double* const levels = b_scratch + b_work;
    double* const zeros = levels + combined;
    const double** const row_at = reinterpret_cast<const double**>(zeros + a.cols);
    size_t* const col_at = reinterpret_cast<size_t*>(row_at + cells * LANES);
    size_t* const valid = col_at + cells;
    double* const formed_rows = reinterpret_cast<double*>(valid + cells);
    static_assert(sizeof(size_t) == sizeof(double) && sizeof(double*) == sizeof(double));

    for (size_t i = 0; i < lv.side[0]; ++i) column[i] = i < b.rows ? b.data[i * b.ld] : 0.0;
    b_operands(lv, 0, column, 0, b_scratch, b_leaves, b_side);
    std::fill(zeros, zeros + a.cols, 0.0);

    // A cell column's columns inside the data and the quadrants: a prefix.
    for (size_t j = 0; j < cells; ++j) {
        col_at[j] = place(lv, j, 0, a.cols);
        valid[j] = 0;
        while (valid[j] < hd && place(lv, j, valid[j], a.cols) < a.cols) ++valid[j];
    }
    for (size_t r = 0; r < hd; r += LANES) {
        check_stop();
        for (size_t i = 0; i < cells; ++i)
            for (size_t l = 0; l < LANES; ++l) {
                const size_t at = r + l < hd ? place(lv, i, r + l, a.rows) : a.rows;
                const double* row = zeros;
                if (at < a.rows && terms == nullptr) {
                    row = a.data + at * a.ld;
                } else if (at < a.rows) {
                    double* const formed = formed_rows + (i * LANES + l) * a.cols;
                    form_row(terms->x, terms->y, terms->add, at, a.cols, formed);
                    row = formed;
                }
                row_at[i * LANES + l] = row;
            }
        block(ColumnBlock{row_at, cells, hd, col_at, valid, b_leaves, block_work, sums});
        for (size_t leaf = 0; leaf < leaves; ++leaf)
            for (size_t l = 0; l < LANES && r + l < hd; ++l)
                results[leaf * hd + r + l] = sums[leaf * LANES + l];
    }

    // The combination, bottom up: a node's products are its children's
    // results (the leaves' at the deepest level).
    const double* below = results;
    size_t below_len = hd;
    double* dst = levels;
    for (size_t l = depth; l-- > 0;) {
        const size_t nodes = leaves >> (2 * (depth - l)), len = lv.side[l];
        for (size_t node = 0; node < nodes; ++node)
            combine(below + node * FAN * below_len, below_len, lv.side[l] / 2, dst + node * len);
        below = dst;
        below_len = len;
        dst += nodes * len;
    }
    for (size_t i = 0; i < rows; ++i) out[i * ldo] = below[i];
}

}  // namespace strassen::detail
