// The recursion's geometry, probed one below, at and one above each of its
// boundaries against values worked out here; and the products whose shape
// depends on those rules (the tall products over views) at the same boundaries,
// against a plain recursion written here or par_mult on materialised
// operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "column_tree.hpp"
#include "strassen/geometry.hpp"
#include "strassen/kernel.hpp"
#include "strassen/matrix.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/region.hpp"
#include "strassen/view.hpp"
#include "strassen/view_mult.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Matrix;
using strassen::MatrixView;
using test_support::same_bits;
using test_support::with_ones;
namespace geometry = strassen::detail::geometry;

namespace {

// --- the rules, worked out independently ----------------------------------------

std::size_t ref_even(std::size_t s) { return s % 2 == 1 ? s + 1 : s; }

// The sides that split, top down: "padding happens at every level where the
// side is odd", and blocks of side 64 or less are schoolbook leaves.
std::vector<std::size_t> ref_sides(std::size_t side) {
    std::vector<std::size_t> out;
    for (std::size_t s = ref_even(side); s > 64; s = ref_even(s / 2)) out.push_back(s);
    return out;
}

std::vector<std::size_t> sides_of(const geometry::LevelSides& l) {
    return std::vector<std::size_t>(l.side, l.side + l.count);
}

TEST(Geometry, LeafThresholdIs64) {
    EXPECT_EQ(strassen::NAIVE_THRESHOLD, 64u);
    EXPECT_TRUE(geometry::is_leaf(std::size_t{63}));
    EXPECT_TRUE(geometry::is_leaf(std::size_t{64}));
    EXPECT_FALSE(geometry::is_leaf(std::size_t{65}));
}

TEST(Geometry, EvenSideAddsOneToOddSidesOnly) {
    EXPECT_EQ(geometry::even_side(std::size_t{63}), 64u);
    EXPECT_EQ(geometry::even_side(std::size_t{64}), 64u);
    EXPECT_EQ(geometry::even_side(std::size_t{65}), 66u);
    for (std::size_t s = 0; s < 1000; ++s) EXPECT_EQ(geometry::even_side(s), ref_even(s)) << s;
}

TEST(Geometry, CommonSideIsTheLargestDimensionMadeEven) {
    EXPECT_EQ(geometry::common_side(1, 1, 1), 2u);
    EXPECT_EQ(geometry::common_side(5, 2, 4), 6u);
    EXPECT_EQ(geometry::common_side(2, 5, 4), 6u);
    EXPECT_EQ(geometry::common_side(2, 4, 5), 6u);
    EXPECT_EQ(geometry::common_side(3, 1, 1), 4u);
    EXPECT_EQ(geometry::common_side(100, 3, 1), 100u);
    EXPECT_EQ(geometry::common_side(63, 64, 65), 66u);
    EXPECT_EQ(geometry::common_side(64, 64, 63), 64u);
    // Used in place only when all three are already the common side.
    EXPECT_TRUE(geometry::is_square(64, 64, 64));
    EXPECT_TRUE(geometry::is_square(66, 66, 66));
    EXPECT_FALSE(geometry::is_square(65, 65, 65));
    EXPECT_FALSE(geometry::is_square(64, 64, 63));
    EXPECT_FALSE(geometry::is_square(64, 63, 64));
    EXPECT_FALSE(geometry::is_square(63, 64, 64));
}

TEST(Geometry, ChildSideIsTheHalfMadeEven) {
    EXPECT_EQ(geometry::child_side(std::size_t{128}), 64u);
    EXPECT_EQ(geometry::child_side(std::size_t{130}), 66u);
    EXPECT_EQ(geometry::child_side(std::size_t{132}), 66u);
    EXPECT_EQ(geometry::child_side(std::size_t{134}), 68u);
    EXPECT_EQ(geometry::child_side(std::size_t{66}), 34u);
}

TEST(Geometry, InHalfSplitsAnExtentAtTheHalf) {
    const std::size_t h = 33;
    const std::size_t extents[] = {0, 1, 32, 33, 34, 65, 66};
    const std::size_t first[] = {0, 1, 32, 33, 33, 33, 33};
    const std::size_t second[] = {0, 0, 0, 0, 1, 32, 33};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(geometry::in_half(extents[i], h, 0), first[i]) << extents[i];
        EXPECT_EQ(geometry::in_half(extents[i], h, 1), second[i]) << extents[i];
    }
}

