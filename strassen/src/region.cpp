#include "strassen/region.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>

#include "cancel.hpp"
#include "column_tree.hpp"
#include "level.hpp"
#include "strassen/fault.hpp"
#include "strassen/geometry.hpp"
#include "strassen/kernel.hpp"
#include "strassen/row_dots.hpp"

namespace strassen::detail {

namespace {

// One factor of a product: a region, perhaps negated, perhaps owning the
// buffer it points into (a computed sum or difference; moving the operand
// keeps region.data valid).
struct Operand {
    Region region;
    bool negated = false;
    Buffer storage;
};

// One Strassen level of C = A * B on logical squares of even side 2 * half,
// restricted to the top-left rows x cols of C.
struct LevelPlan {
    std::size_t half = 0;
    // Needed part of C11, C12, C21, C22 (quadrant-relative, top-left); a
    // quadrant with 0 rows or columns is not needed.
    std::array<std::size_t, 4> quad_rows{}, quad_cols{};
    // Products M1..M7 at index 0..6: computed at all, over which part, from
    // which operands.
    std::array<bool, 7> present{};
    std::array<std::size_t, 7> rows{}, cols{};
    std::array<Operand, 7> left, right;
    // The quadrant a product is computed in (its chain's first present term,
    // added, over just that quadrant's needed part or in a roomy C), or -1.
    std::array<int, 7> direct{};
};

using level::Chain;
using level::CHAINS;
using level::LEFT;
using level::Op;
using level::OperandSpec;
using level::RIGHT;
using level::X11;
using level::X12;
using level::X21;
using level::X22;
using geometry::in_half;

// The widest factor of a region: two side by side (Source::split) are
// factors of their own.
std::size_t width(const Region& r) {
    const std::size_t split = r.source != nullptr ? r.source->split : 0;
    return split == 0 ? r.cols : std::max(split, r.cols - split);
}

Region quadrant(const Region& r, std::size_t h, std::size_t q) {
    Region out;
    out.rows = in_half(r.rows, h, level::row_half(q));
    out.cols = in_half(r.cols, h, level::col_half(q));
    if (r.source != nullptr && r.source->split != 0)
        out.cols = level::col_half(q) == 0 ? r.cols : 0;  // both factors fit in the half
    if (out.empty()) return Region{};
    if (r.source != nullptr) {
        // Unread, and split along the source's rows only: the other side
        // fits in the half (product_node reads it otherwise).
        out.source = r.source;
        out.first = r.first + (r.source->transposed ? level::col_half(q) : level::row_half(q)) * h;
        return out;
    }
    out.data = r.data + level::offset(q, h, r.ld);
    out.ld = r.ld;
    return out;
}

// The four quadrants, in level.hpp's order.
using Quadrants = std::array<Region, 4>;
Quadrants quadrants(const Region& r, std::size_t h) {
    return {quadrant(r, h, X11), quadrant(r, h, X12), quadrant(r, h, X21), quadrant(r, h, X22)};
}

// A source factor read into a stored region when `needed`; else as it is.
Region settle(const Region& r, bool needed, Buffer& scratch) {
    return r.source != nullptr && needed ? r.source->read(r, scratch) : r;
}

// Whether a source factor's side across its source's rows spans more than
// the half: then a level would cut it, and it is read first.
bool too_wide(const Region& r, std::size_t h) {
    return r.source != nullptr && (r.source->transposed ? r.rows : width(r)) > h;
}

// Whether an operand with this shape is computed (a sum or difference of two
// stored terms) rather than a view of one quadrant, read or unread.
bool formed(const Region& shape) {
    return shape.data == nullptr && shape.source == nullptr && !shape.empty();
}

// Scratch memory of one product, one entry per level of the recursion: the
// product being joined to its quadrants, its operands, and the factors'
// blocks read from a source (each grown by reserve, below).
class RegionWorkspace {
public:
    struct Level {
        Buffer product;  // a product until it is joined, or a sum's second term
        Buffer operands;
        Buffer read[2];
    };
    // The entry of this depth; references stay valid while deeper ones are made.
    Level& level(std::size_t depth) {
        while (levels_.size() <= depth) levels_.emplace_back();
        return levels_[depth];
    }

private:
    std::deque<Level> levels_;
};

// Every chain evaluated from an implicit +0.0 start: no product is -0.0, so
// that start changes nothing, and a missing (+0.0) term can be dropped.

bool reads(std::size_t quad, std::size_t product) {
    const Chain& c = CHAINS[quad];
    for (std::size_t t = 0; t < c.length; ++t)
        if (c.terms[t].product == product) return true;
    return false;
}

// The region an operand will have, without building it.
Region operand_shape(const Quadrants& q, const OperandSpec& s, bool& negated) {
    negated = false;
    const Region& x = q[s.q1];
    if (s.op == Op::copy) return x;
    const Region& y = q[s.q2];
    if (y.empty()) return x;
    if (x.empty()) {
        negated = s.op == Op::sub;
        return y;
    }
    return Region{nullptr, 0, std::max(x.rows, y.rows), std::max(x.cols, y.cols)};
}

void fill_zero(double* out, std::size_t ldo, std::size_t rows, std::size_t cols) {
    for (std::size_t i = 0; i < rows; ++i) std::fill_n(out + i * ldo, cols, 0.0);
}

// The elements of a sum or difference of two non-empty terms over the
// bounding rectangle (rows x cols, row stride cols) into o: each element one
// IEEE operation, x the left term, with the missing term's +0.0 written out,
// exactly as the dense path forms it. Beside the rows both terms store, the
// wider term alone; below them, the taller one; zeros elsewhere.
void form_sum(const Region& x, const Region& y, bool add, std::size_t rows, std::size_t cols,
              double* o) {
    const bool sub = !add;
    const std::size_t both = std::min(x.rows, y.rows), shared = std::min(x.cols, y.cols);
    sum_elements(o, cols, x.data, x.ld, y.data, y.ld, both, shared, sub);
    if (x.cols > shared)
        sum_elements(o + shared, cols, x.data + shared, x.ld, nullptr, 0, both, x.cols - shared,
                     sub);
    else if (y.cols > shared)
        sum_elements(o + shared, cols, nullptr, 0, y.data + shared, y.ld, both, y.cols - shared,
                     sub);
    const Region& tall = x.rows > both ? x : y;
    const std::size_t below = tall.rows - both;
    double* under = o + both * cols;
    if (&tall == &x)
        sum_elements(under, cols, x.data + both * x.ld, x.ld, nullptr, 0, below, x.cols, sub);
    else
        sum_elements(under, cols, nullptr, 0, y.data + both * y.ld, y.ld, below, y.cols, sub);
    fill_zero(under + tall.cols, cols, below, cols - tall.cols);
    fill_zero(under + below * cols, cols, rows - tall.rows, cols);
}

}  // namespace

void form_row(const Region& x, const Region& y, bool add, std::size_t i, std::size_t cols,
              double* out) {
    const auto row = [i](const Region& r) {
        return i < r.rows ? Region{r.data + i * r.ld, r.ld, 1, r.cols}
                          : Region{r.data, r.ld, 0, r.cols};
    };
    form_sum(row(x), row(y), add, 1, cols, out);
}

namespace {

// Elements a computed operand needs (0 for a view).
std::size_t formed_size(const Quadrants& q, const OperandSpec& s) {
    bool negated = false;
    const Region shape = operand_shape(q, s, negated);
    return formed(shape) ? shape.rows * shape.cols : 0;
}

// The operand: a view when it is one quadrant, else formed into `at` (which
// holds formed_size elements).
Region form_operand(const Quadrants& q, const OperandSpec& s, double* at, bool& negated) {
    const Region shape = operand_shape(q, s, negated);
    if (!formed(shape)) return shape;
    form_sum(q[s.q1], q[s.q2], s.op == Op::add, shape.rows, shape.cols, at);
    return Region{at, shape.cols, shape.rows, shape.cols};
}

// The same in storage of its own.
Operand make_operand(const Quadrants& q, const OperandSpec& s) {
    Operand out;
    out.storage.resize(formed_size(q, s));
    out.region = form_operand(q, s, out.storage.data(), out.negated);
    return out;
}

// 0.0 - x: the negation of a product computed from un-negated factors. It
// keeps a zero result at +0.0, as the product of a negated factor gives.
void negate(double* out, std::size_t ldo, std::size_t rows, std::size_t cols) {
    sum_elements(out, ldo, nullptr, 0, out, ldo, rows, cols, true);
}

// A level where A's data lies in its left quadrants and B's in B11 computes
// C11 and C21 each as one added product of its own quadrant of A and B11:
// the two halves of A's rows are independent, with nothing to combine.
constexpr bool row_half_alone(std::size_t c) {
    constexpr unsigned A_QUADS = level::quads(X11, X21), B_QUADS = level::quads(X11, X11);
    const level::Chain chain = level::present_chain(c, A_QUADS, B_QUADS);
    const std::size_t k = chain.terms[0].product;
    return chain.length == 1 && chain.terms[0].sign > 0 &&
           level::sole_quadrant(LEFT[k], A_QUADS) == c &&
           level::sole_quadrant(RIGHT[k], B_QUADS) == X11;
}
static_assert(row_half_alone(X11) && row_half_alone(X21));

// What a level must hold in its half to be such a level: A's columns, B
// and C's needed columns; SIZE_MAX for a transposed A, whose rows stay whole.
std::size_t halves_width(const Region& a, const Region& b, std::size_t cols) {
    if (a.source != nullptr && a.source->transposed) return SIZE_MAX;
    return std::max({a.cols, b.rows, width(b), cols});
}

// Whether the level at this side is one, and whether every level below is
// one too: then C's rows are A's rows times B, each the leaf's sums whatever
// block of rows it falls in.
bool row_halves(const Region& a, const Region& b, std::size_t side, std::size_t cols) {
    return geometry::clean_split(side, halves_width(a, b, cols));
}
bool rows_only(const Region& a, const Region& b, std::size_t side, std::size_t cols) {
    const std::size_t w = halves_width(a, b, cols);
    return b.source == nullptr && geometry::clean_split(side, w) && geometry::all_clean(side, w);
}

// A level where A's data lies in its top quadrants and B's in its left ones
// (a Gram product's: A = Dᵀ, B = D) computes C11 only, as the chain ROW_SUM:
// two added products of a quadrant of A and one of B, one per half of the
// inner dimension (A's columns, B's rows), the head term first.
constexpr unsigned TOP_QUADS = level::quads(X11, X12), LEFT_QUADS = level::quads(X11, X21);
constexpr level::Chain ROW_SUM = level::present_chain(X11, TOP_QUADS, LEFT_QUADS);

// The half of the inner dimension a term multiplies; 2 when it is no added
// product of plain quadrants.
constexpr std::size_t inner_half(const level::Term& t) {
    const std::size_t a = level::sole_quadrant(LEFT[t.product], TOP_QUADS);
    const std::size_t b = level::sole_quadrant(RIGHT[t.product], LEFT_QUADS);
    return a != 4 && b != 4 && level::col_half(a) == level::row_half(b) && t.sign > 0
               ? level::col_half(a)
               : 2;
}
static_assert(ROW_SUM.length == 2 &&
              inner_half(ROW_SUM.terms[0]) + inner_half(ROW_SUM.terms[1]) == 1);

// What a level must hold in its half to be such a level: A's rows, B's
// factors and C's needed part; SIZE_MAX when the level would split A's
// columns or B's rows unread across a source's rows (an untransposed A, a
// transposed B): a source's region splits only along the rows it reads.
std::size_t sums_width(const Region& a, const Region& b, std::size_t rows, std::size_t cols) {
    if (a.source != nullptr && !a.source->transposed) return SIZE_MAX;
    if (b.source != nullptr && b.source->transposed) return SIZE_MAX;
    const bool parts = b.source != nullptr && b.source->split != 0;
    return std::max({a.rows, rows, width(b), parts ? width(b) : cols});
}

bool row_sums(const Region& a, const Region& b, std::size_t side, std::size_t rows,
              std::size_t cols) {
    return geometry::clean_split(side, sums_width(a, b, rows, cols));
}
bool sums_only(const Region& a, const Region& b, std::size_t side, std::size_t rows,
               std::size_t cols) {
    const std::size_t w = sums_width(a, b, rows, cols);
    return geometry::clean_split(side, w) && geometry::all_clean(side, w);
}

// Assumptions: a and b non-empty; the logical side is at most NAIVE_THRESHOLD,
// so this is the dense path's schoolbook product, restricted to the regions.
void leaf(const Region& a_in, const Region& b_in, std::size_t rows, std::size_t cols,
          double* out, std::size_t ldo, Buffer (&read)[2]) {
    if (a_in.source != nullptr && a_in.source->multiply(a_in, b_in, rows, cols, out, ldo, read[0]))
        return;
    const Region a = settle(a_in, true, read[0]), b = settle(b_in, true, read[1]);
    const std::size_t m = std::min(rows, a.rows);
    const std::size_t n = std::min(cols, b.cols);
    const std::size_t k = std::min(a.cols, b.rows);
    kernel_mult(a.data, a.ld, b.data, b.ld, out, ldo, m, n, k);
    if (n < cols)
        for (std::size_t i = 0; i < m; ++i) std::fill(out + i * ldo + n, out + i * ldo + cols, 0.0);
    fill_zero(out + m * ldo, ldo, rows - m, cols);
}

// Rows of A a tall product reads, checks and multiplies at a time: a few
// hundred kilobytes at most for the usual widths, and a prompt answer to a
// cancelled call.
constexpr std::size_t ROW_BLOCK = 512;

// A product whose levels all split only A's rows (rows_only): the leaves,
// block after block of A's rows, with no level between them.
void row_blocks(const Region& a, const Region& b, std::size_t rows, std::size_t cols,
                double* out, std::size_t ldo, Buffer (&read)[2]) {
    const std::size_t m = std::min(rows, a.rows);
    for (std::size_t i = 0; i < m; i += ROW_BLOCK) {
        check_stop();
        Region block = a;
        block.rows = std::min(ROW_BLOCK, m - i);
        if (a.source != nullptr)
            block.first += i;
        else
            block.data += i * a.ld;
        leaf(block, b, block.rows, cols, out + i * ldo, ldo, read);
    }
    fill_zero(out + m * ldo, ldo, rows - m, cols);
}

// Runs part(0), ..., part(count - 1) on this thread, in turn.
constexpr auto IN_TURN = [](std::size_t count, const auto& part) {
    for (std::size_t j = 0; j < count; ++j) part(j);
};

// A level that splits only rows (row_halves, row_sums), without a plan: its
// products, each child(left, right, rows, dst, ld) over its own half, run by
// run(count, part) (in turn, or as parts on a pool: they write apart), then
// a sum's second term, kept in `temp`, added. False when the level at this
// side is another kind.
template <class Run, class Child>
bool split_rows(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                std::size_t cols, double* out, std::size_t ldo, Buffer& temp, const Run& run,
                const Child& child) {
    const std::size_t h = side / 2;
    Region left[2], right[2];
    std::size_t part_rows[2] = {}, ld[2] = {}, count = 0;
    double* dst[2] = {};
    const double* added = nullptr;
    if (row_halves(a, b, side, cols)) {
        // C11 and C21: each its half of A's rows times B (row_half_alone).
        for (const std::size_t q : {X11, X21}) {
            const Region part = quadrant(a, h, q);
            const std::size_t r = in_half(rows, h, level::row_half(q));
            double* at = out + level::offset(q, h, ldo);
            if (part.empty()) {
                fill_zero(at, ldo, r, cols);
            } else if (r > 0) {
                left[count] = part, right[count] = b, part_rows[count] = r;
                dst[count] = at, ld[count++] = ldo;
            }
        }
    } else if (row_sums(a, b, side, rows, cols)) {
        Region l[2], r[2];
        for (std::size_t t = 0; t < ROW_SUM.length; ++t) {
            const std::size_t half = inner_half(ROW_SUM.terms[t]);
            l[t] = quadrant(a, h, half == 0 ? X11 : X12);
            r[t] = quadrant(b, h, half == 0 ? X11 : X21);
        }
        // The first present term is the chain's start, in out; the other is
        // added to it. The products run in row order, so that a source is
        // read ascending.
        const std::size_t start = l[0].empty() || r[0].empty() ? 1 : 0;
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t t = inner_half(ROW_SUM.terms[0]) == half ? 0 : 1;
            if (l[t].empty() || r[t].empty()) continue;
            left[count] = l[t], right[count] = r[t], part_rows[count] = rows;
            if (t == start) {
                dst[count] = out, ld[count++] = ldo;
            } else {
                if (temp.size() < rows * cols) temp.resize(rows * cols);
                dst[count] = temp.data(), added = temp.data(), ld[count++] = cols;
            }
        }
        if (count == 0) fill_zero(out, ldo, rows, cols);
    } else {
        return false;
    }
    check_stop();
    run(count, [&](std::size_t j) { child(left[j], right[j], part_rows[j], dst[j], ld[j]); });
    if (added != nullptr) sum_elements(out, ldo, out, ldo, added, cols, rows, cols, false);
    return true;
}

// A product whose levels all sum halves (sums_only): the chain ROW_SUM at
// every level down to the leaves, with no plan and no other test per node.
void sum_levels(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                std::size_t cols, double* out, std::size_t ldo, RegionWorkspace& ws,
                std::size_t depth) {
    side = geometry::even_side(side);
    RegionWorkspace::Level& scratch = ws.level(depth);
    if (geometry::is_leaf(side)) return leaf(a, b, rows, cols, out, ldo, scratch.read);
    split_rows(a, b, side, rows, cols, out, ldo, scratch.product, IN_TURN,
               [&](const Region& l, const Region& r, std::size_t n, double* at, std::size_t ld) {
                   sum_levels(l, r, side / 2, n, cols, at, ld, ws, depth + 1);
               });
}

// The level's products and where they go, without their operands.
LevelPlan plan_shape(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                     std::size_t cols, bool direct_writes, bool roomy = false) {
    LevelPlan plan;
    const std::size_t h = side / 2;
    plan.half = h;

    bool quad_needed[4];
    for (std::size_t q = 0; q < 4; ++q) {
        plan.quad_rows[q] = in_half(rows, h, level::row_half(q));
        plan.quad_cols[q] = in_half(cols, h, level::col_half(q));
        quad_needed[q] = plan.quad_rows[q] > 0 && plan.quad_cols[q] > 0;
    }

    const Quadrants qa = quadrants(a, h);
    const Quadrants qb = quadrants(b, h);

    for (std::size_t k = 0; k < 7; ++k) {
        std::size_t r = 0, c = 0;
        for (std::size_t q = 0; q < 4; ++q)
            if (quad_needed[q] && reads(q, k)) {
                r = std::max(r, plan.quad_rows[q]);
                c = std::max(c, plan.quad_cols[q]);
            }
        bool negated = false;
        const bool empty = operand_shape(qa, LEFT[k], negated).empty() ||
                           operand_shape(qb, RIGHT[k], negated).empty();
        plan.present[k] = r > 0 && c > 0 && !empty;
        plan.rows[k] = r;
        plan.cols[k] = c;
    }

    // A quadrant's first present term, added, is computed in the quadrant
    // itself when it covers just that quadrant's needed part, or when C is
    // roomy (product_node): what it computes past that part falls in C's
    // padding. The products join their quadrants in level::ORDER as they are
    // made, so every other reader has it before the chain adds more there.
    plan.direct.fill(-1);
    if (direct_writes) {
        for (std::size_t q = 0; q < 4; ++q) {
            const Chain& chain = CHAINS[q];
            std::size_t t = 0;
            while (t < chain.length && !plan.present[chain.terms[t].product]) ++t;
            if (!quad_needed[q] || t == chain.length || chain.terms[t].sign < 0) continue;
            const std::size_t k = chain.terms[t].product;
            if (roomy || (plan.rows[k] == plan.quad_rows[q] && plan.cols[k] == plan.quad_cols[q]))
                plan.direct[k] = static_cast<int>(q);
        }
    }
    return plan;
}

// Whether a present product's operand is a sum formed from r's quadrants.
bool sums_from(const Region& r, const LevelPlan& plan, const level::OperandSpec (&specs)[7]) {
    const std::size_t h = plan.half;
    const Quadrants q = quadrants(r, h);
    for (std::size_t k = 0; k < 7; ++k)
        if (plan.present[k] && formed_size(q, specs[k]) > 0) return true;
    return false;
}

// Before two factors side by side part (b's source splits), a and b read
// at once, when a level below would read them.
void read_before_parting(Region& a, Region& b, std::size_t h, Buffer (&read)[2]) {
    if (!too_wide(a, h) && !too_wide(b, h)) return;
    Region a_read, b_read;
    if (a.source == nullptr || !a.source->read_pair(a, b, a_read, b_read, read[0]))
        a_read = settle(a, true, read[0]), b_read = settle(b, true, read[1]);
    a = a_read;
    b = b_read;
}

// Factor g (0 or 1) of b, two factors side by side split at `split`, read
// or not.
Region factor(const Region& b, std::size_t split, std::size_t g) {
    const std::size_t from = g * split, width = g == 0 ? split : b.cols - split;
    if (b.source != nullptr) return {nullptr, 0, b.rows, width, b.source->part(g), b.first};
    return {b.data + from, b.ld, b.rows, width};
}

// The plan of a level that splits, with each source factor first read where
// the level needs its elements: where its columns do not fit in the half (a
// split would cut them) or a present operand sums its quadrants.
LevelPlan settled_plan(Region& a, Region& b, std::size_t side, std::size_t rows, std::size_t cols,
                       bool roomy, Buffer (&read)[2]) {
    a = settle(a, too_wide(a, side / 2), read[0]);
    b = settle(b, too_wide(b, side / 2), read[1]);
    const LevelPlan plan = plan_shape(a, b, side, rows, cols, true, roomy);
    a = settle(a, a.source != nullptr && sums_from(a, plan, LEFT), read[0]);
    b = settle(b, b.source != nullptr && sums_from(b, plan, RIGHT), read[1]);
    return plan;
}

LevelPlan plan_level(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                     std::size_t cols, bool direct_writes) {
    LevelPlan plan = plan_shape(a, b, side, rows, cols, direct_writes);
    const std::size_t h = plan.half;
    const Quadrants qa = quadrants(a, h);
    const Quadrants qb = quadrants(b, h);
    // Built in the dense path's order: the left operands, then the right ones.
    for (std::size_t k = 0; k < 7; ++k)
        if (plan.present[k]) plan.left[k] = make_operand(qa, LEFT[k]);
    for (std::size_t k = 0; k < 7; ++k)
        if (plan.present[k]) plan.right[k] = make_operand(qb, RIGHT[k]);

    return plan;
}

// Product k (at m, row stride ld) into every needed quadrant that reads it,
// but the one it was computed in: as the chain's first present term (+0.0 + m
// is m, +0.0 - m is 0.0 - m), or added to what the chain holds so far. The
// products must come in level::ORDER.
void join_product(const LevelPlan& plan, std::size_t k, const double* m, std::size_t ld,
                  double* out, std::size_t ldo) {
    for (std::size_t q = 0; q < 4; ++q) {
        const std::size_t rows = plan.quad_rows[q], cols = plan.quad_cols[q];
        if (rows == 0 || cols == 0 || plan.direct[k] == static_cast<int>(q)) continue;
        double* dst = out + level::offset(q, plan.half, ldo);
        const Chain& chain = CHAINS[q];
        bool first = true;
        for (std::size_t t = 0; t < chain.length; ++t) {
            const level::Term& term = chain.terms[t];
            if (term.product != k) {
                first = first && !plan.present[term.product];
                continue;
            }
            if (first && term.sign > 0)
                for (std::size_t i = 0; i < rows; ++i) std::copy_n(m + i * ld, cols, dst + i * ldo);
            else
                sum_elements(dst, ldo, first ? nullptr : dst, ldo, m, ld, rows, cols,
                             term.sign < 0);
        }
    }
}

// The needed quadrants that no present product reaches: +0.0.
void zero_unreached(const LevelPlan& plan, double* out, std::size_t ldo) {
    for (std::size_t q = 0; q < 4; ++q) {
        bool reached = false;
        for (std::size_t t = 0; t < CHAINS[q].length; ++t)
            reached = reached || plan.present[CHAINS[q].terms[t].product];
        if (!reached)
            fill_zero(out + level::offset(q, plan.half, ldo), ldo, plan.quad_rows[q],
                      plan.quad_cols[q]);
    }
}

// Scratch of one level: grown to the largest size asked, never shrunk, its
// contents never read before they are written.
double* reserve(Buffer& b, std::size_t count) {
    if (b.size() < count) {
        Buffer fresh;
        fresh.resize(count);
        b.swap(fresh);
    }
    return b.data();
}

// Whether product_node, given this formed operand's shape and a stored right
// operand, would pass the node at `side` to the column tree.
bool tree_below(const Region& shape, const Region& right, std::size_t side, std::size_t rows,
                std::size_t cols) {
    side = geometry::even_side(side);
    return !geometry::is_leaf(side) && !rows_only(shape, right, side, cols) &&
           !sums_only(shape, right, side, rows, cols) && !row_halves(shape, right, side, cols) &&
           !row_sums(shape, right, side, rows, cols) &&
           column_tree_applies(shape, right, side, cols);
}

// A leaf whose left operand is the sum or difference of two stored terms,
// times one stored column: the operand's rows formed in registers as the row
// dots read them, never stored (each element is read once). The bits of
// leaf() over the formed operand; false, with nothing written, where no
// vector variant exists.
bool leaf_of_sum(const TermPair& terms, const Region& b, std::size_t rows, double* out,
                 std::size_t ldo) {
    const RowDotsPairFn dots = row_dots_pair_kernel();
    if (dots == nullptr) return false;
    const Region &x = terms.x, &y = terms.y;
    const std::size_t k = std::min(std::max(x.cols, y.cols), b.rows);
    const std::size_t m = std::min(rows, std::max(x.rows, y.rows));
    double w[ROW_DOTS_PAIR_COLS + 4];
    for (std::size_t p = 0; p < k; ++p) w[p] = b.data[p * b.ld];
    std::fill(w + k, w + (k + 3) / 4 * 4, 0.0);  // the padding the contract asks
    constexpr std::size_t BLOCK = ROW_DOTS_BLOCK;
    for (std::size_t i = 0; i < m; i += BLOCK) {
        const double* x_rows[BLOCK];
        const double* y_rows[BLOCK];
        for (std::size_t r = 0; r < BLOCK; ++r) {
            // Rows past a term's own are +0.0, as the formed operand holds.
            x_rows[r] = i + r < x.rows ? x.data + (i + r) * x.ld : nullptr;
            y_rows[r] = i + r < y.rows ? y.data + (i + r) * y.ld : nullptr;
        }
        double sums[BLOCK];
        dots(x_rows, std::min(x.cols, k), y_rows, std::min(y.cols, k), !terms.add, w, sums);
        for (std::size_t r = 0; r < BLOCK && i + r < m; ++r) out[(i + r) * ldo] = sums[r];
    }
    fill_zero(out + m * ldo, ldo, rows - m, 1);
    return true;
}

// Whether product k of this level is a leaf of one column whose left operand
// leaf_of_sum can form from stored terms.
bool sum_at_leaf(const Quadrants& qa, const Region& right, std::size_t k, std::size_t h,
                 std::size_t cols) {
    if (cols != 1 || !geometry::is_leaf(geometry::even_side(h)) || right.data == nullptr)
        return false;
    bool negated = false;
    const Region shape = operand_shape(qa, LEFT[k], negated);
    return formed(shape) && qa[LEFT[k].q1].data != nullptr && qa[LEFT[k].q2].data != nullptr &&
           shape.cols <= ROW_DOTS_PAIR_COLS;
}

// One node of the recursion. A level's products are made one at a time, in
// level::ORDER, each joined to its quadrants at once, so that one product's
// scratch serves them all (a quadrant's first term is made in place); their
// operands are formed just before them, into scratch that the next pair
// reuses. The values, each one IEEE operation of its inputs, do not depend on
// when they are formed. C is roomy when out has the whole square of this
// side (row stride at least the side) and nothing there outside its needed
// rows x cols is read; so is a quadrant of a roomy C, for a product of the
// half's side, and a product's scratch where it needs both far halves.
void product_node(Region a, Region b, bool negate_result, std::size_t side, std::size_t rows,
                  std::size_t cols, double* out, std::size_t ldo, RegionWorkspace& ws,
                  std::size_t depth, bool roomy = false) {
    side = geometry::even_side(side);
    RegionWorkspace::Level& scratch = ws.level(depth);
    const auto child = [&](const Region& l, const Region& r, std::size_t n, double* at,
                           std::size_t ld) {
        product_node(l, r, false, side / 2, n, cols, at, ld, ws, depth + 1);
    };
    if (geometry::is_leaf(side)) {
        leaf(a, b, rows, cols, out, ldo, scratch.read);
    } else if (rows_only(a, b, side, cols)) {
        row_blocks(a, b, rows, cols, out, ldo, scratch.read);
    } else if (sums_only(a, b, side, rows, cols)) {
        sum_levels(a, b, side, rows, cols, out, ldo, ws, depth);
    } else if (split_rows(a, b, side, rows, cols, out, ldo, scratch.product, IN_TURN, child)) {
        // A level that splits only rows: its products were the children.
    } else if (column_tree_applies(a, b, side, cols)) {
        column_tree(settle(a, true, scratch.read[0]), b, side, rows, out, ldo, scratch.operands);
    } else if (b.source != nullptr && b.source->split != 0) {
        // The two factors side by side part here: their levels differ below.
        const std::size_t split = b.source->split;
        read_before_parting(a, b, side / 2, scratch.read);
        for (std::size_t g = 0; g < 2 && g * split < cols; ++g)
            product_node(a, factor(b, split, g), false, side, rows,
                         g == 0 ? std::min(cols, split) : cols - split, out + g * split, ldo, ws,
                         depth);
    } else {
        check_stop();
        const LevelPlan plan = settled_plan(a, b, side, rows, cols, roomy, scratch.read);
        const std::size_t h = plan.half, below = geometry::even_side(h);
        const Quadrants qa = quadrants(a, h);
        const Quadrants qb = quadrants(b, h);
        // A product whose left operand the column tree below forms itself,
        // row by row, needs no room for it here.
        bool by_tree[7] = {};
        std::size_t temp = 0, room = 0;
        // A product in scratch is roomy where that costs little: when it
        // needs the far halves of both its dimensions.
        const auto whole = [&](std::size_t k) {
            return plan.rows[k] > below / 2 && plan.cols[k] > below / 2;
        };
        const auto scratch_rows = [&](std::size_t k) { return whole(k) ? below : plan.rows[k]; };
        const auto scratch_cols = [&](std::size_t k) { return whole(k) ? below : plan.cols[k]; };
        for (std::size_t k = 0; k < 7; ++k) {
            if (!plan.present[k]) continue;
            bool negated = false;
            const Region shape = operand_shape(qa, LEFT[k], negated);
            by_tree[k] = formed(shape) && tree_below(shape, operand_shape(qb, RIGHT[k], negated),
                                                     h, plan.rows[k], plan.cols[k]);
            room = std::max(room, (by_tree[k] ? 0 : formed_size(qa, LEFT[k])) +
                                      formed_size(qb, RIGHT[k]));
            if (plan.direct[k] < 0) temp = std::max(temp, scratch_rows(k) * scratch_cols(k));
        }
        double* const product = reserve(scratch.product, temp);
        double* const operands = reserve(scratch.operands, room);
        for (const std::size_t k : level::ORDER) {
            if (!plan.present[k]) continue;
            const int q = plan.direct[k];
            double* const dst = q >= 0 ? out + level::offset(std::size_t(q), h, ldo) : product;
            const std::size_t ld = q >= 0 ? ldo : scratch_cols(k);
            bool left_negated = false, right_negated = false;
            const Region right = form_operand(
                qb, RIGHT[k], operands + (by_tree[k] ? 0 : formed_size(qa, LEFT[k])), right_negated);
            const TermPair terms{qa[LEFT[k].q1], qa[LEFT[k].q2], LEFT[k].op == Op::add};
            if (by_tree[k]) {
                const Region shape = operand_shape(qa, LEFT[k], left_negated);
                column_tree(shape, right, geometry::even_side(h), plan.rows[k], dst, ld,
                            ws.level(depth + 1).operands, column_block(), &terms);
                if (right_negated) negate(dst, ld, plan.rows[k], plan.cols[k]);
            } else if (right_negated || !sum_at_leaf(qa, right, k, h, plan.cols[k]) ||
                       !leaf_of_sum(terms, right, plan.rows[k], dst, ld)) {
                // The left operand formed in memory, where leaf_of_sum does not
                // apply. (A negated right operand never meets a summed left one:
                // Strassen's products that sum A's quadrants take B's sums.)
                const Region left = form_operand(qa, LEFT[k], operands, left_negated);
                product_node(left, right, left_negated != right_negated, h, plan.rows[k],
                             plan.cols[k], dst, ld, ws, depth + 1,
                             q < 0 ? whole(k) : roomy && below == h);
            }
            join_product(plan, k, dst, ld, out, ldo);
        }
        zero_unreached(plan, out, ldo);
    }
    if (negate_result) negate(out, ldo, rows, cols);
}

}  // namespace

