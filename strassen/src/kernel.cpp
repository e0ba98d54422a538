#include "strassen/kernel.hpp"

namespace strassen {

namespace detail {

// Assumptions: row-major operands, c disjoint from a and b, k possibly 0.
// Each c(i, j) is one left-to-right sum from +0.0; the multiply and the add are
// separate roundings (the build forbids contraction into FMA).
void kernel_mult_scalar(const double* a, std::size_t lda, const double* b, std::size_t ldb,
                        double* c, std::size_t ldc, std::size_t m, std::size_t n,
                        std::size_t k) {
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t p = 0; p < k; ++p) s = s + a[i * lda + p] * b[p * ldb + j];
            c[i * ldc + j] = s;
        }
    }
}

}  // namespace detail

void kernel_mult(const double* a, std::size_t lda, const double* b, std::size_t ldb, double* c,
                 std::size_t ldc, std::size_t m, std::size_t n, std::size_t k) {
    detail::kernel_mult_scalar(a, lda, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen
