#include "strassen/view_mult.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "cancel.hpp"
#include "level.hpp"
#include "strassen/fault.hpp"
#include "strassen/geometry.hpp"
#include "strassen/kernel.hpp"
#include "strassen/mult.hpp"
#include "strassen/parallel.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/region.hpp"
#include "strassen/row_dots.hpp"

namespace strassen {

namespace {

// The tall trees' multiply-adds against the dense kernel's (parallel.hpp).
// The Gram tree's count as the kernel's own. x·w's weigh 8, which keeps its
// threshold where it was measured on the 2-core machine of bench/RESULTS.md:
// 3 * 10^4 x 16 takes 0.16 ms on two workers against 0.20 ms inline,
// 10^4 x 16 0.06 ms inline. Each costs about twice a kernel multiply-add
// (0.53 against 0.24 ns, same run, 8000 x 16 against 96^3); the rest of the
// 8 is measured, not explained: x·w's halves pay from less work than the
// Gram tree's.
constexpr detail::Weight ROWS_WEIGHT{8, 1};

// Two workers: a tall product's top level has two row halves, and the
// machines measured have two cores.
constexpr std::size_t TALL_WORKERS = 2;

namespace geometry = detail::geometry;
namespace level = detail::level;
using geometry::in_half;
using level::X11;
using level::X12;
using level::X21;

// --- a clean level of the tall trees, read off level.hpp ------------------------

// A clean Gram level: Dᵀ's data in its top quadrants, [D | Y]'s in its left
// ones, the result in C11. Its chain is two added plain quadrant products,
// one per half of the data's rows (Dᵀ's columns); the first term is computed
// into the result, so either alone (the other half empty) is the product.
constexpr unsigned DT_QUADS = level::quads(X11, X12), PANEL_QUADS = level::quads(X11, X21);
constexpr level::Chain GRAM = level::present_chain(X11, DT_QUADS, PANEL_QUADS);

// The half of the rows a term multiplies; 2 when it is no added plain product.
constexpr std::size_t rows_half(const level::Term& t) {
    const std::size_t a = level::sole_quadrant(level::LEFT[t.product], DT_QUADS);
    const std::size_t b = level::sole_quadrant(level::RIGHT[t.product], PANEL_QUADS);
    return a != 4 && b != 4 && level::col_half(a) == level::row_half(b) && t.sign > 0
               ? level::col_half(a)
               : 2;
}
static_assert(GRAM.length == 2 && rows_half(GRAM.terms[0]) + rows_half(GRAM.terms[1]) == 1);
constexpr std::size_t HEAD_HALF = rows_half(GRAM.terms[0]);

double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies `count` elements `stride` bytes apart into out, unchecked.
void copy_only(const char* src, std::ptrdiff_t stride, std::size_t count, double* out) {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        // A short row (a tall product's, or one y value) costs less copied in
        // place than through a call to the library's memcpy.
        if (count >= 64) {
            std::memcpy(out, src, count * sizeof(double));
            return;
        }
        for (std::size_t j = 0; j < count; ++j) out[j] = load(src + j * sizeof(double));
        return;
    }
    for (std::size_t j = 0; j < count; ++j)
        out[j] = load(src + static_cast<std::ptrdiff_t>(j) * stride);
}

// Whether any of `count` contiguous values is outside the bound (NaN is).
// Two lanes at a time with plain SSE2 (every x86-64 has it): this pass reads
// every input value once more, from cache, and must cost little beside the
// reading itself. The order of the tests does not matter: only the verdict.
bool any_outside(const double* p, std::size_t count, double bound) {
    using V = double __attribute__((vector_size(16)));
    using M = long long __attribute__((vector_size(16)));
    const M abs_mask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    const V limit = {bound, bound};
    M bad0 = {0, 0}, bad1 = {0, 0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        V v0, v1;
        std::memcpy(&v0, p + i, sizeof v0);
        std::memcpy(&v1, p + i + 2, sizeof v1);
        bad0 |= ~(reinterpret_cast<V>(reinterpret_cast<M>(v0) & abs_mask) <= limit);
        bad1 |= ~(reinterpret_cast<V>(reinterpret_cast<M>(v1) & abs_mask) <= limit);
    }
    const M bad = bad0 | bad1;
    if ((bad[0] | bad[1]) != 0) return true;
    for (; i < count; ++i)
        if (!(std::fabs(p[i]) <= bound)) return true;
    return false;
}

std::size_t count_outside(const double* p, std::size_t count, double bound) {
    std::size_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) outside += std::fabs(p[i]) <= bound ? 0 : 1;
    return outside;
}

