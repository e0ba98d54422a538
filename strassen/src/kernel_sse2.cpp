// The schoolbook kernel with 128-bit SSE2 vectors, which every x86-64 has. kernel_body.hpp has
// the code, kernel.hpp the contract.
#include <cstddef>
#include <utility>

#include "strassen/kernel.hpp"

// 4 x 2 vectors keep 8 accumulators, two vectors of b's row, a broadcast and
// a product in 12 of the 16 xmm registers (SSE's two-operand multiply needs
// the copy).
#define KERNEL_VECTOR_BYTES 16
#define KERNEL_ISA KernelIsa::sse2
#include "kernel_body.hpp"

namespace strassen::detail {

void kernel_mult_sse2(const double* a, size_t a_row, size_t a_depth, const double* b,
                      size_t ldb, double* c, size_t ldc, size_t m, size_t n, size_t k) {
    run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

void sum_elements_sse2(double* out, size_t ldo, const double* x, size_t ldx, const double* y,
                       size_t ldy, size_t rows, size_t cols, bool subtract) {
    sum_elements_here(out, ldo, x, ldx, y, ldy, rows, cols, subtract);
}

}  // namespace strassen::detail
