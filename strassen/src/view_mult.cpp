#include "strassen/view_mult.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "cancel.hpp"
#include "strassen/bound.hpp"
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

// The tall products' multiply-adds against the dense kernel's (parallel.hpp).
// The Gram products' count as the kernel's own. x·w's weigh 8, which keeps its
// threshold where it was measured on the 2-core machine of bench/RESULTS.md:
// 3 * 10^4 x 16 takes 0.16 ms on two workers against 0.20 ms inline,
// 10^4 x 16 0.06 ms inline. Each costs about twice a kernel multiply-add
// (0.53 against 0.24 ns, same run, 8000 x 16 against 96^3); the rest of the
// 8 is measured, not explained: x·w's halves pay from less work than the
// Gram products'.
constexpr detail::Weight ROWS_WEIGHT{8, 1};

// Two workers: a tall product's top level has two row halves, and the
// machines measured have two cores.
constexpr std::size_t TALL_WORKERS = 2;

namespace geometry = detail::geometry;
using detail::any_outside;

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

std::size_t count_outside(const double* p, std::size_t count, double bound) {
    std::size_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) outside += std::fabs(p[i]) <= bound ? 0 : 1;
    return outside;
}

const char* row_of(const MatrixView& v, std::size_t i) {
    return v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride;
}

// Row i of the view into out.
void copy_view_row(const MatrixView& v, std::size_t i, double* out) {
    copy_only(row_of(v, i), v.col_stride, v.cols, out);
}

// The same, returning how many of the values read lie outside the bound.
std::size_t read_row(const MatrixView& v, std::size_t i, double bound, double* out) {
    copy_view_row(v, i, out);
    return count_outside(out, v.cols, bound);
}

// The row stride in elements when x's rows are stored as the region path
// reads a block: contiguous, aligned doubles, rows ascending.
std::optional<std::size_t> plain_rows(const MatrixView& x) {
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto width = size * static_cast<std::ptrdiff_t>(x.cols);
    if (x.col_stride != size || x.row_stride < width || x.row_stride % size != 0 ||
        reinterpret_cast<std::uintptr_t>(x.data) % alignof(double) != 0)
        return std::nullopt;
    return static_cast<std::size_t>(x.row_stride / size);
}

// out(i) + *plus for i in [0, count), when there is an addend: each element
// one IEEE addition.
void add_to(double* out, std::size_t count, const double* plus) {
    if (plus == nullptr) return;
    const double c = *plus;
    for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + c;
}

// The first `cols` columns of a len x m row-major panel into dt, cols x len
// row-major. Eight of the panel's rows at a time, so that they stay in L1
// while every column takes its part of them, and two by two, each pair of
// rows giving two columns two elements with two shuffles.
void transpose_panel(const double* panel, std::size_t m, std::size_t len, std::size_t cols,
                     double* dt) {
    typedef double Pair __attribute__((vector_size(16)));
    typedef long long Mask __attribute__((vector_size(16)));
    const auto at = [](const double* p) {
        Pair v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    constexpr std::size_t STEP = 8;
    for (std::size_t i0 = 0; i0 < len; i0 += STEP) {
        const std::size_t end = std::min(len, i0 + STEP);
        std::size_t c = 0;
        for (; c + 2 <= cols; c += 2) {
            std::size_t i = i0;
            for (; i + 2 <= end; i += 2) {
                const Pair a = at(panel + i * m + c), b = at(panel + (i + 1) * m + c);
                const Pair first = __builtin_shuffle(a, b, Mask{0, 2});
                const Pair second = __builtin_shuffle(a, b, Mask{1, 3});
                __builtin_memcpy(dt + c * len + i, &first, sizeof first);
                __builtin_memcpy(dt + (c + 1) * len + i, &second, sizeof second);
            }
            for (; i < end; ++i) {
                dt[c * len + i] = panel[i * m + c];
                dt[(c + 1) * len + i] = panel[i * m + c + 1];
            }
        }
        for (; c < cols; ++c)
            for (std::size_t i = i0; i < end; ++i) dt[c * len + i] = panel[i * m + c];
    }
}

// The lower triangle of the k x k block at the left of a k x m buffer, from
// the upper one (see DesignRows::Transposed::multiply).
void mirror(Buffer& b, std::size_t k, std::size_t m) {
    for (std::size_t i = 1; i < k; ++i)
        for (std::size_t j = 0; j < i; ++j) b[i * m + j] = b[j * m + i];
}

// --- the Gram products ---------------------------------------------------------

// [D | Y] with D = [1 | x] or x; the products are Dᵀ[D | Y], k x m.
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
};

