#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "strassen/fault.hpp"
#include "strassen/matrix.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Fault;
using strassen::Matrix;

namespace {

Matrix make(std::size_t rows, std::size_t cols, std::initializer_list<double> values) {
    return Matrix(Buffer(values.begin(), values.end()), rows, cols);
}

using test_support::expect_fault;

using test_support::same_bits;

}  // namespace

TEST(Matrix, NullShapesFault) {
    expect_fault([] { Matrix(Buffer(5, 1.0), 0, 5); }, "cannot create a null matrix");
    expect_fault([] { Matrix(Buffer(5, 1.0), 5, 0); }, "cannot create a null matrix");
}

TEST(Matrix, ConstructorKeepsShapeAndSize) {
    Matrix m = make(2, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(m.rows, 2u);
    EXPECT_EQ(m.cols, 3u);
    EXPECT_EQ(m.size, 6u);
    EXPECT_EQ(m(1, 2), 6.0);
}

TEST(Matrix, CopyIsDeep) {
    Matrix a = make(1, 2, {1, 2});
    Matrix b = a;
    b.data[0] = 9;
    EXPECT_EQ(a.data[0], 1.0);
    EXPECT_EQ(b.size, 2u);
}

struct ShapeCase {
    std::size_t ar, ac, br, bc;
    bool subtract;
    const char* text;
};

class MatrixShapeMismatch : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(MatrixShapeMismatch, FaultsAndLeavesOperandsUnchanged) {
    const ShapeCase& c = GetParam();
    Matrix a(Buffer(c.ar * c.ac, 1.5), c.ar, c.ac);
    Matrix b(Buffer(c.br * c.bc, 2.5), c.br, c.bc);
    const Matrix a0 = a, b0 = b;
    expect_fault([&] { c.subtract ? a.sub(b) : a.add(b); }, c.text);
    EXPECT_TRUE(same_bits(a, a0));
    EXPECT_TRUE(same_bits(b, b0));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MatrixShapeMismatch,
    ::testing::Values(
        ShapeCase{2, 3, 3, 2, false, "matrices are not the same size! A: [2, 3], B: [3, 2]"},
        ShapeCase{3, 2, 2, 3, true, "matrices are not the same size! A: [3, 2], B: [2, 3]"},
        ShapeCase{10, 1, 1, 100, false, "matrices are not the same size! A: [10, 1], B: [1, 100]"}));

TEST(Matrix, AddAndSubInPlace) {
    Matrix a = make(1, 1, {5});
    a.sub(make(1, 1, {2}));
    EXPECT_EQ(a.data[0], 3.0);
    Matrix b = make(2, 2, {1, 2, 3, 4});
    Matrix& r = b.add(make(2, 2, {0.5, -2, 1e16, 0}));
    EXPECT_EQ(&r, &b);
    EXPECT_EQ(b.data[0], 1.5);
    EXPECT_EQ(b.data[1], 0.0);
    EXPECT_FALSE(std::signbit(b.data[1]));
    EXPECT_EQ(b.data[2], 3.0 + 1e16);  // one rounding per element
}

TEST(Matrix, Transpose) {
    Matrix row = make(1, 4, {1, 2, 3, 4});
    Matrix col = row.transpose();
    EXPECT_EQ(col.rows, 4u);
    EXPECT_EQ(col.cols, 1u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(col.data[i], row.data[i]);
    Matrix m = make(2, 3, {1, 2, 3, 4, 5, 6});
    Matrix t = m.transpose();
    ASSERT_EQ(t.rows, 3u);
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(t(c, r), m(r, c));
    Matrix one = make(1, 1, {7});
    EXPECT_TRUE(same_bits(one.transpose(), one));
}

TEST(Matrix, PadPlacesSourceTopLeftWithPositiveZeros) {
    Matrix m = make(3, 2, {1, 2, 3, 4, 5, 6});
    Matrix p = m.pad(4);
    Matrix expected = make(4, 4, {1, 2, 0, 0, 3, 4, 0, 0, 5, 6, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(same_bits(p, expected));
    Matrix sq = make(2, 2, {1, -0.0, 3, 4});
    EXPECT_TRUE(same_bits(sq.pad(2), sq));
    EXPECT_TRUE(same_bits(make(1, 1, {-2}).pad(2), make(2, 2, {-2, 0, 0, 0})));
}

TEST(Matrix, Reduce) {
    Matrix m(Buffer(16), 4, 4);
    for (std::size_t i = 0; i < 16; ++i) m.data[i] = static_cast<double>(i);
    EXPECT_TRUE(same_bits(m.reduce(3, 2), make(3, 2, {0, 1, 4, 5, 8, 9})));
    EXPECT_TRUE(same_bits(m.reduce(4, 4), m));
    EXPECT_TRUE(same_bits(m.reduce(1, 1), make(1, 1, {0})));
}

TEST(Matrix, ReduceFaults) {
    Matrix m(Buffer(6, 1.0), 2, 3);
    expect_fault([&] { m.reduce(3, 3); }, "Tried to reduce self to larger dimensions");
    expect_fault([&] { m.reduce(2, 4); }, "Tried to reduce self to larger dimensions");
    expect_fault([&] { m.reduce(0, 2); }, "cannot create a null matrix");
    expect_fault([&] { m.reduce(2, 0); }, "cannot create a null matrix");
}

// Large buffers are advised to use huge pages; small ones are not. Both must
// round-trip through copy, growth and release (ASan checks the pairing).
TEST(Matrix, LargeAndSmallBuffersAllocateAndRelease) {
    for (std::size_t n : {std::size_t{3}, strassen::detail::LARGE_BUFFER_BYTES / 8 + 5}) {
        Buffer b;
        b.resize(n);
        for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<double>(i);
        Matrix m(std::move(b), 1, n);
        Matrix copy = m;
        copy.data.push_back(1.0);  // regrows through the same allocator
        EXPECT_EQ(copy.data[n - 1], static_cast<double>(n - 1));
        EXPECT_EQ(m.transpose().data[n - 1], static_cast<double>(n - 1));
    }
}
