#include "strassen/matrix.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "strassen/fault.hpp"
#include "strassen/kernel.hpp"

namespace strassen {

namespace detail {

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    // Only whole huge pages inside the buffer; the advice is a hint, so its
    // failure (no transparent huge pages here) changes nothing.
    auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t end = (begin + bytes) & ~(HUGE_PAGE_BYTES - 1);
    begin = (begin + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace detail

Matrix::Matrix(Buffer data_, std::size_t rows_, std::size_t cols_)
    : data(std::move(data_)), rows(rows_), cols(cols_), size(rows_ * cols_) {
    if (rows == 0 || cols == 0) {
        Buffer().swap(data);  // the sequence is released, not kept by the exception
        fault("cannot create a null matrix");
    }
}

namespace {

void check_same_shape(const Matrix& a, const Matrix& b) {
    if (a.rows != b.rows || a.cols != b.cols) {
        fault("matrices are not the same size! A: [" + std::to_string(a.rows) + ", " +
              std::to_string(a.cols) + "], B: [" + std::to_string(b.rows) + ", " +
              std::to_string(b.cols) + "]");
    }
}

}  // namespace

Matrix& Matrix::add(const Matrix& other) {
    check_same_shape(*this, other);
    detail::sum_elements(data.data(), size, data.data(), size, other.data.data(), size, 1, size,
                         false);
    return *this;
}

Matrix& Matrix::sub(const Matrix& other) {
    check_same_shape(*this, other);
    detail::sum_elements(data.data(), size, data.data(), size, other.data.data(), size, 1, size,
                         true);
    return *this;
}

Matrix Matrix::transpose() const {
    Buffer out;
    out.resize(size);
    double* o = out.data();
    const double* s = data.data();
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r) *o++ = s[r * cols + c];
    return Matrix(std::move(out), cols, rows);
}

Matrix Matrix::pad(std::size_t n) const {
    if (rows >= n && cols >= n) return *this;
    // Padding can only grow a matrix; a side between the two dimensions has no
    // meaning here and would overrun the result buffer.
    if (rows > n || cols > n) fault("cannot pad a matrix to a side smaller than itself");
    Buffer out;
    out.resize(n * n);
    double* o = out.data();
    const double* s = data.data();
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) *o++ = s[r * cols + c];
        for (std::size_t c = cols; c < n; ++c) *o++ = 0.0;
    }
    for (std::size_t i = rows * n; i < n * n; ++i) *o++ = 0.0;
    return Matrix(std::move(out), n, n);
}

Matrix Matrix::reduce(std::size_t rows_, std::size_t cols_) const {
    if (rows < rows_ || cols < cols_) fault("Tried to reduce self to larger dimensions");
    Buffer out;
    out.resize(rows_ * cols_);
    double* o = out.data();
    const double* s = data.data();
    for (std::size_t r = 0; r < rows_; ++r)
        for (std::size_t c = 0; c < cols_; ++c) *o++ = s[r * cols + c];
    return Matrix(std::move(out), rows_, cols_);
}

}  // namespace strassen