TEST(Geometry, LevelSidesWalkDownToTheLeaves) {
    using V = std::vector<std::size_t>;
    EXPECT_EQ(sides_of(geometry::level_sides(63)), V{});
    EXPECT_EQ(sides_of(geometry::level_sides(64)), V{});
    EXPECT_EQ(sides_of(geometry::level_sides(65)), (V{66}));
    EXPECT_EQ(sides_of(geometry::level_sides(127)), (V{128}));
    EXPECT_EQ(sides_of(geometry::level_sides(128)), (V{128}));
    EXPECT_EQ(sides_of(geometry::level_sides(129)), (V{130, 66}));
    EXPECT_EQ(sides_of(geometry::level_sides(258)), (V{258, 130, 66}));
    EXPECT_EQ(geometry::depth(64), 0u);
    EXPECT_EQ(geometry::depth(65), 1u);
    EXPECT_EQ(geometry::depth(130), 2u);
    EXPECT_EQ(geometry::smallest_half(64), SIZE_MAX);
    EXPECT_EQ(geometry::smallest_half(65), 33u);
    EXPECT_EQ(geometry::smallest_half(128), 64u);
    EXPECT_EQ(geometry::smallest_half(130), 33u);
    std::vector<std::size_t> probes;
    for (std::size_t s = 1; s < 3000; ++s) probes.push_back(s);
    for (std::size_t s : {std::size_t{1} << 20, (std::size_t{1} << 20) + 1, std::size_t{1} << 40,
                          (std::size_t{1} << 40) - 3})
        probes.push_back(s);
    for (std::size_t s : probes) {
        const std::vector<std::size_t> want = ref_sides(s);
        ASSERT_EQ(sides_of(geometry::level_sides(s)), want) << s;
        EXPECT_EQ(geometry::depth(s), want.size()) << s;
        EXPECT_EQ(geometry::smallest_half(s), want.empty() ? SIZE_MAX : want.back() / 2) << s;
    }
}

TEST(Geometry, CleanSplitWhenTheWidthFitsInTheHalf) {
    // 130: half 65.
    EXPECT_TRUE(geometry::clean_split(130, 64));
    EXPECT_TRUE(geometry::clean_split(130, 65));
    EXPECT_FALSE(geometry::clean_split(130, 66));
    EXPECT_TRUE(geometry::clean_split(129, 65));
    EXPECT_FALSE(geometry::clean_split(129, 66));
    // 65 and 66: half 33.
    EXPECT_TRUE(geometry::clean_split(65, 33));
    EXPECT_FALSE(geometry::clean_split(65, 34));
    EXPECT_TRUE(geometry::clean_split(66, 33));
    EXPECT_FALSE(geometry::clean_split(66, 34));
    // A leaf never splits.
    EXPECT_FALSE(geometry::clean_split(64, 1));
    EXPECT_FALSE(geometry::clean_split(63, 1));
    for (std::size_t s = 1; s < 400; ++s)
        for (std::size_t w = 1; w <= s; ++w)
            ASSERT_EQ(geometry::clean_split(s, w), ref_even(s) > 64 && w <= ref_even(s) / 2)
                << s << " " << w;
}

TEST(Geometry, AllCleanWhenTheWidthFitsInEveryHalf) {
    // 130 -> 66: the smallest half is 33.
    EXPECT_TRUE(geometry::all_clean(130, 32));
    EXPECT_TRUE(geometry::all_clean(130, 33));
    EXPECT_FALSE(geometry::all_clean(130, 34));
    // 128: one level, half 64.
    EXPECT_TRUE(geometry::all_clean(128, 64));
    EXPECT_FALSE(geometry::all_clean(128, 65));
    // A leaf has no level to mix.
    EXPECT_TRUE(geometry::all_clean(64, 1000));
    for (std::size_t s = 1; s < 1000; ++s)
        for (std::size_t w = 1; w < 200; ++w) {
            bool clean = true;
            for (std::size_t side : ref_sides(s)) clean = clean && w <= side / 2;
            ASSERT_EQ(geometry::all_clean(s, w), clean) << s << " " << w;
        }
}

// A node that does not split cleanly packs its whole block: a leaf's, or one
// whose half is below the width. Either fits in block_rows.
TEST(Geometry, RegionBoundIsDblMaxOverTwoToTheDepthPlusTwo) {
    EXPECT_EQ(geometry::region_bound(64), DBL_MAX / 4);
    EXPECT_EQ(geometry::region_bound(65), DBL_MAX / 8);
    EXPECT_EQ(geometry::region_bound(66), DBL_MAX / 8);
    EXPECT_EQ(geometry::region_bound(128), DBL_MAX / 8);
    EXPECT_EQ(geometry::region_bound(130), DBL_MAX / 16);
    for (std::size_t s = 2; s < 5000; s += 2)
        ASSERT_EQ(geometry::region_bound(s),
                  std::ldexp(DBL_MAX, -static_cast<int>(ref_sides(s).size() + 2)))
            << s;
    // region_path_applies takes a value at the bound and refuses the next one.
    const double bound = geometry::region_bound(100);  // common side of 100 x 3 times 3 x 1
    Matrix x(Buffer(300, 1.0), 100, 3), w(Buffer(3, 1.0), 3, 1);
    x.data[151] = -bound;
    EXPECT_TRUE(strassen::detail::region_path_applies(x, w));
    x.data[151] = -std::nextafter(bound, DBL_MAX);
    EXPECT_FALSE(strassen::detail::region_path_applies(x, w));
}

