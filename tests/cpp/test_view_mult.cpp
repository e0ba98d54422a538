// Products over views must give par_mult's bits for every layout of the data,
// take the materialised path for values outside the region bound, and stop
// when the installed check asks.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "strassen/bound.hpp"
#include "strassen/interrupt.hpp"
#include "strassen/kernel.hpp"
#include "strassen/mult.hpp"
#include "strassen/region.hpp"
#include "strassen/view_mult.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Matrix;
using strassen::MatrixView;
using test_support::same_bits;
using test_support::with_ones;

namespace {

enum class Layout { c_order, f_order, reversed_rows, unaligned_gaps };

// The same numbers as `m`, stored in the given layout in memory it owns.
struct Stored {
    std::vector<char> bytes;
    MatrixView view;

    Stored(const Matrix& m, Layout layout) {
        const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
        const auto rows = static_cast<std::ptrdiff_t>(m.rows);
        const auto cols = static_cast<std::ptrdiff_t>(m.cols);
        std::ptrdiff_t rs = cols * d, cs = d, offset = 0;
        switch (layout) {
            case Layout::c_order:
                break;
            case Layout::f_order:
                rs = d;
                cs = rows * d;
                break;
            case Layout::reversed_rows:
                offset = (rows - 1) * cols * d;
                rs = -cols * d;
                break;
            case Layout::unaligned_gaps:
                // Every element off its 8-byte alignment, rows and columns apart.
                offset = 3;
                cs = d + 4;
                rs = cols * cs + 12;
                break;
        }
        bytes.assign(static_cast<std::size_t>(offset + std::max<std::ptrdiff_t>(rs, -rs) * rows +
                                              std::max<std::ptrdiff_t>(cs, -cs) * cols + 64),
                     0);
        char* base = bytes.data() + offset;
        for (std::size_t i = 0; i < m.rows; ++i)
            for (std::size_t j = 0; j < m.cols; ++j) {
                const double v = m(i, j);
                std::memcpy(base + static_cast<std::ptrdiff_t>(i) * rs +
                                static_cast<std::ptrdiff_t>(j) * cs,
                            &v, sizeof v);
            }
        view = {base, rs, cs, m.rows, m.cols};
    }
};

Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-20, 20), kind(0, 15);
    Buffer v(rows * cols);
    for (double& x : v) {
        const int k = kind(rng);
        x = k == 0 ? 0.0 : k == 1 ? -0.0 : std::ldexp(mant(rng), expo(rng));
    }
    return Matrix(std::move(v), rows, cols);
}

// The oracle: the dense recursion while its padded square is small, else the
// region path on materialised operands (equal to it on finite data, which
// test_sparse_region checks).
Matrix oracle(const Matrix& a, const Matrix& b) {
    return std::max({a.rows, a.cols, b.cols}) <= 400 ? strassen::mult_dense(a, b)
                                                     : strassen::mult(a, b);
}

struct Case {
    std::size_t n, p, q;
};

class GramProducts : public ::testing::TestWithParam<Case> {};

TEST_P(GramProducts, EqualProductsOfTheMaterialisedDesign) {
    const Case c = GetParam();
    std::mt19937_64 rng(c.n * 131 + c.p * 7 + c.q);
    const Matrix x = random_matrix(c.n, c.p, rng);
    const Matrix y = random_matrix(c.n, c.q, rng);
    const Matrix w = random_matrix(c.p, 1, rng);
    const Matrix xw = oracle(x, w);
    for (const bool ones : {true, false}) {
        const Matrix d = ones ? with_ones(x) : x;
        const Matrix dt = d.transpose();
        const Matrix g = oracle(dt, d);
        const Matrix r = oracle(dt, y);
        for (const Layout layout : {Layout::c_order, Layout::f_order, Layout::reversed_rows,
                                    Layout::unaligned_gaps}) {
            SCOPED_TRACE(::testing::Message() << "ones " << ones << " layout "
                                              << static_cast<int>(layout));
            const Stored xs(x, layout), ys(y, layout);
            strassen::GramProducts got = strassen::gram_products(xs.view, ones, ys.view);
            EXPECT_TRUE(same_bits(got.g, g));
            const Matrix got_r =
                got.r ? *got.r : strassen::cross_product(xs.view, ones, ys.view);
            EXPECT_TRUE(same_bits(got_r, r));
            EXPECT_TRUE(same_bits(strassen::cross_product(xs.view, ones, ys.view), r));
            EXPECT_TRUE(same_bits(strassen::materialise(xs.view, ones), d));
            EXPECT_TRUE(same_bits(strassen::view_mult(xs.view, w), xw));
        }
    }
}

