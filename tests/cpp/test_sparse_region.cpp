// The region path (mult, par_mult on finite, moderate inputs) must give the
// dense recursion's bits on every shape; other inputs must take the dense path.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "strassen/fault.hpp"
#include "strassen/matrix.hpp"
#include "strassen/mult.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/region.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Matrix;

namespace {

// Values over many binades scaled by `scale`, with exact +0.0 and -0.0, and
// now and then a whole row of zeros of either sign.
Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937_64& rng,
                     double scale = 1.0) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-30, 30), kind(0, 9), row_kind(0, 19);
    Buffer v(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        const int rk = row_kind(rng);
        for (std::size_t c = 0; c < cols; ++c) {
            const int k = kind(rng);
            double x = std::ldexp(mant(rng), expo(rng)) * scale;
            if (rk == 0 || k == 0) x = 0.0;
            if (rk == 1 || k == 1) x = -0.0;
            v[r * cols + c] = x;
        }
    }
    return Matrix(std::move(v), rows, cols);
}

using test_support::same_bits;

struct Pair {
    std::string name;
    Matrix a, b;
};

// The products of fitting and prediction for n observations of k features,
// and their transposed and square relatives.
std::vector<Pair> shapes_for(std::size_t n, std::size_t k, std::mt19937_64& rng) {
    std::vector<Pair> out;
    const Matrix d = random_matrix(n, k, rng);
    out.push_back({"DtD", d.transpose(), d});
    out.push_back({"DtY", d.transpose(), random_matrix(n, 1 + k % 3, rng)});
    out.push_back({"Xw", d, random_matrix(k, 1, rng)});
    out.push_back({"DDt", d, d.transpose()});
    std::uniform_int_distribution<std::size_t> side(1, n);
    const std::size_t m = side(rng), q = side(rng);
    out.push_back({"random", random_matrix(m, k, rng), random_matrix(k, q, rng)});
    return out;
}

constexpr std::size_t kSides[] = {1, 5, 63, 64, 65, 66, 127, 128, 129, 130};

class RegionSweep : public ::testing::TestWithParam<std::size_t> {};

// Every k from 1 to 70, each against a rotating selection of sides.
TEST_P(RegionSweep, EqualsDenseBitForBit) {
    const std::size_t k = GetParam();
    std::mt19937_64 rng(k * 2654435761u);
    for (std::size_t i = 0; i < std::size(kSides); ++i) {
        if ((i + k) % 3 != 0) continue;
        const std::size_t n = kSides[i];
        for (const Pair& p : shapes_for(n, k, rng)) {
            SCOPED_TRACE(p.name + " n=" + std::to_string(n) + " k=" + std::to_string(k));
            ASSERT_TRUE(strassen::detail::region_path_applies(p.a, p.b));
            EXPECT_TRUE(same_bits(strassen::mult(p.a, p.b), strassen::mult_dense(p.a, p.b)));
        }
    }
    // One parallel comparison per k, on the largest side chosen above.
    const std::size_t n = kSides[std::size(kSides) - 1 - k % 3];
    for (const Pair& p : shapes_for(n, k, rng)) {
        SCOPED_TRACE("par " + p.name + " n=" + std::to_string(n));
        const Matrix dense = strassen::par_mult_dense(p.a, p.b);
        EXPECT_TRUE(same_bits(dense, strassen::mult_dense(p.a, p.b)));
        EXPECT_TRUE(same_bits(strassen::par_mult(p.a, p.b), dense));
    }
}

std::vector<std::size_t> all_k() {
    std::vector<std::size_t> out;
    for (std::size_t k = 1; k <= 70; ++k) out.push_back(k);
    return out;
}

INSTANTIATE_TEST_SUITE_P(K, RegionSweep, ::testing::ValuesIn(all_k()));

TEST(RegionPath, SquareSidesEqualDense) {
    std::mt19937_64 rng(99);
    for (std::size_t s : {63u, 64u, 65u, 66u, 127u, 128u, 129u, 130u, 200u, 257u}) {
        const Matrix a = random_matrix(s, s, rng), b = random_matrix(s, s, rng);
        SCOPED_TRACE(s);
        EXPECT_TRUE(same_bits(strassen::mult(a, b), strassen::mult_dense(a, b)));
        EXPECT_TRUE(same_bits(strassen::par_mult(a, b), strassen::mult_dense(a, b)));
    }
}