void region_product(const Region& a, const Region& b, bool negate_result, std::size_t side,
                    std::size_t rows, std::size_t cols, double* out, std::size_t ldo) {
    RegionWorkspace ws;
    product_node(a, b, negate_result, side, rows, cols, out, ldo, ws, 0);
}

void region_product(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                    std::size_t cols, double* out, std::size_t ldo, Parallel& parallel) {
    side = geometry::even_side(side);
    Buffer temp;
    const auto on_pool = [&](std::size_t count, const auto& part) { parallel.run(count, part); };
    const auto child = [&](const Region& l, const Region& r, std::size_t n, double* at,
                           std::size_t ld) {
        RegionWorkspace ws;
        product_node(l, r, false, side / 2, n, cols, at, ld, ws, 0);
    };
    if (!geometry::is_leaf(side) &&
        split_rows(a, b, side, rows, cols, out, ldo, temp, on_pool, child))
        return;
    if (geometry::is_leaf(side) || a.source != nullptr || b.source != nullptr)
        return region_product(a, b, false, side, rows, cols, out, ldo);
    // Stored operands: every present product a part of one round, into a
    // buffer of its own, from operands all formed first (each released once
    // its product exists).
    LevelPlan plan = plan_level(a, b, side, rows, cols, false);
    std::size_t present[7], count = 0;
    for (std::size_t k = 0; k < 7; ++k)
        if (plan.present[k]) present[count++] = k;
    std::array<Buffer, 7> products;
    parallel.run(count, [&](std::size_t j) {
        const std::size_t k = present[j];
        products[k].resize(plan.rows[k] * plan.cols[k]);
        region_product(plan.left[k].region, plan.right[k].region,
                       plan.left[k].negated != plan.right[k].negated, plan.half, plan.rows[k],
                       plan.cols[k], products[k].data(), plan.cols[k]);
        plan.left[k] = Operand{};
        plan.right[k] = Operand{};
    });
    for (const std::size_t k : level::ORDER)
        if (plan.present[k]) join_product(plan, k, products[k].data(), plan.cols[k], out, ldo);
    zero_unreached(plan, out, ldo);
}