// Sides at and around the recursion's thresholds, tall and not tall (p = 33
// and 64 mix quadrants at the lower levels), sizes whose top level runs on
// two workers, and large enough ones whose top level mixes quadrants (150 x
// 130 and 100 x 150).
INSTANTIATE_TEST_SUITE_P(
    Shapes, GramProducts,
    ::testing::Values(Case{1, 1, 1}, Case{2, 1, 2}, Case{3, 2, 1}, Case{63, 5, 1},
                      Case{64, 3, 2}, Case{65, 31, 1}, Case{66, 32, 1}, Case{129, 33, 1},
                      Case{130, 10, 3}, Case{131, 64, 1}, Case{257, 16, 1}, Case{300, 40, 2},
                      Case{1000, 16, 1}, Case{4099, 7, 1}, Case{20001, 16, 1},
                      Case{30000, 31, 2}, Case{50000, 64, 1}, Case{150, 130, 2},
                      Case{100, 150, 1}));

TEST(GramProductsFallback, OutsideValuesGiveTheDenseBits) {
    std::mt19937_64 rng(5);
    const double huge = std::numeric_limits<double>::max() / 4;
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(), huge}) {
        for (const bool in_x : {true, false}) {
            Matrix x = random_matrix(150, 3, rng);
            Matrix y = random_matrix(150, 1, rng);
            (in_x ? x.data[77 * 3 + 1] : y.data[100]) = bad;
            const Matrix d = with_ones(x);
            const Matrix dt = d.transpose();
            const Stored xs(x, Layout::f_order), ys(y, Layout::c_order);
            strassen::GramProducts got = strassen::gram_products(xs.view, true, ys.view);
            EXPECT_TRUE(same_bits(got.g, strassen::mult_dense(dt, d)));
            const Matrix got_r = got.r ? *got.r : strassen::cross_product(xs.view, true, ys.view);
            EXPECT_TRUE(same_bits(got_r, strassen::mult_dense(dt, y)));
        }
    }
}

// Every lane of both vectors, the scalar tail, and each variant: a value
// outside (or at) the bound anywhere in the run.
TEST(BoundCheck, FindsAValueOutsideAtEveryPosition) {
    namespace detail = strassen::detail;
    const double bound = 1e300;
    for (const auto variant : {detail::any_outside_sse2, detail::any_outside_avx2}) {
        if (variant == detail::any_outside_avx2 &&
            !detail::kernel_supported(detail::KernelIsa::avx2))
            continue;
        for (std::size_t count = 1; count <= 19; ++count) {
            std::vector<double> v(count, -0.0);
            v[0] = -bound;
            v[count - 1] = bound;
            EXPECT_FALSE(variant(v.data(), count, bound)) << count;
            for (std::size_t at = 0; at < count; ++at)
                for (const double bad : {std::nan(""), -std::numeric_limits<double>::infinity(),
                                         std::nextafter(bound, 2 * bound)}) {
                    std::vector<double> w = v;
                    w[at] = bad;
                    EXPECT_TRUE(variant(w.data(), count, bound)) << count << " " << at;
                }
        }
    }
}

TEST(GramProductsFallback, NonConformingTargetsAreLeftToTheCaller) {
    std::mt19937_64 rng(6);
    const Matrix x = random_matrix(40, 2, rng), y = random_matrix(39, 1, rng);
    const Stored xs(x, Layout::c_order), ys(y, Layout::c_order);
    strassen::GramProducts got = strassen::gram_products(xs.view, true, ys.view);
    EXPECT_FALSE(got.r.has_value());
    test_support::expect_fault([&] { strassen::cross_product(xs.view, true, ys.view); },
                               "Matrix sizes do not match");
}

class ViewMult : public ::testing::TestWithParam<Case> {};

