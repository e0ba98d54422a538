// Sequential products against an independent reference: a plain left-to-right
// schoolbook sum and a plain recursive Strassen over zero-padded squares,
// written here from the arithmetic the library promises, sharing no code with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "strassen/fault.hpp"
#include "strassen/matrix.hpp"
#include "strassen/mult.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Fault;
using strassen::Matrix;

namespace {

// Row-major m x n.
struct Dense {
    std::size_t rows, cols;
    std::vector<double> v;
    double at(std::size_t r, std::size_t c) const { return v[r * cols + c]; }
};

Dense school(const Dense& a, const Dense& b) {
    Dense c{a.rows, b.cols, std::vector<double>(a.rows * b.cols)};
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < b.cols; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < a.cols; ++k) s = s + a.at(i, k) * b.at(k, j);
            c.v[i * b.cols + j] = s;
        }
    return c;
}

Dense padded(const Dense& a, std::size_t d) {
    Dense p{d, d, std::vector<double>(d * d, 0.0)};
    for (std::size_t r = 0; r < a.rows; ++r)
        for (std::size_t c = 0; c < a.cols; ++c) p.v[r * d + c] = a.at(r, c);
    return p;
}

Dense strassen_ref(const Dense& a, const Dense& b);

// One level on n x n squares; every sub-product pads its odd side again.
Dense strassen_level(const Dense& a, const Dense& b) {
    const std::size_t n = a.rows;
    if (n <= 64) return school(a, b);
    const std::size_t h = n / 2;
    auto q = [&](const Dense& x, std::size_t qr, std::size_t qc) {
        Dense out{h, h, std::vector<double>(h * h)};
        for (std::size_t r = 0; r < h; ++r)
            for (std::size_t c = 0; c < h; ++c) out.v[r * h + c] = x.at(r + qr * h, c + qc * h);
        return out;
    };
    auto plus = [&](const Dense& x, const Dense& y) {
        Dense out = x;
        for (std::size_t i = 0; i < h * h; ++i) out.v[i] = x.v[i] + y.v[i];
        return out;
    };
    auto minus = [&](const Dense& x, const Dense& y) {
        Dense out = x;
        for (std::size_t i = 0; i < h * h; ++i) out.v[i] = x.v[i] - y.v[i];
        return out;
    };
    const Dense a11 = q(a, 0, 0), a12 = q(a, 0, 1), a21 = q(a, 1, 0), a22 = q(a, 1, 1);
    const Dense b11 = q(b, 0, 0), b12 = q(b, 0, 1), b21 = q(b, 1, 0), b22 = q(b, 1, 1);
    const Dense m1 = strassen_ref(plus(a11, a22), plus(b11, b22));
    const Dense m2 = strassen_ref(plus(a21, a22), b11);
    const Dense m3 = strassen_ref(a11, minus(b12, b22));
    const Dense m4 = strassen_ref(a22, minus(b21, b11));
    const Dense m5 = strassen_ref(plus(a11, a12), b22);
    const Dense m6 = strassen_ref(minus(a21, a11), plus(b11, b12));
    const Dense m7 = strassen_ref(minus(a12, a22), plus(b21, b22));
    Dense c{n, n, std::vector<double>(n * n)};
    for (std::size_t r = 0; r < h; ++r)
        for (std::size_t s = 0; s < h; ++s) {
            const std::size_t i = r * h + s;
            c.v[r * n + s] = ((m7.v[i] - m5.v[i]) + m4.v[i]) + m1.v[i];
            c.v[r * n + s + h] = m5.v[i] + m3.v[i];
            c.v[(r + h) * n + s] = m4.v[i] + m2.v[i];
            c.v[(r + h) * n + s + h] = ((m1.v[i] - m2.v[i]) + m3.v[i]) + m6.v[i];
        }
    return c;
}

Dense strassen_ref(const Dense& a, const Dense& b) {
    std::size_t d = std::max({a.rows, a.cols, b.cols});
    d += d % 2;
    const Dense full = strassen_level(padded(a, d), padded(b, d));
    Dense c{a.rows, b.cols, std::vector<double>(a.rows * b.cols)};
    for (std::size_t r = 0; r < a.rows; ++r)
        for (std::size_t s = 0; s < b.cols; ++s) c.v[r * b.cols + s] = full.at(r, s);
    return c;
}

// Values over many binades, with exact +0.0 and -0.0 sprinkled in.
Dense random_dense(std::size_t rows, std::size_t cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-20, 20), kind(0, 9);
    Dense d{rows, cols, std::vector<double>(rows * cols)};
    for (double& x : d.v) {
        const int k = kind(rng);
        x = k == 0 ? 0.0 : k == 1 ? -0.0 : std::ldexp(mant(rng), expo(rng));
    }
    return d;
}