// The rows of [D | Y] for the region path, packed a block at a time (the
// ones column written out, x's and y's strides applied) and checked against
// the bound; and the factors a Gram product makes of them: Dᵀ, D, Y, and D
// and Y side by side (DᵀD and DᵀY in one pass while their levels agree).
// Const, so that the top level's parts share it.
class DesignRows {
public:
    // `symmetric`: every level above the leaves only sums halves of the rows
    // (see multiply), so DᵀD's lower triangle may be left for mirror().
    DesignRows(const Design& d, bool symmetric)
        : d_(d), symmetric_(symmetric), dt_(*this), d_cols_(*this, 0, d.k, 0),
          y_cols_(*this, d.k, d.q, 0), both_(*this, 0, d.m, d.k) {}

    detail::Region dt() const { return {nullptr, 0, d_.k, d_.x.rows, &dt_, 0}; }
    // D, Y or both, as the products wanted.
    detail::Region right() const {
        const Columns& c = !d_.g_needed ? y_cols_ : d_.q > 0 ? both_ : d_cols_;
        return {nullptr, 0, d_.x.rows, c.width, &c, 0};
    }
    bool x_outside() const { return x_outside_.load(std::memory_order_relaxed); }
    bool y_outside() const { return y_outside_.load(std::memory_order_relaxed); }

private:
    // Columns [from, from + width) of the rows (split: two factors side by side).
    struct Columns final : detail::Source {
        Columns(const DesignRows& r, std::size_t f, std::size_t w, std::size_t at)
            : Source(false, at), rows(r), from(f), width(w) {}
        const Source* part(std::size_t i) const override {
            return i == 0 ? &rows.d_cols_ : &rows.y_cols_;
        }
        detail::Region read(const detail::Region& r, Buffer& scratch) const override {
            const double* panel = rows.pack(r.first, r.rows, scratch);
            return {panel + from, rows.d_.m, r.rows, r.cols};
        }
        const DesignRows& rows;
        std::size_t from, width;
    };

    // Dᵀ: its columns are the rows read.
    struct Transposed final : detail::Source {
        explicit Transposed(const DesignRows& r) : Source(true), rows(r) {}
        detail::Region read(const detail::Region& r, Buffer& scratch) const override {
            const std::size_t len = r.cols, m = rows.d_.m;
            const double* panel = rows.pack(r.first, len, scratch, r.rows * len);
            double* dt = scratch.data() + len * m;
            transpose_panel(panel, m, len, r.rows, dt);
            return {dt, len, r.rows, len};
        }
        bool read_pair(const detail::Region& a, const detail::Region& b, detail::Region& a_read,
                       detail::Region& b_read, Buffer& scratch) const override {
            const Columns* right = rows.partner(a, b);
            if (right == nullptr) return false;
            a_read = read(a, scratch);
            b_read = {scratch.data() + right->from, rows.d_.m, b.rows, b.cols};
            return true;
        }
        bool multiply(const detail::Region& a, const detail::Region& b, std::size_t rows_c,
                      std::size_t cols, double* out, std::size_t ldo,
                      Buffer& scratch) const override;
        const DesignRows& rows;
    };

    // b's columns when b is a factor of these rows over the same rows as a,
    // Dᵀ's (so that one read serves both); else null.
    const Columns* partner(const detail::Region& a, const detail::Region& b) const {
        const detail::Source* own[] = {&d_cols_, &y_cols_, &both_};
        if (std::find(std::begin(own), std::end(own), b.source) == std::end(own) ||
            b.first != a.first || b.rows != a.cols)
            return nullptr;
        return static_cast<const Columns*>(b.source);
    }