// The dense memory estimate, from its description: the padded copies and the
// fourteen operands; and every phase of the recursion summed.
geometry::Count ref_sequential(geometry::Count n) {
    if (n <= 64) return 2 * n * n;
    const geometry::Count h = n / 2, hp = h % 2 == 1 ? h + 1 : h;
    const geometry::Count padded_child = hp != h ? 3 * hp * hp : 0;  // two operands, a result
    return 14 * h * h + (padded_child + ref_sequential(hp) + h * h) + 7 * h * h + n * n;
}

TEST(Geometry, DenseEstimatesFollowTheRecursion) {
    EXPECT_TRUE(geometry::dense_operands(66, false) == 14 * 33 * 33);
    EXPECT_TRUE(geometry::dense_operands(66, true) == 2 * 66 * 66 + 14 * 33 * 33);
    // 66: seven jobs on 33, each padded to a 34 leaf.
    const geometry::Count job66 = 2 * 33 * 33 + 3 * 34 * 34 + 2 * 34 * 34 + 33 * 33;
    EXPECT_TRUE(geometry::dense_peak(66) ==
                2 * 66 * 66 + 14 * 33 * 33 + 7 * job66 + 7 * 33 * 33 + 2 * 66 * 66);
    for (geometry::Count d = 66; d < 3000; d += 2) {
        const geometry::Count h = d / 2, hp = h % 2 == 1 ? h + 1 : h;
        const geometry::Count job =
            2 * h * h + (hp != h ? 3 * hp * hp : 0) + ref_sequential(hp) + h * h;
        ASSERT_TRUE(geometry::dense_peak(d) ==
                    2 * d * d + 14 * h * h + 7 * job + 7 * h * h + 2 * d * d)
            << static_cast<std::size_t>(d);
    }
}

// --- products at the boundaries ---------------------------------------------------

// A plain Strassen recursion over zero-padded squares, sharing no code with
// the library: the oracle for the small shapes.
struct Dense {
    std::size_t rows, cols;
    std::vector<double> v;
    double at(std::size_t r, std::size_t c) const {
        return r < rows && c < cols ? v[r * cols + c] : 0.0;  // the padding's +0.0
    }
};

Dense ref_product(const Dense& a, const Dense& b);

Dense ref_square(const Dense& a, const Dense& b) {
    const std::size_t n = a.rows;
    Dense c{n, n, std::vector<double>(n * n)};
    if (n <= 64) {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double s = 0.0;
                for (std::size_t k = 0; k < n; ++k) s = s + a.at(i, k) * b.at(k, j);
                c.v[i * n + j] = s;
            }
        return c;
    }
    const std::size_t h = n / 2;
    // Quadrant (r, s), or (r, s) plus or minus (r2, s2).
    auto q = [&](const Dense& x, std::size_t r, std::size_t s, int op, std::size_t r2,
                 std::size_t s2) {
        Dense out{h, h, std::vector<double>(h * h)};
        for (std::size_t i = 0; i < h; ++i)
            for (std::size_t j = 0; j < h; ++j) {
                const double u = x.at(i + r * h, j + s * h), w = x.at(i + r2 * h, j + s2 * h);
                out.v[i * h + j] = op == 0 ? u : op > 0 ? u + w : u - w;
            }
        return out;
    };
    const Dense m1 = ref_product(q(a, 0, 0, +1, 1, 1), q(b, 0, 0, +1, 1, 1));
    const Dense m2 = ref_product(q(a, 1, 0, +1, 1, 1), q(b, 0, 0, 0, 0, 0));
    const Dense m3 = ref_product(q(a, 0, 0, 0, 0, 0), q(b, 0, 1, -1, 1, 1));
    const Dense m4 = ref_product(q(a, 1, 1, 0, 0, 0), q(b, 1, 0, -1, 0, 0));
    const Dense m5 = ref_product(q(a, 0, 0, +1, 0, 1), q(b, 1, 1, 0, 0, 0));
    const Dense m6 = ref_product(q(a, 1, 0, -1, 0, 0), q(b, 0, 0, +1, 0, 1));
    const Dense m7 = ref_product(q(a, 0, 1, -1, 1, 1), q(b, 1, 0, +1, 1, 1));
    for (std::size_t i = 0; i < h; ++i)
        for (std::size_t j = 0; j < h; ++j) {
            const std::size_t e = i * h + j;
            c.v[i * n + j] = ((m7.v[e] - m5.v[e]) + m4.v[e]) + m1.v[e];
            c.v[i * n + j + h] = m5.v[e] + m3.v[e];
            c.v[(i + h) * n + j] = m4.v[e] + m2.v[e];
            c.v[(i + h) * n + j + h] = ((m1.v[e] - m2.v[e]) + m3.v[e]) + m6.v[e];
        }
    return c;
}

