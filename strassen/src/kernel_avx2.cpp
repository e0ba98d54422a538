// The schoolbook kernel with 256-bit AVX2 vectors. kernel_body.hpp has
// the code, kernel.hpp the contract.
//
// The target is switched on only after every include, so that library code
// (inline functions, templates) is never compiled for AVX2 and shared with
// other translation units; this variant runs only once kernel_supported has
// seen the CPU support it.
#include <cstddef>
#include <utility>

#include "strassen/kernel.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

// 6 x 2 vectors keep 12 accumulators, two vectors of b's row and a broadcast
// in the 16 ymm registers; 8 columns divide the usual width of 64.
#define KERNEL_VECTOR_BYTES 32
#define KERNEL_ISA KernelIsa::avx2
#include "kernel_body.hpp"

namespace strassen::detail {

void kernel_mult_avx2(const double* a, size_t a_row, size_t a_depth, const double* b,
                      size_t ldb, double* c, size_t ldc, size_t m, size_t n, size_t k) {
    run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

void sum_elements_avx2(double* out, size_t ldo, const double* x, size_t ldx, const double* y,
                       size_t ldy, size_t rows, size_t cols, bool subtract) {
    sum_elements_here(out, ldo, x, ldx, y, ldy, rows, cols, subtract);
}

}  // namespace strassen::detail

#pragma GCC pop_options