Matrix to_matrix(const Dense& d) { return Matrix(Buffer(d.v.begin(), d.v.end()), d.rows, d.cols); }

::testing::AssertionResult same_bits(const Matrix& got, const Dense& want) {
    if (got.rows != want.rows || got.cols != want.cols || got.size != want.v.size())
        return ::testing::AssertionFailure() << "shape " << got.rows << "x" << got.cols;
    return test_support::same_bits(got.data.data(), want.v.data(), got.size, got.cols);
}

using test_support::expect_fault;

using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;  // m, k, n

class MultShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(MultShapes, EqualsReferenceBitForBit) {
    const auto [m, k, n] = GetParam();
    std::mt19937_64 rng(m * 1000003 + k * 1009 + n);
    const Dense a = random_dense(m, k, rng), b = random_dense(k, n, rng);
    const Matrix am = to_matrix(a), bm = to_matrix(b);
    const Dense want = strassen_ref(a, b);
    EXPECT_TRUE(same_bits(strassen::mult_dense(am, bm), want));
    EXPECT_TRUE(same_bits(strassen::mult(am, bm), want));
    EXPECT_TRUE(same_bits(strassen::naive_mult(am, bm), school(a, b)));
}

std::vector<Shape> square_shapes() {
    std::vector<Shape> out;
    for (std::size_t s : {1u, 2u, 63u, 64u, 65u, 66u, 100u, 127u, 128u, 129u, 130u, 200u}) out.emplace_back(s, s, s);
    return out;
}

// The documented edge shapes, and the tall-thin and short-wide products of fitting.
std::vector<Shape> edge_shapes() {
    return {{1, 1, 1},   {2, 3, 4},     {5, 2, 4},    {3, 3, 1},    {3, 100, 3},
            {100, 3, 1}, {3, 1, 1},     {16, 200, 16}, {200, 16, 1}, {16, 301, 16},
            {301, 16, 1}, {1, 150, 1},  {150, 1, 150}, {64, 65, 64}, {66, 1, 66}};
}

std::vector<Shape> random_shapes() {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<std::size_t> side(1, 140);
    std::vector<Shape> out;
    for (int i = 0; i < 24; ++i) out.emplace_back(side(rng), side(rng), side(rng));
    return out;
}

INSTANTIATE_TEST_SUITE_P(Square, MultShapes, ::testing::ValuesIn(square_shapes()));
INSTANTIATE_TEST_SUITE_P(Edge, MultShapes, ::testing::ValuesIn(edge_shapes()));
INSTANTIATE_TEST_SUITE_P(Random, MultShapes, ::testing::ValuesIn(random_shapes()));

TEST(Mult, NonConformableOperandsFault) {
    const Matrix a(Buffer(6, 1.0), 2, 3), b(Buffer(6, 1.0), 2, 3);
    expect_fault([&] { strassen::mult(a, b); }, "Matrix sizes do not match");
    expect_fault([&] { strassen::mult_dense(a, b); }, "Matrix sizes do not match");
    expect_fault([&] { strassen::naive_mult(a, b); }, "Matrix sizes do not match");
}

// Sums start at +0.0, so zero results are +0.0 even when every term is -0.0.
TEST(Mult, NoNegativeZeroAtSmallSides) {
    for (std::size_t s : {1u, 2u, 3u, 17u, 63u, 64u}) {
        const Matrix a(Buffer(s * s, -0.0), s, s), b(Buffer(s * s, 1.0), s, s);
        for (const Matrix& c :
             {strassen::mult(a, b), strassen::mult_dense(a, b), strassen::naive_mult(a, b)})
            for (double x : c.data) EXPECT_EQ(std::bit_cast<std::uint64_t>(x), 0u) << "side " << s;
    }
}

// One infinite element: the schoolbook product keeps the other rows finite,
// while Strassen's operands (A11 + A22 into M1, A11 times the zero B12 - B22
// into M3) spread Inf and NaN into C22.
TEST(Mult, InfiniteElementGivesStrassenNaN) {
    const std::size_t n = 66, h = 33;
    Dense a{n, n, std::vector<double>(n * n, 1.0)}, b = a;
    a.v[0] = std::numeric_limits<double>::infinity();
    const Matrix c = strassen::mult(to_matrix(a), to_matrix(b));
    EXPECT_TRUE(same_bits(c, strassen_ref(a, b)));
    const Dense s = school(a, b);
    EXPECT_EQ(s.at(h, h), 66.0);
    EXPECT_TRUE(std::isnan(c(h, h)));
}

}  // namespace
