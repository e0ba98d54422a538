// Helpers shared by the library's GoogleTest files.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "strassen/fault.hpp"
#include "strassen/matrix.hpp"

namespace test_support {

// Runs `f`, expecting a strassen::Fault whose text is exactly `text`.
template <class F>
void expect_fault(F&& f, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "expected fault: " << text;
    } catch (const strassen::Fault& e) {
        EXPECT_EQ(e.message(), text);
    }
}

// [1 | x]: x with a leading column of ones, materialised.
inline strassen::Matrix with_ones(const strassen::Matrix& x) {
    strassen::Buffer v;
    for (std::size_t i = 0; i < x.rows; ++i) {
        v.push_back(1.0);
        for (std::size_t j = 0; j < x.cols; ++j) v.push_back(x(i, j));
    }
    return strassen::Matrix(std::move(v), x.rows, x.cols + 1);
}

// Element-wise bit equality, so that -0.0 vs +0.0 and NaN payloads count.
inline ::testing::AssertionResult same_bits(const double* got, const double* want,
                                            std::size_t count, std::size_t cols) {
    for (std::size_t i = 0; i < count; ++i)
        if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i]))
            return ::testing::AssertionFailure()
                   << "element (" << i / cols << ", " << i % cols << "): " << got[i]
                   << " != " << want[i];
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_bits(const strassen::Matrix& got,
                                            const strassen::Matrix& want) {
    if (got.rows != want.rows || got.cols != want.cols || got.size != want.size ||
        got.data.size() != want.data.size())
        return ::testing::AssertionFailure() << "shape " << got.rows << "x" << got.cols
                                             << " != " << want.rows << "x" << want.cols;
    return same_bits(got.data.data(), want.data.data(), got.size, got.cols);
}

}  // namespace test_support