    // Rows [first, first + count) of [D | Y] into the front of scratch (count
    // x m), `extra` more elements kept after them.
    const double* pack(std::size_t first, std::size_t count, Buffer& scratch,
                       std::size_t extra = 0) const;

    const Design& d_;
    bool symmetric_;
    Transposed dt_;
    Columns d_cols_, y_cols_, both_;
    mutable std::atomic<bool> x_outside_{false}, y_outside_{false};
};

const double* DesignRows::pack(std::size_t lo, std::size_t len, Buffer& scratch,
                               std::size_t extra) const {
    const Design& d = d_;
    if (scratch.size() < len * d.m + extra) scratch.resize(len * d.m + extra);
    double* panel = scratch.data();
    const std::size_t p = d.x.cols, o = d.ones ? 1 : 0;
    constexpr auto unit = static_cast<std::ptrdiff_t>(sizeof(double));
    if (d.x.col_stride == unit && (d.q == 0 || d.y.col_stride == unit)) {
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
    // The ones are inside the bound, so the whole panel is checked at once;
    // only a block that fails is looked at again to say whose value it was.
    std::size_t x_outside = 0, y_outside = 0;
    if (any_outside(panel, len * d.m, d.bound)) {
        for (std::size_t i = 0; i < len; ++i) {
            x_outside += count_outside(panel + i * d.m + o, p, d.bound);
            y_outside += count_outside(panel + i * d.m + d.k, d.q, d.bound);
        }
    }
    if (y_outside > 0) y_outside_.store(true, std::memory_order_relaxed);
    if (x_outside > 0) x_outside_.store(true, std::memory_order_relaxed);
    if (x_outside > 0 || (y_outside > 0 && d.y_stops)) throw detail::OutsideBound{};
    return panel;
}

// A leaf of Dᵀ times D, Y or both over the same rows, packed once: the
// kernel reads Dᵀ(i, r) as panel(r, i), the panel column-major. Each element
// is the dense leaf's left-to-right sum from +0.0 over the block's rows (the
// rows of padding beyond n would add only +-0 terms at the end, which change
// nothing).
//
// When every level above only sums halves of the rows, DᵀD is symmetric bit
// for bit: element (i, j) and (j, i) sum the same products (a*b is b*a in IEEE
// arithmetic) in the same order, and the levels only add equal elements to
// equal elements. So each strip of result rows starts at its own first row's
// column; the part of DᵀD left of it is written as zeros here and mirrored
// from the upper triangle once the product is done.
bool DesignRows::Transposed::multiply(const detail::Region& a, const detail::Region& b,
                                      std::size_t rows_c, std::size_t cols, double* out,
                                      std::size_t ldo, Buffer& scratch) const {
    const Columns* right = rows.partner(a, b);
    if (right == nullptr || rows_c != a.rows || cols != b.cols) return false;
    const std::size_t len = a.cols, m = rows.d_.m, from = right->from;
    const double* panel = rows.pack(a.first, len, scratch);
    const bool symmetric = rows.symmetric_ && from == 0;
    // Strips as high as the kernel's register block.
    const std::size_t strip = symmetric ? detail::kernel_rows(detail::kernel_selected()) : rows_c;
    for (std::size_t i0 = 0; i0 < rows_c; i0 += strip) {
        const std::size_t height = std::min(strip, rows_c - i0);
        const std::size_t skip = symmetric ? std::min(i0, cols) : 0;
        for (std::size_t i = i0; i < i0 + height; ++i) std::fill_n(out + i * ldo, skip, 0.0);
        kernel_mult_strided(panel + i0, 1, m, panel + from + skip, m, out + i0 * ldo + skip, ldo,
                            height, cols - skip, len);
    }
    return true;
}

// Dᵀ[D | Y] (or the part the design wants) into out by the region path over
// the rows of [D | Y]; false when a value was outside the bound (x's always;
// y's only when d.y_stops), x_outside then saying whether one was x's.
// y_outside reports y's others.
bool design_product(const Design& d, std::size_t side, Buffer& out, bool& x_outside,
                    bool& y_outside) {
    const bool symmetric = d.g_needed && geometry::all_clean(side, std::max(d.k, d.q));
    const DesignRows rows(d, symmetric);
    const detail::Region a = rows.dt(), b = rows.right();
    // A wide x makes the products far larger than x itself.
    std::size_t count = 0;
    if (__builtin_mul_overflow(d.k, b.cols, &count)) count = SIZE_MAX;
    check_allocation(count, sizeof(double), "the product");
    out.resize(count);
    std::size_t work = 0;
    if (__builtin_mul_overflow(d.x.rows, d.k * d.m, &work)) work = SIZE_MAX;
    try {
        if (detail::worth_parallel(work)) {
            detail::Parallel parallel(TALL_WORKERS);
            detail::region_product(a, b, side, d.k, b.cols, out.data(), b.cols, parallel);
        } else {
            detail::region_product(a, b, false, side, d.k, b.cols, out.data(), b.cols);
        }
    } catch (const detail::OutsideBound&) {
        x_outside = rows.x_outside();
        return false;
    }
    x_outside = rows.x_outside();
    y_outside = rows.y_outside();
    if (symmetric) mirror(out, d.k, b.cols);
    return true;
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
            const double v = load(row[r] + at);
            outside += std::fabs(v) <= bound ? 0 : 1;
            acc[r] = acc[r] + v * w[j];
        }
    }
    for (std::size_t r = 0; r < ROWS; ++r) out[r * ldo] = acc[r];
    return outside;
}