Dense ref_product(const Dense& a, const Dense& b) {
    const std::size_t d = ref_even(std::max({a.rows, a.cols, b.cols}));
    Dense ap{d, d, std::vector<double>(d * d)}, bp = ap;
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < d; ++j) {
            ap.v[i * d + j] = a.at(i, j);
            bp.v[i * d + j] = b.at(i, j);
        }
    const Dense full = ref_square(ap, bp);
    Dense c{a.rows, b.cols, std::vector<double>(a.rows * b.cols)};
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < b.cols; ++j) c.v[i * b.cols + j] = full.at(i, j);
    return c;
}

Matrix ref_mult(const Matrix& a, const Matrix& b) {
    const Dense c = ref_product(Dense{a.rows, a.cols, {a.data.begin(), a.data.end()}},
                                Dense{b.rows, b.cols, {b.data.begin(), b.data.end()}});
    return Matrix(Buffer(c.v.begin(), c.v.end()), c.rows, c.cols);
}

// Values over many binades, so that a different grouping of any sum shows.
Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-30, 30);
    Buffer v(rows * cols);
    for (double& x : v) x = std::ldexp(mant(rng), expo(rng));
    return Matrix(std::move(v), rows, cols);
}

// Widths one below, at and one above every half met under a square of side n.
std::vector<std::size_t> boundary_widths(std::size_t n) {
    std::vector<std::size_t> out = {1};
    for (std::size_t side : ref_sides(n))
        for (std::size_t w : {side / 2 - 1, side / 2, side / 2 + 1})
            if (w >= 1 && w <= n) out.push_back(w);
    return out;
}

const std::size_t SMALL_ROWS[] = {63, 64, 65, 66, 67, 127, 128, 129, 130, 131, 132, 258, 260};

// Regression: with a level splitting only rows whose columns do not fit in
// the half (66 x 34), view_mult's bits changed in most rows and no test saw it.
TEST(GeometryProducts, RowTreeSplitsOnlyWhenTheColumnsFitTheHalf) {
    for (std::size_t n : SMALL_ROWS)
        for (std::size_t p : boundary_widths(n)) {
            SCOPED_TRACE(::testing::Message() << n << " x " << p);
            std::mt19937_64 rng(n * 1000 + p);
            const Matrix x = random_matrix(n, p, rng), w = random_matrix(p, 1, rng);
            EXPECT_TRUE(same_bits(strassen::view_mult(MatrixView::of(x), w), ref_mult(x, w)));
        }
}

TEST(GeometryProducts, GramProductsAtEveryBoundaryWidth) {
    for (std::size_t n : SMALL_ROWS)
        for (std::size_t k : boundary_widths(n))
            for (const bool ones : {false, true}) {
                if (ones && k == 1) continue;
                const std::size_t p = ones ? k - 1 : k;  // D has k columns
                SCOPED_TRACE(::testing::Message() << n << " x " << k << " ones " << ones);
                std::mt19937_64 rng(n * 1000 + k);
                const Matrix x = random_matrix(n, p, rng), y = random_matrix(n, 2, rng);
                const Matrix d = ones ? with_ones(x) : x, dt = d.transpose();
                const strassen::GramProducts got =
                    strassen::gram_products(MatrixView::of(x), ones, MatrixView::of(y));
                EXPECT_TRUE(same_bits(got.g, ref_mult(dt, d)));
                const Matrix r = ref_mult(dt, y);
                ASSERT_TRUE(got.r.has_value());
                EXPECT_TRUE(same_bits(*got.r, r));
                EXPECT_TRUE(same_bits(
                    strassen::cross_product(MatrixView::of(x), ones, MatrixView::of(y)), r));
            }
}

