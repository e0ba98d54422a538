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

bool kernel_supported(KernelIsa isa) {
    // Needed when this runs before libgcc's own constructor has filled in the
    // feature bits (a static initialiser elsewhere may be the first caller).
    __builtin_cpu_init();
    switch (isa) {
        case KernelIsa::scalar:
        case KernelIsa::sse2:
            return true;
        // libgcc reports these only when the OS also saves the wider registers.
        case KernelIsa::avx2:
            return __builtin_cpu_supports("avx2");
        case KernelIsa::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

}  // namespace detail

namespace {

struct Choice {
    detail::KernelIsa isa;
    KernelFn fn;
};

Choice choose() {
    using detail::KernelIsa;
    if (detail::kernel_supported(KernelIsa::avx512))
        return {KernelIsa::avx512, detail::kernel_mult_avx512};
    if (detail::kernel_supported(KernelIsa::avx2))
        return {KernelIsa::avx2, detail::kernel_mult_avx2};
    return {KernelIsa::sse2, detail::kernel_mult_sse2};
}

// Made once, on first use; the language makes that initialisation thread-safe,
// and afterwards every call only reads it.
const Choice& chosen() {
    static const Choice choice = choose();
    return choice;
}

}  // namespace

namespace detail {

KernelIsa kernel_selected() { return chosen().isa; }

}  // namespace detail

void kernel_mult(const double* a, std::size_t lda, const double* b, std::size_t ldb, double* c,
                 std::size_t ldc, std::size_t m, std::size_t n, std::size_t k) {
    if (m == 0 || n == 0) return;
    chosen().fn(a, lda, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen
