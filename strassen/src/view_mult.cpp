#include "strassen/view_mult.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "cancel.hpp"
#include "strassen/fault.hpp"
#include "strassen/kernel.hpp"
#include "strassen/mult.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/region.hpp"
#include "strassen/thread_pool.hpp"

namespace strassen {

namespace {

// Below this many multiply-adds a product runs on the calling thread: two
// workers cost about 0.1 ms to start and join, which is what about 2^20
// multiply-adds take here (bench/RESULTS.md). Above it the two halves of the
// top level run on two workers. Either way the bits are the same.
constexpr std::size_t PARALLEL_WORK = std::size_t{1} << 21;

// Two jobs: the top level of a tall product has at most two row halves.
constexpr std::size_t TALL_WORKERS = 2;

// Rows of DᵀD per kernel call in a leaf: the kernel's register block is at
// most 8 rows high, and each strip skips the columns left of its first row.
constexpr std::size_t SYMMETRY_STRIP = 8;

std::size_t even_side(std::size_t a, std::size_t b, std::size_t c) {
    const std::size_t d = std::max({a, b, c});
    return d + (d & 1);
}

// The smallest half side met by the recursion below a square of this side
// (SIZE_MAX when the square is a leaf). A product is "tall" when its result's
// rows and columns fit in every half: then every level splits only the inner
// dimension (Gram products) or only the rows (x·w), no quadrant sum is formed,
// and the recursion is a tree over blocks of rows.
std::size_t smallest_half(std::size_t side) {
    std::size_t smallest = SIZE_MAX;
    for (std::size_t s = side + (side & 1); s > NAIVE_THRESHOLD;) {
        const std::size_t h = s / 2;
        smallest = h;
        s = h + (h & 1);
    }
    return smallest;
}

std::size_t depth_of(std::size_t side) {
    std::size_t depth = 0;
    for (std::size_t s = side + (side & 1); s > NAIVE_THRESHOLD; s = s / 2 + (s / 2) % 2) ++depth;
    return depth;
}

double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies `count` elements `stride` bytes apart into out; returns how many lie
// outside the bound (NaN counts as outside).
std::size_t copy_row(const char* src, std::ptrdiff_t stride, std::size_t count, double bound,
                     double* out) {
    std::size_t outside = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const double v = load(src + static_cast<std::ptrdiff_t>(j) * stride);
        outside += std::fabs(v) <= bound ? 0 : 1;
        out[j] = v;
    }
    return outside;
}

std::size_t count_outside(const double* p, std::size_t count, double bound) {
    std::size_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) outside += std::fabs(p[i]) <= bound ? 0 : 1;
    return outside;
}

const char* row_of(const MatrixView& v, std::size_t i) {
    return v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride;
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
    bool y_stops;  // an outside y value ends the pass (else it is only noted)
};

// One worker's (or the calling thread's) memory for a subtree.
struct TreeScratch {
    Buffer panel;   // NAIVE_THRESHOLD x m: the leaf's rows of [D | Y]
    Buffer dt;      // k x NAIVE_THRESHOLD: the leaf's block of Dᵀ
    Buffer levels;  // one k x m product (M1) per level of the recursion

    TreeScratch(const Design& d, std::size_t depth) {
        panel.resize(NAIVE_THRESHOLD * d.m);
        dt.resize(d.k * NAIVE_THRESHOLD);
        levels.resize(std::max<std::size_t>(depth, 1) * d.k * d.m);
    }
};

struct TreeState {
    const std::atomic<bool>* stop;  // raised by whoever met an outside x value
    bool y_outside = false;
};

// Assumptions: len <= NAIVE_THRESHOLD rows; the panel and the block of Dᵀ are
// row-major and unit-stride whatever x's and y's strides, the ones column
// written out. The kernel then forms every element as the dense recursion's
// leaf does: a left-to-right sum from +0.0 over the block's rows (the rows of
// padding beyond n would add only +-0 terms at the end, which change nothing).
//
// DᵀD is symmetric bit for bit: element (i, j) and (j, i) sum the same
// products (a*b is b*a in IEEE arithmetic) in the same order, and the tree
// only adds equal elements to equal elements. So each strip of result rows
// starts at its own first row's column; the part left of it is written as
// zeros here and mirrored from the upper triangle once the tree is done.
void tree_leaf(const Design& d, std::size_t lo, std::size_t len, double* out, TreeScratch& s,
               TreeState& state) {
    double* panel = s.panel.data();
    double* dt = s.dt.data();
    const std::size_t p = d.x.cols, o = d.ones ? 1 : 0;
    std::size_t x_outside = 0, y_outside = 0;
    for (std::size_t i = 0; i < len; ++i) {
        double* row = panel + i * d.m;
        if (d.ones) row[0] = 1.0;
        x_outside += copy_row(row_of(d.x, lo + i), d.x.col_stride, p, d.bound, row + o);
        if (d.q > 0)
            y_outside += copy_row(row_of(d.y, lo + i), d.y.col_stride, d.q, d.bound, row + d.k);
        for (std::size_t c = 0; c < d.k; ++c) dt[c * len + i] = row[c];
    }
    if (x_outside > 0 || (y_outside > 0 && d.y_stops)) throw Outside{};
    if (y_outside > 0) state.y_outside = true;
    for (std::size_t i0 = 0; i0 < d.k; i0 += SYMMETRY_STRIP) {
        const std::size_t rows = std::min(SYMMETRY_STRIP, d.k - i0);
        for (std::size_t i = i0; i < i0 + rows; ++i) std::fill_n(out + i * d.m, i0, 0.0);
        kernel_mult(dt + i0 * len, len, panel + i0, d.m, out + i0 * d.m + i0, d.m, rows,
                    d.m - i0, len);
    }
}

// The region path's recursion for a tall Gram product, over rows [lo, lo + len)
// of a logical square of this side: with the result inside C11 and only the
// inner dimension split, the level has M1 = A11·B11 (the first h rows) and
// M7 = A12·B21 (the rest, when there is any), and C11 = M7 + M1. Each
// element is one IEEE addition, so the order of the two terms does not matter.
void tree_node(const Design& d, std::size_t side, std::size_t lo, std::size_t len, double* out,
               TreeScratch& s, std::size_t depth, TreeState& state) {
    side += side & 1;
    if (side <= NAIVE_THRESHOLD) {
        detail::throw_if_cancelled();
        if (state.stop->load(std::memory_order_relaxed)) throw Outside{};
        tree_leaf(d, lo, len, out, s, state);
        return;
    }
    const std::size_t h = side / 2;
    if (len <= h) return tree_node(d, h, lo, len, out, s, depth + 1, state);
    double* m1 = s.levels.data() + depth * d.k * d.m;
    tree_node(d, h, lo, h, m1, s, depth + 1, state);
    tree_node(d, h, lo + h, len - h, out, s, depth + 1, state);
    for (std::size_t e = 0; e < d.k * d.m; ++e) out[e] = out[e] + m1[e];
}

// What one half of the top level leaves for the calling thread.
struct TreeSlot {
    Buffer out;
    bool outside = false;
    bool y_outside = false;
    std::exception_ptr error;
};

void run_subtree(const Design& d, std::size_t side, std::size_t lo, std::size_t len,
                 std::size_t depth, const std::shared_ptr<std::atomic<bool>>& stop,
                 TreeSlot& slot) {
    try {
        TreeScratch scratch(d, depth);
        slot.out.resize(d.k * d.m);
        TreeState state{stop.get()};
        tree_node(d, side, lo, len, slot.out.data(), scratch, 0, state);
        slot.y_outside = state.y_outside;
    } catch (const Outside&) {
        slot.outside = true;
        stop->store(true, std::memory_order_relaxed);
    } catch (...) {
        slot.error = std::current_exception();
        stop->store(true, std::memory_order_relaxed);
    }
}

// Raises the cancel flag and waits for the jobs when the calling thread leaves
// early: they read the caller's memory in place.
struct JoinOnExit {
    ThreadPool& pool;
    std::atomic<bool>& cancel;
    bool joined = false;
    ~JoinOnExit() {
        if (joined) return;
        cancel.store(true, std::memory_order_relaxed);
        try {
            pool.join();
        } catch (...) {
            // A broken idle lock: the report is written; nothing else to do.
        }
    }
};

// Dᵀ[D | Y] by the tree, k x m row-major; nullopt when a value was outside the
// bound (x's always; y's only when d.y_stops). y_outside reports the others.
std::optional<Buffer> tree_product(const Design& d, std::size_t side, bool& y_outside) {
    const std::size_t n = d.x.rows;
    const std::size_t depth = depth_of(side);
    auto stop = std::make_shared<std::atomic<bool>>(false);

    const std::size_t top = side + (side & 1);
    const bool split = top > NAIVE_THRESHOLD && n > top / 2;
    std::size_t work = 0;
    if (__builtin_mul_overflow(n, d.k * d.m, &work)) work = SIZE_MAX;
    if (!split || work < PARALLEL_WORK) {
        TreeSlot slot;
        run_subtree(d, side, 0, n, depth, stop, slot);
        if (slot.error) std::rethrow_exception(slot.error);
        if (slot.outside) return std::nullopt;
        y_outside = slot.y_outside;
        return std::move(slot.out);
    }

    // The top level's two products, M1 over the first half of the rows and M7
    // over the rest, as two jobs; C11 = M7 + M1 on the calling thread.
    const std::size_t h = top / 2;
    auto slots = std::make_shared<std::array<TreeSlot, 2>>();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    {
        ThreadPool pool(TALL_WORKERS);
        JoinOnExit guard{pool, *cancel};
        const std::size_t ranges[2][2] = {{0, h}, {h, n - h}};
        for (std::size_t j = 0; j < 2; ++j) {
            const std::size_t lo = ranges[j][0], len = ranges[j][1];
            pool.execute([d, h, lo, len, depth, stop, cancel, slots, j]() {
                detail::CancelScope scope(cancel.get());
                run_subtree(d, h, lo, len, depth, stop, (*slots)[j]);
            });
        }
        detail::join_interruptible(pool, *cancel);
        guard.joined = true;
    }
    for (TreeSlot& slot : *slots)
        if (slot.error) std::rethrow_exception(slot.error);
    for (TreeSlot& slot : *slots)
        if (slot.outside) return std::nullopt;
    y_outside = (*slots)[0].y_outside || (*slots)[1].y_outside;
    Buffer& m1 = (*slots)[0].out;
    Buffer& m7 = (*slots)[1].out;
    for (std::size_t e = 0; e < d.k * d.m; ++e) m7[e] = m7[e] + m1[e];
    return std::move(m7);
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
// left-to-right sum from +0.0 over the columns (the tall recursion never sums
// quadrants of x, and its leaves are schoolbook sums: w(j) * x(i, j) there,
// the same product as x(i, j) * w(j)). ROWS rows at a time keep that many
// independent sums in flight; no sum is split.
template <std::size_t ROWS>
std::size_t dot_rows(const MatrixView& x, const double* w, double bound, std::size_t first,
                     double* out) {
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
            const double v = load(row[r] + at);
            outside += std::fabs(v) <= bound ? 0 : 1;
            acc[r] = acc[r] + v * w[j];
        }
    }
    for (std::size_t r = 0; r < ROWS; ++r) out[first + r] = acc[r];
    return outside;
}

void rows_times_column(const MatrixView& x, const double* w, double bound, std::size_t lo,
                       std::size_t len, double* out, const std::atomic<bool>& stop) {
    constexpr std::size_t BLOCK = 8;
    std::size_t i = lo;
    const std::size_t end = lo + len;
    for (std::size_t block = 0; i + BLOCK <= end; i += BLOCK, ++block) {
        // One check per 512 rows: cheap, and still prompt.
        if (block % 64 == 0) {
            detail::throw_if_cancelled();
            if (stop.load(std::memory_order_relaxed)) throw Outside{};
        }
        if (dot_rows<BLOCK>(x, w, bound, i, out) > 0) throw Outside{};
    }
    for (; i < end; ++i)
        if (dot_rows<1>(x, w, bound, i, out) > 0) throw Outside{};
}

struct RowsSlot {
    bool outside = false;
    std::exception_ptr error;
};

void run_rows(const MatrixView& x, const double* w, double bound, std::size_t lo, std::size_t len,
              double* out, std::atomic<bool>& stop, RowsSlot& slot) {
    try {
        rows_times_column(x, w, bound, lo, len, out, stop);
    } catch (const Outside&) {
        slot.outside = true;
        stop.store(true, std::memory_order_relaxed);
    } catch (...) {
        slot.error = std::current_exception();
        stop.store(true, std::memory_order_relaxed);
    }
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
        copy_row(row_of(x, i), x.col_stride, x.cols, 0.0, row + (ones ? 1 : 0));
    }
    return Matrix(std::move(out), x.rows, k);
}

NormalProducts normal_products(const MatrixView& x, bool ones, const MatrixView& y) {
    const std::size_t n = x.rows, k = x.cols + (ones ? 1 : 0);
    const std::size_t side = even_side(k, n, k);
    const std::size_t half = smallest_half(side);
    if (k > half) {
        // Not tall: the quadrants mix rows and columns. The products then run
        // on a materialised design matrix, as par_mult decides.
        const Matrix dm = materialise(x, ones);
        const Matrix dt = dm.transpose();
        NormalProducts out{par_mult(dt, dm), std::nullopt};
        return out;
    }
    // DᵀY joins the pass when it has the same recursion: y conforms, the
    // common square is the same, and its columns fit in every half too.
    const bool fuse = y.rows == n && even_side(k, n, y.cols) == side && y.cols <= half;
    Design d{x, ones, y, fuse ? y.cols : 0, k, k + (fuse ? y.cols : 0), detail::region_bound(side),
             false};
    bool y_outside = false;
    std::optional<Buffer> both = tree_product(d, side, y_outside);
    if (!both) {
        const Matrix dm = materialise(x, ones);
        const Matrix dt = dm.transpose();
        NormalProducts out{par_mult(dt, dm), std::nullopt};
        return out;
    }
    mirror(*both, k, d.m);
    NormalProducts out{columns(*both, k, d.m, 0, k), std::nullopt};
    if (fuse && !y_outside) out.r = columns(*both, k, d.m, k, d.q);
    return out;
}

Matrix design_product(const MatrixView& x, bool ones, const MatrixView& y) {
    const std::size_t n = x.rows, k = x.cols + (ones ? 1 : 0);
    if (y.rows != n) fault("Matrix sizes do not match");
    const std::size_t side = even_side(k, n, y.cols);
    const std::size_t half = smallest_half(side);
    if (k <= half && y.cols <= half) {
        // Only DᵀY: the panel's D columns are read for Dᵀ, the product's
        // columns are y's. A tree over [D | Y] whose first k result columns
        // are dropped would cost k more; this one keeps them (they are cheap
        // next to reading the rows) and any outside value ends it.
        Design d{x, ones, y, y.cols, k, k + y.cols, detail::region_bound(side), true};
        bool y_outside = false;
        if (std::optional<Buffer> both = tree_product(d, side, y_outside))
            return columns(*both, k, d.m, k, d.q);
    }
    const Matrix dt = materialise_dt(x, ones);
    return par_mult(dt, materialise(y, false));
}

Matrix view_mult(const MatrixView& x, const Matrix& w) {
    if (x.cols != w.rows) fault("Matrix sizes do not match");
    const std::size_t n = x.rows, p = x.cols;
    const std::size_t side = even_side(n, p, w.cols);
    if (w.cols == 1 && p <= smallest_half(side)) {
        const double bound = detail::region_bound(side);
        if (count_outside(w.data.data(), p, bound) == 0) {
            std::size_t count = n;
            check_allocation(count, sizeof(double), "the product");
            Buffer out;
            out.resize(n);
            auto stop = std::make_shared<std::atomic<bool>>(false);
            std::size_t work = 0;
            if (__builtin_mul_overflow(n, p, &work)) work = SIZE_MAX;
            // Rows are independent: any split gives the same bits.
            if (work < PARALLEL_WORK || n < 2 * NAIVE_THRESHOLD) {
                RowsSlot slot;
                run_rows(x, w.data.data(), bound, 0, n, out.data(), *stop, slot);
                if (slot.error) std::rethrow_exception(slot.error);
                if (!slot.outside) return Matrix(std::move(out), n, 1);
            } else {
                const std::size_t h = n / 2;
                auto slots = std::make_shared<std::array<RowsSlot, 2>>();
                auto cancel = std::make_shared<std::atomic<bool>>(false);
                {
                    ThreadPool pool(TALL_WORKERS);
                    JoinOnExit guard{pool, *cancel};
                    const std::size_t ranges[2][2] = {{0, h}, {h, n - h}};
                    double* o = out.data();
                    const double* wd = w.data.data();
                    for (std::size_t j = 0; j < 2; ++j) {
                        const std::size_t lo = ranges[j][0], len = ranges[j][1];
                        pool.execute([x, wd, bound, lo, len, o, stop, cancel, slots, j]() {
                            detail::CancelScope scope(cancel.get());
                            run_rows(x, wd, bound, lo, len, o, *stop, (*slots)[j]);
                        });
                    }
                    detail::join_interruptible(pool, *cancel);
                    guard.joined = true;
                }
                for (RowsSlot& slot : *slots)
                    if (slot.error) std::rethrow_exception(slot.error);
                if (!(*slots)[0].outside && !(*slots)[1].outside)
                    return Matrix(std::move(out), n, 1);
            }
        }
    }
    return par_mult(materialise(x, false), w);
}

}  // namespace strassen