// Operands near the bound: their sums stay finite, but products and
// combinations overflow to Inf and NaN, which the region path must reproduce.
TEST(RegionPath, OverflowingProductsEqualDense) {
    std::mt19937_64 rng(7);
    for (std::size_t n : {100u, 130u, 300u}) {
        const Matrix d = random_matrix(n, 9, rng, 1e154), y = random_matrix(n, 2, rng, 1e154);
        const Matrix dt = d.transpose();
        for (const auto& [a, b] : {std::pair{&dt, &d}, std::pair{&dt, &y}, std::pair{&d, &dt}}) {
            ASSERT_TRUE(strassen::detail::region_path_applies(*a, *b));
            const Matrix want = strassen::mult_dense(*a, *b);
            bool overflowed = false;
            for (double x : want.data) overflowed = overflowed || !std::isfinite(x);
            EXPECT_TRUE(overflowed) << "the case does not exercise overflow";
            EXPECT_TRUE(same_bits(strassen::mult(*a, *b), want));
            EXPECT_TRUE(same_bits(strassen::par_mult(*a, *b), want));
        }
    }
}

struct Poison {
    const char* name;
    double value;
};

class Fallback : public ::testing::TestWithParam<Poison> {};

// Rows between a half and three quarters of the side: inside M4 the left
// factor's rows end above the next half, so M6 there has a negated factor
// (an empty A21 minus A11); once with finite products, once with overflow.
TEST(RegionPath, NegatedFactorsEqualDense) {
    std::mt19937_64 rng(8);
    for (const auto& [n, scale] : {std::pair{140u, 1.0}, std::pair{260u, 1.0},
                                   std::pair{140u, 1e154}, std::pair{260u, 1e154}}) {
        const Matrix a = random_matrix(n * 5 / 8, n, rng, scale);
        const Matrix b = random_matrix(n, n, rng, scale);
        ASSERT_TRUE(strassen::detail::region_path_applies(a, b));
        const Matrix want = strassen::mult_dense(a, b);
        EXPECT_TRUE(same_bits(strassen::mult(a, b), want));
        EXPECT_TRUE(same_bits(strassen::par_mult(a, b), want));
    }
}

// Non-finite or huge elements take the dense path, whose bits both entries keep.
TEST_P(Fallback, TakesDensePath) {
    std::mt19937_64 rng(3);
    for (std::size_t n : {40u, 130u, 201u}) {
        Matrix poisoned = random_matrix(n, 5, rng);
        poisoned.data[(n / 2) * 5 + 2] = GetParam().value;
        const Matrix d = std::move(poisoned);
        const Matrix dt = d.transpose(), w = random_matrix(5, 1, rng);
        for (const auto& [a, b] : {std::pair{&dt, &d}, std::pair{&d, &w}}) {
            EXPECT_FALSE(strassen::detail::region_path_applies(*a, *b));
            const Matrix want = strassen::mult_dense(*a, *b);
            EXPECT_TRUE(same_bits(strassen::mult(*a, *b), want));
            EXPECT_TRUE(same_bits(strassen::par_mult(*a, *b), want));
            EXPECT_TRUE(same_bits(strassen::par_mult_dense(*a, *b), want));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Fallback,
    ::testing::Values(Poison{"inf", std::numeric_limits<double>::infinity()},
                      Poison{"minus_inf", -std::numeric_limits<double>::infinity()},
                      Poison{"nan", std::numeric_limits<double>::quiet_NaN()},
                      Poison{"huge", DBL_MAX / 2}),
    [](const ::testing::TestParamInfo<Poison>& p) { return std::string(p.param.name); });

// Side 130 splits twice (130, then 66), so leaf operands sum four elements:
// the bound is DBL_MAX / 2^4, inclusive.
TEST(RegionPath, BoundIsDblMaxOverTwoToTheLevelsPlusTwo) {
    Matrix a(Buffer(130 * 3, 1.0), 130, 3), b(Buffer(3, 1.0), 3, 1);
    a.data[7] = -DBL_MAX / 16;
    EXPECT_TRUE(strassen::detail::region_path_applies(a, b));
    a.data[7] = std::nextafter(-DBL_MAX / 16, -DBL_MAX);
    EXPECT_FALSE(strassen::detail::region_path_applies(a, b));
}

// A million rows: the padded square would be 8 TB. The region path needs
// memory for the data only; the dense fallback refuses at once.
TEST(RegionPath, MillionRowsRunOrAreRefused) {
    const std::size_t n = 1'000'000;
    std::mt19937_64 rng(11);
    Matrix x = random_matrix(n, 2, rng);
    const Matrix w(Buffer{0.5, -2.0}, 2, 1);
    for (const Matrix& c : {strassen::mult(x, w), strassen::par_mult(x, w)}) {
        ASSERT_EQ(c.rows, n);
        for (std::size_t i = 0; i < n; i += 9973) {
            const double want = (0.0 + x.data[2 * i] * 0.5) + x.data[2 * i + 1] * -2.0;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(c.data[i]), std::bit_cast<std::uint64_t>(want));
        }
    }
    x.data[12345] = std::numeric_limits<double>::infinity();
    for (auto product : {&strassen::mult, &strassen::par_mult}) {
        try {
            (void)product(x, w);
            ADD_FAILURE() << "expected OutOfMemory";
        } catch (const strassen::OutOfMemory& e) {
            EXPECT_NE(std::string(e.what()).find("physical memory"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