bool region_path_applies(const Matrix& a, const Matrix& b) {
    const double limit = geometry::region_bound(geometry::common_side(a.rows, a.cols, b.cols));
    std::size_t outside = 0;
    for (const Matrix* m : {&a, &b})
        for (double x : m->data) outside += std::fabs(x) <= limit ? 0 : 1;  // NaN counts too
    return outside == 0;
}

namespace {

std::string gib(long double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes / (1024.0L * 1024 * 1024)));
    return text;
}

}  // namespace

void check_dense_fits(const Matrix& a, const Matrix& b, const char* cause) {
    const std::size_t d = geometry::common_side(a.rows, a.cols, b.cols);
    if (geometry::is_leaf(d)) return;
    if (cause == nullptr) {
        const geometry::Count count =
            geometry::dense_operands(d, !geometry::is_square(a.rows, a.cols, b.cols));
        check_allocation(count > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(count),
                         sizeof(double), "the dense Strassen product's operands");
    }
    // The whole recursion, its operands included (a caller that knows why the
    // dense path was taken hears that too), refused up front rather than left
    // to the kernel's out-of-memory killer halfway through.
    const long double peak = static_cast<long double>(geometry::dense_peak(d)) * sizeof(double);
    const std::size_t physical = physical_memory_bytes();
    if (peak > static_cast<long double>(physical))
        throw OutOfMemory(std::string("cannot compute the exact product: ") +
                          (cause != nullptr ? cause : "an operand") +
                          " holds a non-finite value or one near the overflow threshold, so the "
                          "exact result needs the dense Strassen recursion over the padded "
                          "square of side " +
                          std::to_string(d) + ": up to " + gib(peak) +
                          " GiB of memory, more than this machine's " +
                          gib(static_cast<long double>(physical)) + " GiB");
}

}  // namespace strassen::detail
