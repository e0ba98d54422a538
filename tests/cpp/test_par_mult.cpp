// The parallel product equals the sequential one bit for bit, and its slot
// checks report a failed job with the documented texts.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "strassen/fault.hpp"
#include "strassen/matrix.hpp"
#include "strassen/mult.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/par_mult_jobs.hpp"
#include "support.hpp"

using strassen::Buffer;
using strassen::Fault;
using strassen::Matrix;
using strassen::ProductSlot;

namespace {

Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-20, 20), kind(0, 9);
    Buffer v(rows * cols);
    for (double& x : v) {
        const int k = kind(rng);
        x = k == 0 ? 0.0 : k == 1 ? -0.0 : std::ldexp(mant(rng), expo(rng));
    }
    return Matrix(std::move(v), rows, cols);
}

using test_support::same_bits;

using test_support::expect_fault;

using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;

class ParMultShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(ParMultShapes, EqualsMultAndRepeats) {
    const auto [m, k, n] = GetParam();
    std::mt19937_64 rng(m * 7919 + k * 104729 + n);
    const Matrix a = random_matrix(m, k, rng), b = random_matrix(k, n, rng);
    const Matrix want = strassen::mult(a, b);
    const Matrix first = strassen::par_mult(a, b);
    EXPECT_TRUE(same_bits(first, want));
    EXPECT_TRUE(same_bits(strassen::par_mult_dense(a, b), want));
    EXPECT_TRUE(same_bits(strassen::par_mult(a, b), first));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ParMultShapes,
    ::testing::Values(Shape{1, 1, 1}, Shape{2, 2, 2}, Shape{63, 63, 63}, Shape{64, 64, 64},
                      Shape{65, 65, 65}, Shape{66, 66, 66}, Shape{100, 100, 100},
                      Shape{127, 127, 127}, Shape{128, 128, 128}, Shape{129, 129, 129},
                      Shape{130, 130, 130}, Shape{200, 200, 200}, Shape{3, 100, 3},
                      Shape{100, 3, 1}, Shape{3, 1, 1}, Shape{2, 3, 4}, Shape{16, 301, 16},
                      Shape{301, 16, 1}, Shape{77, 131, 5}, Shape{140, 9, 97}));

TEST(ParMult, NonConformableOperandsFault) {
    const Matrix a(Buffer(6, 1.0), 2, 3), b(Buffer(6, 1.0), 2, 3);
    expect_fault([&] { strassen::par_mult(a, b); }, "Matrix sizes do not match");
    expect_fault([&] { strassen::par_mult_dense(a, b); }, "Matrix sizes do not match");
}

TEST(ParMult, InfiniteElementMatchesMult) {
    Matrix a(Buffer(130 * 130, 1.0), 130, 130);
    const Matrix b = a;
    a.data[65 * 130 + 3] = -std::numeric_limits<double>::infinity();
    const Matrix want = strassen::mult(a, b);
    EXPECT_TRUE(same_bits(strassen::par_mult(a, b), want));
    EXPECT_TRUE(same_bits(strassen::par_mult_dense(a, b), want));
}

// A slot whose holder failed while storing.
std::shared_ptr<ProductSlot> broken_slot() {
    auto slot = std::make_shared<ProductSlot>();
    std::thread([&] {
        try {
            auto guard = slot->lock.lock();
            throw std::runtime_error("failed while storing");
        } catch (const std::runtime_error&) {
        }
    }).join();
    return slot;
}

TEST(ProductSlot, TakeChecksHolderThenBrokenThenEmpty) {
    const std::string none = "called `Option::unwrap()` on a `None` value";
    const std::string err = "called `Result::unwrap()` on an `Err` value";

    auto shared = broken_slot();
    auto other = shared;  // a job that never let go
    expect_fault([&] { strassen::detail::take_product(shared); }, none);
    other.reset();
    expect_fault([&] { strassen::detail::take_product(shared); }, err);

    auto empty = std::make_shared<ProductSlot>();
    expect_fault([&] { strassen::detail::take_product(empty); }, none);

    auto full = std::make_shared<ProductSlot>();
    full->product.emplace(Buffer{2.5}, 1, 1);
    EXPECT_EQ(strassen::detail::take_product(full).data[0], 2.5);
}

TEST(ProductJob, StoresTheSequentialProduct) {
    std::mt19937_64 rng(5);
    const std::size_t h = 67;
    const Matrix l = random_matrix(h, h, rng), r = random_matrix(h, h, rng);
    auto slot = std::make_shared<ProductSlot>();
    strassen::product_job({l.data, r.data, h, slot});
    EXPECT_TRUE(same_bits(strassen::detail::take_product(slot), strassen::mult_dense(l, r)));
}

TEST(ProductJob, BrokenSlotFaultsAndStaysEmpty) {
    auto slot = broken_slot();
    expect_fault([&] { strassen::product_job({Buffer{1.0}, Buffer{2.0}, 1, slot}); },
                 "called `Result::unwrap()` on an `Err` value");
    EXPECT_FALSE(slot->product.has_value());
}

}  // namespace

// A job that ran out of memory leaves its slot empty; the caller must report
// a lack of memory, not a missing product.
TEST(ProductSlot, EmptyAfterOutOfMemoryThrowsBadAlloc) {
    auto slot = std::make_shared<strassen::ProductSlot>();
    slot->out_of_memory = true;
    EXPECT_THROW(strassen::detail::take_product(slot), std::bad_alloc);
}
