// The schoolbook kernel: every product in the library ends here.
//
// Contract (all variants, bit for bit identical):
//   for i in [0, m), j in [0, n):
//     s = +0.0
//     for p in [0, k) ascending:  s = s + (a(i, p) * b[p*ldb + j])
//     c[i*ldc + j] = s
// with a(i, p) = a[i*lda + p] for kernel_mult, a[i*a_row + p*a_depth] for
// the variants and kernel_mult_strided.
// Each product is rounded to double before it is added, there is no fused
// multiply-add, and no sum is split or reordered. k may be 0 (every output is
// +0.0). b and c are row-major with the given leading dimensions (in
// elements), a row-major or, with a_row = 1, column-major; c must not overlap
// a or b.
//
// The vector variants run one output element per lane: a lane performs exactly
// the scalar loop's multiplications and additions, in the same order, so the
// variants differ in speed only. Nothing outside a, b and c's m x k, k x n and
// m x n extents is read or written.
#pragma once

#include <cstddef>

namespace strassen {

using KernelFn = void (*)(const double* a, std::size_t a_row, std::size_t a_depth,
                          const double* b, std::size_t ldb, double* c, std::size_t ldc,
                          std::size_t m, std::size_t n, std::size_t k);

// The variant chosen once from the CPU's features at first use (thread-safe).
void kernel_mult(const double* a, std::size_t lda, const double* b, std::size_t ldb, double* c,
                 std::size_t ldc, std::size_t m, std::size_t n, std::size_t k);

// The same with a read through two strides. A tall product keeps its block of
// rows once, row-major, and reads it as the transposed left factor too.
void kernel_mult_strided(const double* a, std::size_t a_row, std::size_t a_depth,
                         const double* b, std::size_t ldb, double* c, std::size_t ldc,
                         std::size_t m, std::size_t n, std::size_t k);

namespace detail {

// Instruction sets the kernel is built for, in increasing order of preference.
enum class KernelIsa { scalar, sse2, avx2, avx512 };

// Each variant's register block (kernel_body.hpp), rows by columns of c. A
// caller that cuts c into strips (the tall products' symmetric leaves) cuts
// at its height, so that no block is left a few rows short.
inline constexpr std::size_t KERNEL_BLOCK_ROWS[] = {1, 4, 6, 16};
inline constexpr std::size_t KERNEL_BLOCK_COLS[] = {1, 4, 8, 8};
constexpr std::size_t kernel_rows(KernelIsa isa) noexcept {
    return KERNEL_BLOCK_ROWS[static_cast<std::size_t>(isa)];
}
constexpr std::size_t kernel_cols(KernelIsa isa) noexcept {
    return KERNEL_BLOCK_COLS[static_cast<std::size_t>(isa)];
}

// The plain scalar loop: the reference every other variant must equal.
void kernel_mult_scalar(const double* a, std::size_t a_row, std::size_t a_depth,
                        const double* b, std::size_t ldb, double* c, std::size_t ldc,
                        std::size_t m, std::size_t n, std::size_t k);

// SSE2 is part of every x86-64, so this variant runs anywhere.
void kernel_mult_sse2(const double* a, std::size_t a_row, std::size_t a_depth,
                      const double* b, std::size_t ldb, double* c, std::size_t ldc,
                      std::size_t m, std::size_t n, std::size_t k);

// Only on a CPU for which kernel_supported(KernelIsa::avx2) holds.
void kernel_mult_avx2(const double* a, std::size_t a_row, std::size_t a_depth,
                      const double* b, std::size_t ldb, double* c, std::size_t ldc,
                      std::size_t m, std::size_t n, std::size_t k);

// Only on a CPU for which kernel_supported(KernelIsa::avx512) holds (AVX-512F).
void kernel_mult_avx512(const double* a, std::size_t a_row, std::size_t a_depth,
                        const double* b, std::size_t ldb, double* c, std::size_t ldc,
                        std::size_t m, std::size_t n, std::size_t k);

// out = x + y, or x - y when `subtract`, element by element over rows x cols
// (row strides ldo, ldx, ldy): the one IEEE operation of the scalar loop per
// element, in every variant. A null x or y stands for +0.0 and is still
// added (so -0.0 + absent is +0.0). out may be x or y, with the same stride.
// The variant is the one the kernel runs.
using SumFn = void (*)(double* out, std::size_t ldo, const double* x, std::size_t ldx,
                       const double* y, std::size_t ldy, std::size_t rows, std::size_t cols,
                       bool subtract);
void sum_elements(double* out, std::size_t ldo, const double* x, std::size_t ldx, const double* y,
                  std::size_t ldy, std::size_t rows, std::size_t cols, bool subtract);
void sum_elements_sse2(double* out, std::size_t ldo, const double* x, std::size_t ldx,
                       const double* y, std::size_t ldy, std::size_t rows, std::size_t cols,
                       bool subtract);
void sum_elements_avx2(double* out, std::size_t ldo, const double* x, std::size_t ldx,
                       const double* y, std::size_t ldy, std::size_t rows, std::size_t cols,
                       bool subtract);
void sum_elements_avx512(double* out, std::size_t ldo, const double* x, std::size_t ldx,
                         const double* y, std::size_t ldy, std::size_t rows, std::size_t cols,
                         bool subtract);

// Whether this CPU (and the operating system's saved register state) can run
// the variant.
bool kernel_supported(KernelIsa isa);

// The variant kernel_mult runs: the most preferred supported one.
KernelIsa kernel_selected();

}  // namespace detail

}  // namespace strassen
