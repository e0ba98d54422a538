#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "strassen/row_dots.hpp"

using strassen::detail::ROW_DOTS_BLOCK;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// The contract's loop, written out: each row's sum from +0.0, left to right.
double reference(const char* row, std::size_t cols, const double* w) {
    double s = 0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        double v;
        std::memcpy(&v, row + j * sizeof(double), sizeof v);
        s = s + v * w[j];
    }
    return s;
}

// Eight rows of `cols` values, `stride` bytes apart, starting `shift` bytes
// into the buffer (so rows may be misaligned), with values of very different
// magnitudes so that any change of order changes the rounding.
struct Block {
    std::vector<char> bytes;
    std::ptrdiff_t stride;
    const char* first() const { return bytes.data() + 3; }
    char* at(std::size_t r, std::size_t j) {
        return bytes.data() + 3 + static_cast<std::ptrdiff_t>(r) * stride +
               static_cast<std::ptrdiff_t>(j * sizeof(double));
    }
    void set(std::size_t r, std::size_t j, double v) { std::memcpy(at(r, j), &v, sizeof v); }
};

Block make_block(std::size_t cols, std::size_t pad, std::mt19937_64& rng) {
    Block b;
    b.stride = static_cast<std::ptrdiff_t>((cols + pad) * sizeof(double));
    b.bytes.assign(static_cast<std::size_t>(b.stride) * ROW_DOTS_BLOCK + 16, 0);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> e(-30, 30);
    for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
        for (std::size_t j = 0; j < cols; ++j) b.set(r, j, std::ldexp(u(rng), e(rng)));
    return b;
}

class RowDots : public testing::Test {
protected:
    void SetUp() override {
        if (strassen::detail::row_dots_kernel() == nullptr)
            GTEST_SKIP() << "no vector variant on this CPU";
    }
};

TEST_F(RowDots, EqualsTheLeftToRightSumForEveryWidth) {
    std::mt19937_64 rng(7);
    for (std::size_t cols = 0; cols <= 21; ++cols)
        for (std::size_t pad : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
            Block b = make_block(cols, pad, rng);
            std::vector<double> w(cols);
            for (double& x : w) x = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng), 7);
            for (const bool checked : {true, false}) {
                double out[ROW_DOTS_BLOCK];
                const bool outside = strassen::detail::row_dots_kernel(checked)(
                    b.first(), b.stride, cols, w.data(), 1e300, out);
                EXPECT_FALSE(outside);
                for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
                    EXPECT_EQ(bits(out[r]), bits(reference(b.at(r, 0), cols, w.data())))
                        << "cols " << cols << " pad " << pad << " row " << r << " " << checked;
            }
        }
}

// Rows of x +- y with terms of any widths and missing rows, against the
// operand formed element by element (+0.0 for what a term lacks) and then
// summed left to right.
TEST_F(RowDots, OfASumEqualTheFormedOperandsDots) {
    const auto pair = strassen::detail::row_dots_pair_kernel();
    ASSERT_NE(pair, nullptr);
    std::mt19937_64 rng(10);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> e(-30, 30);
    // One value in three a zero of either sign: past the narrower term the
    // kernel drops the +0.0 it would add, which changes only zeros' signs.
    std::size_t n = 0;
    const auto value = [&] {
        ++n;
        return n % 3 == 0 ? (n % 2 == 0 ? -0.0 : 0.0) : std::ldexp(u(rng), e(rng));
    };
    for (std::size_t x_cols = 0; x_cols <= 13; ++x_cols)
        for (std::size_t y_cols = 0; y_cols <= 13; ++y_cols)
            for (const bool subtract : {false, true}) {
                const std::size_t cols = std::max(x_cols, y_cols);
                std::vector<std::vector<double>> x(ROW_DOTS_BLOCK), y(ROW_DOTS_BLOCK);
                const double* x_rows[ROW_DOTS_BLOCK];
                const double* y_rows[ROW_DOTS_BLOCK];
                for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r) {
                    for (std::size_t j = 0; j < x_cols; ++j) x[r].push_back(value());
                    for (std::size_t j = 0; j < y_cols; ++j) y[r].push_back(value());
                    // Row 2 lacks its x, row 5 its y, row 7 both.
                    x_rows[r] = r == 2 || r == 7 ? nullptr : x[r].data();
                    y_rows[r] = r == 5 || r == 7 ? nullptr : y[r].data();
                }
                std::vector<double> w(cols + 4, 0.0);
                for (std::size_t j = 0; j < cols; ++j) w[j] = value();
                double out[ROW_DOTS_BLOCK];
                pair(x_rows, x_cols, y_rows, y_cols, subtract, w.data(), out);
                for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r) {
                    double s = 0.0;
                    for (std::size_t j = 0; j < cols; ++j) {
                        const double a = x_rows[r] != nullptr && j < x_cols ? x_rows[r][j] : 0.0;
                        const double b = y_rows[r] != nullptr && j < y_cols ? y_rows[r][j] : 0.0;
                        s = s + (subtract ? a - b : a + b) * w[j];
                    }
                    EXPECT_EQ(bits(out[r]), bits(s)) << x_cols << " " << y_cols << " "
                                                     << subtract << " row " << r;
                }
            }
}

TEST_F(RowDots, NegativeRowStride) {
    std::mt19937_64 rng(8);
    const std::size_t cols = 11;
    Block b = make_block(cols, 2, rng);
    std::vector<double> w(cols, 0.75);
    double out[ROW_DOTS_BLOCK];
    // The last row first, walking up.
    const char* last = b.at(ROW_DOTS_BLOCK - 1, 0);
    EXPECT_FALSE(strassen::detail::row_dots_kernel()(last, -b.stride, cols, w.data(), 1e300, out));
    for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
        EXPECT_EQ(bits(out[r]), bits(reference(b.at(ROW_DOTS_BLOCK - 1 - r, 0), cols, w.data())));
}

TEST_F(RowDots, ReportsAValueOutsideTheBoundWhereverItIs) {
    std::mt19937_64 rng(9);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t cols : {std::size_t{1}, std::size_t{4}, std::size_t{7}, std::size_t{12}})
        for (std::size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
            for (std::size_t j = 0; j < cols; ++j)
                for (double bad : {2.0, -2.0, nan, std::numeric_limits<double>::infinity()}) {
                    Block b = make_block(cols, 1, rng);
                    for (std::size_t rr = 0; rr < ROW_DOTS_BLOCK; ++rr)
                        for (std::size_t jj = 0; jj < cols; ++jj) b.set(rr, jj, 0.5);
                    std::vector<double> w(cols, 1.0);
                    double out[ROW_DOTS_BLOCK];
                    EXPECT_FALSE(strassen::detail::row_dots_kernel()(b.first(), b.stride, cols,
                                                                     w.data(), 1.0, out));
                    b.set(r, j, bad);
                    EXPECT_TRUE(strassen::detail::row_dots_kernel()(b.first(), b.stride, cols,
                                                                    w.data(), 1.0, out))
                        << "cols " << cols << " row " << r << " col " << j;
                }
}

}  // namespace