// x's rows for the region path, read where they lie: in place when they are
// plain doubles (a copy would only pass them through memory once more), else
// through the view's strides into scratch; every value read is checked
// against the bound.
class ViewRows final : public detail::Source {
public:
    ViewRows(const MatrixView& x, double bound) : x_(x), bound_(bound), ld_(plain_rows(x)) {}

    detail::Region read(const detail::Region& r, Buffer& scratch) const override {
        const std::size_t p = x_.cols, first = r.first, count = r.rows;
        if (ld_) {
            const auto* at = reinterpret_cast<const double*>(row_of(x_, first));
            // Rows that follow each other with no gap are checked as one run.
            const bool whole = *ld_ == p;
            const std::size_t runs = whole ? 1 : count, length = whole ? count * p : p;
            for (std::size_t i = 0; i < runs; ++i)
                if (any_outside(at + i * *ld_, length, bound_)) throw detail::OutsideBound{};
            return {at, *ld_, count, p};
        }
        if (scratch.size() < count * p) scratch.resize(count * p);
        std::size_t outside = 0;
        for (std::size_t i = 0; i < count; ++i)
            outside += read_row(x_, first + i, bound_, scratch.data() + i * p);
        if (outside > 0) throw detail::OutsideBound{};
        return {scratch.data(), p, count, p};
    }

    // Times a stored column, the dot products read x once: the check rides
    // along with the sums.
    bool multiply(const detail::Region& a, const detail::Region& w, std::size_t rows,
                  std::size_t cols, double* out, std::size_t ldo, Buffer&) const override {
        if (w.source != nullptr || w.ld != 1 || w.rows != x_.cols || w.cols != 1 || cols != 1 ||
            rows != a.rows)
            return false;
        const std::size_t first = a.first, count = a.rows;
        constexpr std::size_t BLOCK = detail::ROW_DOTS_BLOCK;
        // Contiguous rows of plain values go to the vector variant, when the
        // CPU has one: the same sums, one row per lane.
        const detail::RowDotsFn vector =
            x_.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))
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
    Buffer both;
    if (!design_product(d, side, both, x_outside, y_outside)) {
        // Only an x value ends this pass: the dense recursion follows.
        const Matrix dm = materialise(x, ones);
        const Matrix dt = dm.transpose();
        detail::check_dense_fits(dt, dm, "x");
        GramProducts out{par_mult(dt, dm), std::nullopt};
        return out;
    }
    GramProducts out{columns(both, k, d.m, 0, k), std::nullopt};
    if (fuse && !y_outside) out.r = columns(both, k, d.m, k, d.q);
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
    if (Buffer r; design_product(d, side, r, x_outside, y_outside))
        return Matrix(std::move(r), k, d.q);
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