const char* row_of(const MatrixView& v, std::size_t i) {
    return v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride;
}

// Copies `count` elements of a mapped view's row, `stride` bytes apart, into
// out through the view's column map. Each element apart, so the compiler may
// use vectors across them: every element is still one subtraction and one
// multiplication, each rounded once.
void copy_mapped(const char* src, std::ptrdiff_t stride, std::size_t count,
                 const double* __restrict shift, const double* __restrict scale,
                 double* __restrict out) {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (std::size_t j = 0; j < count; ++j)
            out[j] = (load(src + j * sizeof(double)) - shift[j]) * scale[j];
        return;
    }
    for (std::size_t j = 0; j < count; ++j)
        out[j] = (load(src + static_cast<std::ptrdiff_t>(j) * stride) - shift[j]) * scale[j];
}

// Row i of the view as it reads (mapped when the view is) into out.
void copy_view_row(const MatrixView& v, std::size_t i, double* out) {
    if (v.mapped())
        copy_mapped(row_of(v, i), v.col_stride, v.cols, v.shift, v.scale, out);
    else
        copy_only(row_of(v, i), v.col_stride, v.cols, out);
}

// The same, returning how many of the values read lie outside the bound. The
// bound applies to the mapped values: they are what the products multiply.
std::size_t read_row(const MatrixView& v, std::size_t i, double bound, double* out) {
    copy_view_row(v, i, out);
    return count_outside(out, v.cols, bound);
}

// The row stride in elements when x's rows are stored as the region path
// reads a block: unmapped, contiguous, aligned doubles, rows ascending.
std::optional<std::size_t> plain_rows(const MatrixView& x) {
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto width = size * static_cast<std::ptrdiff_t>(x.cols);
    if (x.mapped() || x.col_stride != size || x.row_stride < width || x.row_stride % size != 0 ||
        reinterpret_cast<std::uintptr_t>(x.data) % alignof(double) != 0)
        return std::nullopt;
    return static_cast<std::size_t>(x.row_stride / size);
}

// out(i) + *plus for i in [0, count), when there is an addend: each element
// one IEEE addition, done while a block's results are still in cache.
void add_to(double* out, std::size_t count, const double* plus) {
    if (plus == nullptr) return;
    const double c = *plus;
    for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + c;
}

// A value outside the bound ends the pass early: the caller runs the
// materialised product instead.
struct Outside {};

// --- the Gram tree -------------------------------------------------------------

// [D | Y] with D = [1 | x] or x; the result is Dᵀ[D | Y], k x m.
struct Design {
    MatrixView x;
    bool ones;
    MatrixView y;  // used only when q > 0
    std::size_t q;
    std::size_t k;  // D's columns
    std::size_t m;  // k + q
    double bound;
    bool y_stops;   // an outside y value ends the pass (else it is only noted)
    bool g_needed;  // DᵀD is wanted, not only DᵀY

    // A node whose level does not split cleanly at this width mixes
    // quadrants: it is computed by the region path itself, on its packed
    // block of rows.
    std::size_t wide() const noexcept { return std::max(k, q); }
    std::size_t block_rows() const noexcept { return geometry::block_rows(wide()); }
};

// Whether every node above the leaves splits only the rows: then DᵀD's part
// is symmetric bit for bit (see tree_leaf).
bool all_tall(const Design& d, std::size_t side) { return geometry::all_clean(side, d.wide()); }

// One worker's (or the calling thread's) memory for a subtree.
struct TreeScratch {
    Buffer panel;   // block_rows x m: a block's rows of [D | Y]
    Buffer dt;      // k x block_rows: the block of Dᵀ
    Buffer levels;  // one k x m product (M1) per level of the recursion
    detail::RegionWorkspace mixing;  // the mixing nodes' recursion, reused block after block

