// The schoolbook kernel: every product in the library ends here.
//
// Contract (all variants, bit for bit identical):
//   for i in [0, m), j in [0, n):
//     s = +0.0
//     for p in [0, k) ascending:  s = s + (a[i*lda + p] * b[p*ldb + j])
//     c[i*ldc + j] = s
// Each product is rounded to double before it is added, there is no fused
// multiply-add, and no sum is split or reordered. k may be 0 (every output is
// +0.0). a, b and c are row-major with the given leading dimensions (in
// elements); c must not overlap a or b.
#pragma once

#include <cstddef>

namespace strassen {

using KernelFn = void (*)(const double* a, std::size_t lda, const double* b, std::size_t ldb,
                          double* c, std::size_t ldc, std::size_t m, std::size_t n,
                          std::size_t k);

// The variant chosen once from the CPU's features at first use.
void kernel_mult(const double* a, std::size_t lda, const double* b, std::size_t ldb, double* c,
                 std::size_t ldc, std::size_t m, std::size_t n, std::size_t k);

namespace detail {
// The plain scalar loop: the reference every other variant must equal.
void kernel_mult_scalar(const double* a, std::size_t lda, const double* b, std::size_t ldb,
                        double* c, std::size_t ldc, std::size_t m, std::size_t n,
                        std::size_t k);
}  // namespace detail

}  // namespace strassen
