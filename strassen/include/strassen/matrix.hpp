// Dense row-major matrix of IEEE doubles.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace strassen {

namespace detail {
// Buffers from this size up are advised to use huge pages where they cover
// whole ones: a fresh multi-megabyte buffer otherwise costs one page fault and
// one kernel page clear per 4 KiB, which dominates copying a large input. They
// come from the ordinary heap, not aligned to a huge page, so that repeated
// calls of one size reuse the memory the last one freed (as NumPy's arrays
// do) instead of faulting in fresh pages each time.
inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;
inline constexpr std::size_t LARGE_BUFFER_BYTES = std::size_t{4} << 20;
void advise_huge_pages(void* p, std::size_t bytes) noexcept;
}  // namespace detail

// An allocator whose value-initialisation leaves doubles uninitialised, so that
// a buffer can be sized once and then written element by element without a
// zero-fill pass first.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= detail::LARGE_BUFFER_BYTES) detail::advise_huge_pages(p, bytes);
        return p;
    }
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const DefaultInitAllocator&, const DefaultInitAllocator&) noexcept {
        return true;
    }
};

// Element storage. `resize` does not zero-fill; every writer writes each element.
using Buffer = std::vector<double, DefaultInitAllocator<double>>;

struct Matrix {
    Buffer data;       // element (r, c) at r * cols + c
    std::size_t rows;  // >= 1
    std::size_t cols;  // >= 1
    std::size_t size;  // rows * cols

    // Takes `data` over unchanged (callers hand exactly rows * cols elements).
    // Faults with "cannot create a null matrix" when rows or cols is 0.
    Matrix(Buffer data, std::size_t rows, std::size_t cols);

    Matrix(const Matrix&) = default;  // deep copy
    Matrix(Matrix&&) noexcept = default;
    Matrix& operator=(const Matrix&) = default;
    Matrix& operator=(Matrix&&) noexcept = default;

    double operator()(std::size_t r, std::size_t c) const { return data[r * cols + c]; }

    // this(i) += other(i) / this(i) -= other(i) for i ascending. Faults with
    // "matrices are not the same size! A: [r, c], B: [r, c]" on a shape
    // mismatch and then changes nothing.
    Matrix& add(const Matrix& other);
    Matrix& sub(const Matrix& other);

    Matrix transpose() const;

    // n x n with this matrix top-left and +0.0 elsewhere; a plain copy when
    // rows >= n and cols >= n. Callers pass n >= rows and n >= cols.
    Matrix pad(std::size_t n) const;

    // The top-left rows x cols block. Faults with "Tried to reduce self to
    // larger dimensions" (checked first) or "cannot create a null matrix".
    Matrix reduce(std::size_t rows, std::size_t cols) const;
};

}  // namespace strassen