    TreeScratch(const Design& d, std::size_t depth) {
        panel.resize(d.block_rows() * d.m);
        dt.resize(d.k * d.block_rows());
        levels.resize(std::max<std::size_t>(depth, 1) * d.k * d.m);
    }
};

struct TreeState {
    const std::atomic<bool>* stop;  // raised by whoever met an outside value that ends the pass
    bool y_outside = false;
    bool x_outside = false;
};

// Packs rows [lo, lo + len) of [D | Y] into the panel (len x m), row-major
// and unit-stride whatever x's and y's strides, the ones column written out,
// and, for a mixing node, of Dᵀ into dt (k x len); checks every value against
// the bound on the way. A leaf reads Dᵀ from the panel itself.
void pack_block(const Design& d, std::size_t lo, std::size_t len, TreeScratch& s,
                TreeState& state, bool transposed) {
    double* panel = s.panel.data();
    double* dt = s.dt.data();
    const std::size_t p = d.x.cols, o = d.ones ? 1 : 0;
    constexpr auto unit = static_cast<std::ptrdiff_t>(sizeof(double));
    if (!d.x.mapped() && d.x.col_stride == unit &&
        (d.q == 0 || (!d.y.mapped() && d.y.col_stride == unit))) {
        // Plain rows, the usual case: one loop, with no call or layout test
        // per row. A block's rows are many and short.
        const char* xr = row_of(d.x, lo);
        const char* yr = d.q > 0 ? row_of(d.y, lo) : nullptr;
        for (std::size_t i = 0; i < len; ++i, xr += d.x.row_stride) {
            double* row = panel + i * d.m;
            if (d.ones) row[0] = 1.0;
            for (std::size_t j = 0; j < p; ++j) row[o + j] = load(xr + j * sizeof(double));
            if (d.q == 0) continue;
            for (std::size_t j = 0; j < d.q; ++j) row[d.k + j] = load(yr + j * sizeof(double));
            yr += d.y.row_stride;
        }
    } else {
        for (std::size_t i = 0; i < len; ++i) {
            double* row = panel + i * d.m;
            if (d.ones) row[0] = 1.0;
            copy_view_row(d.x, lo + i, row + o);
            if (d.q > 0) copy_view_row(d.y, lo + i, row + d.k);
        }
    }
    // The check comes after the maps, on the values the products multiply.
    // The ones are inside the bound, so the whole panel is checked at once;
    // only a block that fails is looked at again to say whose value it was.
    std::size_t x_outside = 0, y_outside = 0;
    if (any_outside(panel, len * d.m, d.bound)) {
        for (std::size_t i = 0; i < len; ++i) {
            x_outside += count_outside(panel + i * d.m + o, p, d.bound);
            y_outside += count_outside(panel + i * d.m + d.k, d.q, d.bound);
        }
    }
    if (transposed)
        for (std::size_t c = 0; c < d.k; ++c)
            for (std::size_t i = 0; i < len; ++i) dt[c * len + i] = panel[i * d.m + c];
    if (y_outside > 0) state.y_outside = true;
    if (x_outside > 0) state.x_outside = true;
    if (x_outside > 0 || (y_outside > 0 && d.y_stops)) throw Outside{};
}

// Assumptions: a leaf, len <= NAIVE_THRESHOLD rows, packed. The kernel forms
// every element as the dense recursion's leaf does: a left-to-right sum from
// +0.0 over the block's rows (the rows of padding beyond n would add only +-0
// terms at the end, which change nothing).
//
// In an all-tall tree DᵀD is symmetric bit for bit: element (i, j) and
// (j, i) sum the same products (a*b is b*a in IEEE arithmetic) in the same
// order, and the tree only adds equal elements to equal elements. So each
// strip of result rows starts at its own first row's column; the part left of
// it is written as zeros here and mirrored from the upper triangle once the
// tree is done.
void tree_leaf(const Design& d, std::size_t len, double* out, TreeScratch& s, bool symmetric) {
    // Strips as high as the kernel's register block, each skipping the
    // columns left of its first row.
    const std::size_t strip = symmetric ? detail::kernel_rows(detail::kernel_selected()) : d.k;
    for (std::size_t i0 = 0; i0 < d.k; i0 += strip) {
        const std::size_t rows = std::min(strip, d.k - i0);
        const std::size_t from = !d.g_needed ? d.k : symmetric ? i0 : 0;
        for (std::size_t i = i0; i < i0 + rows; ++i) std::fill_n(out + i * d.m, from, 0.0);
        // Dᵀ(i, r) is panel(r, i): the panel read column-major.
        kernel_mult_strided(s.panel.data() + i0, 1, d.m, s.panel.data() + from, d.m,
                            out + i0 * d.m + from, d.m, rows, d.m - from, len);
    }
}

