// The schoolbook kernel with 512-bit AVX-512F vectors. kernel_body.hpp has
// the code, kernel.hpp the contract.
//
// The target is switched on only after every include, so that library code
// (inline functions, templates) is never compiled for AVX-512F and shared with
// other translation units; this variant runs only once kernel_supported has
// seen the CPU support it.
#include <cstddef>
#include <utility>

#include "strassen/kernel.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")

// 16 x 1 vectors keep 16 accumulators and one vector of b's row in 17 of the
// 32 zmm registers. Each a(i, p) then meets one multiply, which reads it as a
// broadcast memory operand: a CPU that runs a 512-bit operation as two
// halves (Zen 4) spends no vector operation on a broadcast register. There
// 40³ ran 1.32x as fast as with 8 x 2 vectors (bench/RESULTS.md). 16 rows
// and 8 columns divide the usual side of 64.
#define KERNEL_VECTOR_BYTES 64
#define KERNEL_ISA KernelIsa::avx512
#include "kernel_body.hpp"

namespace strassen::detail {

void kernel_mult_avx512(const double* a, size_t a_row, size_t a_depth, const double* b,
                        size_t ldb, double* c, size_t ldc, size_t m, size_t n, size_t k) {
    run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

void sum_elements_avx512(double* out, size_t ldo, const double* x, size_t ldx,
                         const double* y, size_t ldy, size_t rows, size_t cols, bool subtract) {
    sum_elements_here(out, ldo, x, ldx, y, ldy, rows, cols, subtract);
}

}  // namespace strassen::detail

#pragma GCC pop_options