TEST_P(ViewMult, EqualsTheProductOfTheMaterialisedInput) {
    const Case c = GetParam();
    std::mt19937_64 rng(c.n * 17 + c.p);
    const Matrix x = random_matrix(c.n, c.p, rng);
    const Matrix w = random_matrix(c.p, 1, rng);
    const Matrix want = oracle(x, w);
    // The addend rounds most sums again: 1/3 is no short binary fraction.
    const double addend = 1.0 / 3.0;
    Matrix want_plus = want;
    for (double& v : want_plus.data) v = v + addend;
    for (const Layout layout : {Layout::c_order, Layout::f_order, Layout::reversed_rows,
                                Layout::unaligned_gaps}) {
        SCOPED_TRACE(static_cast<int>(layout));
        const Stored xs(x, layout);
        EXPECT_TRUE(same_bits(strassen::view_mult(xs.view, w), want));
        EXPECT_TRUE(same_bits(strassen::view_mult_plus(xs.view, w, addend), want_plus));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ViewMult,
                         ::testing::Values(Case{1, 1, 1}, Case{5, 3, 1}, Case{64, 64, 1},
                                           Case{65, 33, 1}, Case{130, 16, 1}, Case{131, 64, 1},
                                           Case{1000, 5, 1}, Case{200000, 16, 1},
                                           Case{200000, 64, 1}, Case{400, 700, 1}));

TEST(ViewMultFallback, OutsideValuesAndSizeFault) {
    std::mt19937_64 rng(8);
    // 131 x 64 has a block whose level mixes x's columns, read in place.
    for (const auto& [n, p] : {std::pair<std::size_t, std::size_t>{100, 4}, {131, 64}}) {
        Matrix x = random_matrix(n, p, rng);
        const Matrix w = random_matrix(p, 1, rng);
        x.data[n * p / 2] = -std::numeric_limits<double>::infinity();
        const Stored xs(x, Layout::c_order);
        Matrix want = strassen::mult_dense(x, w);
        EXPECT_TRUE(same_bits(strassen::view_mult(xs.view, w), want));
        for (double& v : want.data) v = v + 0.5;
        EXPECT_TRUE(same_bits(strassen::view_mult_plus(xs.view, w, 0.5), want));
    }
    const Stored xs(random_matrix(100, 4, rng), Layout::c_order);
    const Matrix w5 = random_matrix(5, 1, rng);
    test_support::expect_fault([&] { strassen::view_mult(xs.view, w5); },
                               "Matrix sizes do not match");
}

// A check that says stop ends a product that runs on workers with
// Interrupted; one that never says so changes nothing.
TEST(Interrupt, StopsAParallelProduct) {
    std::mt19937_64 rng(9);
    const Matrix x = random_matrix(400000, 16, rng);
    const Stored xs(x, Layout::c_order);
    int asked = 0;
    {
        strassen::InterruptScope scope(
            [](void* count) {
                ++*static_cast<int*>(count);
                return false;
            },
            &asked);
        const strassen::GramProducts quiet = strassen::gram_products(xs.view, true, xs.view);
        const strassen::GramProducts plain = [&] {
            strassen::InterruptScope none(nullptr, nullptr);
            return strassen::gram_products(xs.view, true, xs.view);
        }();
        EXPECT_TRUE(same_bits(quiet.g, plain.g));
    }
    {
        strassen::InterruptScope scope([](void*) { return true; }, nullptr);
        EXPECT_THROW(strassen::gram_products(xs.view, true, xs.view), strassen::Interrupted);
        EXPECT_THROW(strassen::view_mult(xs.view, random_matrix(16, 1, rng)),
                     strassen::Interrupted);
    }
}

// The calling thread's own recursion, with no pool to wait on: only its own
// checks can stop it (the product lasts several polls).
TEST(Interrupt, StopsTheCallersOwnRecursion) {
    std::mt19937_64 rng(11);
    const Matrix a = random_matrix(1400, 1400, rng), b = random_matrix(1400, 1400, rng);
    const strassen::InterruptScope scope([](void*) { return true; }, nullptr);
    EXPECT_THROW(strassen::mult(a, b), strassen::Interrupted);
}

}  // namespace

namespace {

// A side whose dense recursion's operands fit in this machine's memory but
// whose whole recursion cannot: the refusal must come up front and name what
// holds the value that forced the dense path.
TEST(DenseFallback, RefusedUpFrontNamingTheCause) {
    const double physical = static_cast<double>(strassen::physical_memory_bytes());
    const auto n = static_cast<std::size_t>(std::sqrt(physical / 80.0));
    std::mt19937_64 rng(10);
    for (const char* cause : {"x", "y"}) {
        Matrix x = random_matrix(n, 1, rng);
        Matrix y = random_matrix(n, 1, rng);
        (cause[0] == 'x' ? x : y).data[n / 2] = std::nan("");
        const Stored xs(x, Layout::c_order), ys(y, Layout::c_order);
        try {
            strassen::GramProducts p = strassen::gram_products(xs.view, true, ys.view);
            (void)strassen::cross_product(xs.view, true, ys.view);
            ADD_FAILURE() << "expected OutOfMemory";
        } catch (const strassen::OutOfMemory& e) {
            const std::string want = std::string("cannot compute the exact product: ") + cause +
                                     " holds a non-finite value or one near the overflow threshold";
            EXPECT_EQ(std::string(e.what()).rfind(want, 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find("GiB of memory, more than this machine's"),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