// The Gram chain's second term added to its first, over the wanted columns;
// unwanted ones are never read.
void add_second_term(const Design& d, double* first, const double* second) {
    const std::size_t from = d.g_needed ? 0 : d.k;
    for (std::size_t i = 0; i < d.k; ++i)
        for (std::size_t j = from; j < d.m; ++j)
            first[i * d.m + j] = first[i * d.m + j] + second[i * d.m + j];
}

// A node whose quadrants mix: the region path's own recursion on the packed
// block, DᵀD and DᵀY apart (their quadrants differ once y's columns are cut).
void mixing_node(const Design& d, std::size_t side, std::size_t len, double* out,
                 TreeScratch& s) {
    const detail::Region dt{s.dt.data(), len, d.k, len};
    if (d.g_needed)
        detail::region_product(dt, detail::Region{s.panel.data(), d.m, len, d.k}, false, side,
                               d.k, d.k, out, d.m, s.mixing);
    if (d.q > 0)
        detail::region_product(dt, detail::Region{s.panel.data() + d.k, d.m, len, d.q}, false,
                               side, d.k, d.q, out + d.k, d.m, s.mixing);
}

// The region path's recursion for a tall Gram product, over rows [lo, lo + len)
// of a logical square of this side: a clean level is the GRAM chain, its
// halves computed in row order (the dense path's order of the products).
// Below, a leaf or a node that mixes quadrants.
void tree_node(const Design& d, std::size_t side, std::size_t lo, std::size_t len, double* out,
               TreeScratch& s, std::size_t depth, TreeState& state, bool symmetric) {
    side = geometry::even_side(side);
    const std::size_t h = side / 2;
    if (!geometry::clean_split(side, d.wide())) {
        detail::throw_if_cancelled();
        if (state.stop->load(std::memory_order_relaxed)) throw Outside{};
        pack_block(d, lo, len, s, state, !geometry::is_leaf(side));
        if (geometry::is_leaf(side))
            tree_leaf(d, len, out, s, symmetric);
        else
            mixing_node(d, side, len, out, s);
        return;
    }
    // With an empty half, the chain is its other term alone.
    if (in_half(len, h, 1) == 0)
        return tree_node(d, h, lo, len, out, s, depth + 1, state, symmetric);
    double* second = s.levels.data() + depth * d.k * d.m;
    for (std::size_t half = 0; half < 2; ++half)
        tree_node(d, h, lo + half * h, in_half(len, h, half), half == HEAD_HALF ? out : second, s,
                  depth + 1, state, symmetric);
    add_second_term(d, out, second);
}

// --- running a tree ---------------------------------------------------------------

// Runs body; any way out but the normal one raises `stop`, which ends the
// other half early. An outside value is noted; any other exception goes on.
template <class Body>
void stopping(bool& outside, std::atomic<bool>& stop, Body&& body) {
    try {
        body();
        return;
    } catch (const Outside&) {
        outside = true;
    } catch (...) {
        stop.store(true, std::memory_order_relaxed);
        throw;
    }
    stop.store(true, std::memory_order_relaxed);
}

// Runs the whole product on the calling thread (`whole`), or the top level's
// two halves of the rows (run(0), run(1)) as one round on a pool made for the
// call, which rethrows the first failure in the order of the halves.
template <class Whole, class Run>
void run_top(bool parallel, const Whole& whole, const Run& run) {
    if (parallel)
        detail::Parallel(TALL_WORKERS).run(2, run);
    else
        whole();
}

