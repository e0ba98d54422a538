// A read-only view of a matrix of doubles that lies anywhere in memory.
#pragma once

#include <cstddef>
#include <cstring>

#include "strassen/matrix.hpp"

namespace strassen {

// Element (i, j) lies at data + i * row_stride + j * col_stride (strides in
// bytes, any sign, not necessarily multiples of 8: the element need not be
// aligned). The viewer neither owns nor changes the memory; whoever made the
// view keeps it alive and unchanged while the view is in use.
struct MatrixView {
    const char* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double operator()(std::size_t i, std::size_t j) const noexcept {
        double v;
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(i) * row_stride +
                        static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof v);
        return v;
    }

    static MatrixView of(const Matrix& m) noexcept {
        return {reinterpret_cast<const char*>(m.data.data()),
                static_cast<std::ptrdiff_t>(m.cols * sizeof(double)),
                static_cast<std::ptrdiff_t>(sizeof(double)), m.rows, m.cols};
    }
};

}  // namespace strassen