// DᵀY alone, its width (y's columns) at the boundaries while D stays narrow.
TEST(GeometryProducts, DesignProductAtEveryBoundaryWidthOfY) {
    for (std::size_t n : {65u, 66u, 130u, 131u})
        for (std::size_t q : boundary_widths(n)) {
            SCOPED_TRACE(::testing::Message() << n << " x " << q);
            std::mt19937_64 rng(n * 7 + q);
            const Matrix x = random_matrix(n, 2, rng), y = random_matrix(n, q, rng);
            const Matrix dt = with_ones(x).transpose();
            EXPECT_TRUE(same_bits(
                strassen::cross_product(MatrixView::of(x), true, MatrixView::of(y)),
                ref_mult(dt, y)));
        }
}

// Large enough for the top level's two halves to run on workers; the oracle
// is par_mult on materialised operands, whose region path shares neither the
// trees nor their split tests. 8000 rows: 8000, 4000, ..., 250, then 126,
// whose half 63 is the smallest.
TEST(GeometryProducts, ParallelTreesAtTheSmallestHalf) {
    const std::size_t n = 8000;
    ASSERT_EQ(geometry::smallest_half(n), 63u);
    for (std::size_t k : {62u, 63u, 64u}) {
        SCOPED_TRACE(k);
        std::mt19937_64 rng(k);
        const Matrix x = random_matrix(n, k, rng), w = random_matrix(k, 1, rng);
        const Matrix y = random_matrix(n, 1, rng);
        EXPECT_TRUE(same_bits(strassen::view_mult(MatrixView::of(x), w), strassen::par_mult(x, w)));
        const Matrix xt = x.transpose();
        const strassen::GramProducts got =
            strassen::gram_products(MatrixView::of(x), false, MatrixView::of(y));
        EXPECT_TRUE(same_bits(got.g, strassen::par_mult(xt, x)));
        ASSERT_TRUE(got.r.has_value());
        EXPECT_TRUE(same_bits(*got.r, strassen::par_mult(xt, y)));
    }
}


// Fewer rows than half the columns: the top level sums two products over
// halves of x's columns, which x's rows, read in place, cannot split unread.
// Both halves once came from x's left columns.
TEST(GeometryProducts, FewRowsTimesOneColumn) {
    const std::size_t shapes[][2] = {{1, 70}, {30, 70}, {34, 67}, {60, 130}, {64, 300}};
    for (const auto& s : shapes) {
        const std::size_t n = s[0], p = s[1];
        SCOPED_TRACE(::testing::Message() << n << " x " << p);
        std::mt19937_64 rng(n * 31 + p);
        const Matrix x = random_matrix(n, p, rng), w = random_matrix(p, 1, rng);
        EXPECT_TRUE(same_bits(strassen::view_mult(MatrixView::of(x), w), ref_mult(x, w)));
    }
}

// x·w with x wider than the half at the top: the levels that mix x's columns
// run inside registers, up to four at once. Of five, the first is formed in
// memory at the top, and row by row inside the trees below a tall level
// (2200 x 1000 forms sums and differences so); with fewer, the tree is also
// called directly, each instruction set's variant. Zeros of both signs,
// padded rows and columns included; the oracle is the plain recursion.
TEST(GeometryProducts, WideTimesOneColumnAtEveryDepth) {
    namespace detail = strassen::detail;
    const std::size_t shapes[][2] = {{260, 140}, {300, 700}, {520, 301}, {1100, 600}, {2200, 1000}};
    for (const auto& s : shapes) {
        const std::size_t n = s[0], p = s[1], side = std::max(n, p);
        SCOPED_TRACE(::testing::Message() << n << " x " << p);
        std::mt19937_64 rng(n * 31 + p);
        Matrix x = random_matrix(n, p, rng);
        for (std::size_t e = 0; e < x.size; e += 7) x.data[e] = e % 2 == 0 ? 0.0 : -0.0;
        const Matrix w = random_matrix(p, 1, rng);
        const Matrix want = ref_mult(x, w);
        EXPECT_TRUE(same_bits(strassen::view_mult(MatrixView::of(x), w), want));
        const detail::Region a = detail::whole(x), b = detail::whole(w);
        if (geometry::depth(side) > detail::COLUMN_TREE_DEPTH) continue;
        for (const auto variant : {detail::column_block_sse2, detail::column_block_avx2}) {
            if (variant == detail::column_block_avx2 &&
                !detail::kernel_supported(detail::KernelIsa::avx2))
                continue;
            Buffer out(n), scratch;
            detail::column_tree(a, b, side, n, out.data(), 1, scratch, variant);
            EXPECT_TRUE(same_bits(Matrix(std::move(out), n, 1), want));
        }
    }
}

}  // namespace