// What a subtree of the Gram tree leaves for the calling thread.
struct TreeSlot {
    Buffer out;
    bool outside = false;  // the pass ended at an outside value
    bool x_outside = false;
    bool y_outside = false;
};

void run_subtree(const Design& d, std::size_t side, std::size_t lo, std::size_t len,
                 std::size_t depth, bool symmetric, std::atomic<bool>& stop, TreeSlot& slot) {
    TreeState state{&stop};
    stopping(slot.outside, stop, [&] {
        TreeScratch scratch(d, depth);
        slot.out.resize(d.k * d.m);
        tree_node(d, side, lo, len, slot.out.data(), scratch, 0, state, symmetric);
    });
    slot.x_outside = state.x_outside;
    slot.y_outside = state.y_outside;
}

// Dᵀ[D | Y] by the tree, k x m row-major; nullopt when a value was outside the
// bound (x's always; y's only when d.y_stops), x_outside then saying whether
// one was x's. y_outside reports y's others.
std::optional<Buffer> tree_product(const Design& d, std::size_t side, bool& y_outside,
                                   bool& x_outside) {
    const std::size_t n = d.x.rows;
    const std::size_t depth = geometry::depth(side);
    const bool symmetric = all_tall(d, side);
    std::atomic<bool> stop{false};
    const std::size_t h = geometry::even_side(side) / 2;
    std::size_t work = 0;
    if (__builtin_mul_overflow(n, d.k * d.m, &work)) work = SIZE_MAX;
    const bool parallel = detail::worth_parallel(work) &&
                          geometry::clean_split(side, d.wide()) && in_half(n, h, 1) > 0;
    std::array<TreeSlot, 2> slots;
    run_top(
        parallel, [&] { run_subtree(d, side, 0, n, depth, symmetric, stop, slots[0]); },
        [&](std::size_t j) {
            run_subtree(d, h, j * h, in_half(n, h, j), depth, symmetric, stop, slots[j]);
        });
    x_outside = slots[0].x_outside || slots[1].x_outside;
    if (slots[0].outside || slots[1].outside) return std::nullopt;
    y_outside = slots[0].y_outside || slots[1].y_outside;
    if (!parallel) return std::move(slots[0].out);
    // The GRAM chain of the two halves.
    Buffer& first = slots[HEAD_HALF].out;
    add_second_term(d, first.data(), slots[1 - HEAD_HALF].out.data());
    return std::move(first);
}

// The lower triangle of the k x k block at the left of a k x m buffer, from
// the upper one (see tree_leaf).
void mirror(Buffer& b, std::size_t k, std::size_t m) {
    for (std::size_t i = 1; i < k; ++i)
        for (std::size_t j = 0; j < i; ++j) b[i * m + j] = b[j * m + i];
}

// Columns [from, from + cols) of a k x m row-major buffer.
Matrix columns(const Buffer& b, std::size_t k, std::size_t m, std::size_t from, std::size_t cols) {
    Buffer out;
    out.resize(k * cols);
    for (std::size_t i = 0; i < k; ++i)
        std::copy_n(b.data() + i * m + from, cols, out.data() + i * cols);
    return Matrix(std::move(out), k, cols);
}

Matrix materialise_dt(const MatrixView& x, bool ones) { return materialise(x, ones).transpose(); }

// --- rows times a column ------------------------------------------------------

// Assumptions: every result element is its row's dot product with w, a
// left-to-right sum from +0.0 over the columns (the leaves' schoolbook sums:
// w(j) * x(i, j) there, the same product as x(i, j) * w(j)). ROWS rows at a
// time keep that many independent sums in flight; no sum is split.
template <std::size_t ROWS>
std::size_t dot_rows(const MatrixView& x, const double* w, double bound, std::size_t first,
                     double* out, std::size_t ldo) {
    const char* row[ROWS];
    double acc[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) {
        row[r] = row_of(x, first + r);
        acc[r] = 0.0;
    }
    std::size_t outside = 0;
    for (std::size_t j = 0; j < x.cols; ++j) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * x.col_stride;
        for (std::size_t r = 0; r < ROWS; ++r) {
            double v = load(row[r] + at);
            if (x.mapped()) v = (v - x.shift[j]) * x.scale[j];
            outside += std::fabs(v) <= bound ? 0 : 1;
            acc[r] = acc[r] + v * w[j];
        }
    }
    for (std::size_t r = 0; r < ROWS; ++r) out[r * ldo] = acc[r];
    return outside;
}

// x's rows for the region path, read where they lie: in place when they are
// plain doubles (a copy would only pass them through memory once more), else
// through the view's strides and map into scratch; every value read is
// checked against the bound, after the map.
class ViewRows final : public detail::Source {
public:
    ViewRows(const MatrixView& x, double bound) : x_(x), bound_(bound), ld_(plain_rows(x)) {}

    detail::Region read(std::size_t first, std::size_t count, Buffer& scratch) const override {
        const std::size_t p = x_.cols;
        if (ld_) {
            const auto* at = reinterpret_cast<const double*>(row_of(x_, first));
            const bool outside = *ld_ == p ? any_outside(at, count * p, bound_) : [&] {
                for (std::size_t i = 0; i < count; ++i)
                    if (any_outside(at + i * *ld_, p, bound_)) return true;
                return false;
            }();
            if (outside) throw detail::OutsideBound{};
            return {at, *ld_, count, p};
        }
        if (scratch.size() < count * p) scratch.resize(count * p);
        std::size_t outside = 0;
        for (std::size_t i = 0; i < count; ++i)
            outside += read_row(x_, first + i, bound_, scratch.data() + i * p);
        if (outside > 0) throw detail::OutsideBound{};
        return {scratch.data(), p, count, p};
    }

    // The dot products read x once: the check rides along with the sums.
    bool times_column(std::size_t first, std::size_t count, const detail::Region& w, double* out,
                      std::size_t ldo) const override {
        if (w.ld != 1 || w.rows != x_.cols) return false;
        constexpr std::size_t BLOCK = detail::ROW_DOTS_BLOCK;
        // Contiguous rows of plain values go to the vector variant, when the
        // CPU has one: the same sums, one row per lane.
        const detail::RowDotsFn vector =
            !x_.mapped() && x_.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))
                ? detail::row_dots_kernel()
                : nullptr;
        double sums[BLOCK];
        std::size_t i = 0, outside = 0;
        for (; i + BLOCK <= count && outside == 0; i += BLOCK) {
            if (vector == nullptr) {
                outside = dot_rows<BLOCK>(x_, w.data, bound_, first + i, out + i * ldo, ldo);
                continue;
            }
            outside = vector(row_of(x_, first + i), x_.row_stride, x_.cols, w.data, bound_, sums);
            for (std::size_t r = 0; r < BLOCK; ++r) out[(i + r) * ldo] = sums[r];
        }
        for (; i < count && outside == 0; ++i)
            outside = dot_rows<1>(x_, w.data, bound_, first + i, out + i * ldo, ldo);
        if (outside > 0) throw detail::OutsideBound{};
        return true;
    }

private:
    MatrixView x_;
    double bound_;
    std::optional<std::size_t> ld_;
};

// x·w (+ plus) when a value of `cause` is outside the bound: the dense
// recursion on a copy of x, refused up front when it cannot fit.
Matrix dense_product(const MatrixView& x, const Matrix& w, const double* plus,
                     const char* cause) {
    const Matrix xm = materialise(x, false);
    detail::check_dense_fits(xm, w, cause);
    Matrix product = par_mult(xm, w);
    add_to(product.data.data(), product.size, plus);
    return product;
}

// The product x·w + c of column_plus, or x·w alone when plus is null.
Matrix column_product(const MatrixView& x, const Matrix& w, const double* plus) {
    if (x.cols != w.rows) fault("Matrix sizes do not match");
    const std::size_t n = x.rows, p = x.cols;
    const std::size_t side = geometry::common_side(n, p, w.cols);
    const double bound = geometry::region_bound(side);
    if (w.cols != 1) {
        Matrix product = par_mult(materialise(x, false), w);
        add_to(product.data.data(), product.size, plus);
        return product;
    }
    if (count_outside(w.data.data(), p, bound) > 0) return dense_product(x, w, plus, "w");

    check_allocation(n, sizeof(double), "the product");
    Buffer out;
    out.resize(n);
    std::size_t work = 0;
    if (__builtin_mul_overflow(n, p, &work)) work = SIZE_MAX;
    const ViewRows rows(x, bound);
    const detail::Region a{nullptr, 0, n, p, &rows, 0}, b{w.data.data(), 1, p, 1};
    try {
        if (detail::worth_parallel(work, ROWS_WEIGHT)) {
            detail::Parallel parallel(TALL_WORKERS);
            detail::region_product(a, b, side, n, 1, out.data(), 1, parallel);
        } else {
            detail::region_product(a, b, false, side, n, 1, out.data(), 1);
        }
    } catch (const detail::OutsideBound&) {
        return dense_product(x, w, plus, "x");
    }
    add_to(out.data(), n, plus);
    return Matrix(std::move(out), n, 1);
}

}  // namespace

Matrix materialise(const MatrixView& x, bool ones) {
    const std::size_t k = x.cols + (ones ? 1 : 0);
    std::size_t count = 0;
    if (__builtin_mul_overflow(x.rows, k, &count)) count = SIZE_MAX;
    check_allocation(count, sizeof(double), "a copy of the input array");
    Buffer out;
    out.resize(count);
    for (std::size_t i = 0; i < x.rows; ++i) {
        if (i % 4096 == 0) detail::check_interrupt();
        double* row = out.data() + i * k;
        if (ones) row[0] = 1.0;
        read_row(x, i, 0.0, row + (ones ? 1 : 0));
    }
    return Matrix(std::move(out), x.rows, k);
}

GramProducts gram_products(const MatrixView& x, bool ones, const MatrixView& y) {
    const std::size_t n = x.rows, k = x.cols + (ones ? 1 : 0);
    const std::size_t side = geometry::common_side(k, n, k);
    // DᵀY joins the pass when it has the same recursion: y conforms and the
    // common square is the same.
    const bool fuse = y.rows == n && geometry::common_side(k, n, y.cols) == side;
    const std::size_t q = fuse ? y.cols : 0;
    Design d{x, ones, y, q, k, k + q, geometry::region_bound(side), false, true};
    bool y_outside = false, x_outside = false;
    std::optional<Buffer> both = tree_product(d, side, y_outside, x_outside);
    if (!both) {
        // Only an x value ends this pass: the dense recursion follows.
        const Matrix dm = materialise(x, ones);
        const Matrix dt = dm.transpose();
        detail::check_dense_fits(dt, dm, "x");
        GramProducts out{par_mult(dt, dm), std::nullopt};
        return out;
    }
    if (all_tall(d, side)) mirror(*both, k, d.m);
    GramProducts out{columns(*both, k, d.m, 0, k), std::nullopt};
    if (fuse && !y_outside) out.r = columns(*both, k, d.m, k, d.q);
    return out;
}

Matrix cross_product(const MatrixView& x, bool ones, const MatrixView& y) {
    const std::size_t n = x.rows, k = x.cols + (ones ? 1 : 0);
    if (y.rows != n) fault("Matrix sizes do not match");
    const std::size_t side = geometry::common_side(k, n, y.cols);
    // Only DᵀY: the panel's D columns are read for Dᵀ, the product's columns
    // are y's; any outside value ends the pass.
    Design d{x, ones, y, y.cols, k, k + y.cols, geometry::region_bound(side), true, false};
    bool y_outside = false, x_outside = false;
    if (std::optional<Buffer> both = tree_product(d, side, y_outside, x_outside))
        return columns(*both, k, d.m, k, d.q);
    const Matrix dt = materialise_dt(x, ones);
    const Matrix ym = materialise(y, false);
    detail::check_dense_fits(dt, ym, x_outside ? "x" : "y");
    return par_mult(dt, ym);
}

Matrix view_mult(const MatrixView& x, const Matrix& w) { return column_product(x, w, nullptr); }

Matrix view_mult_plus(const MatrixView& x, const Matrix& w, double c) {
    return column_product(x, w, &c);
}

}  // namespace strassen
