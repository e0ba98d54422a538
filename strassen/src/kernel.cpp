#include "strassen/kernel.hpp"

#include <algorithm>
#include <limits>

#include "strassen/row_dots.hpp"

namespace strassen {

namespace detail {

// Assumptions: row-major operands, c disjoint from a and b, k possibly 0.
// Each c(i, j) is one left-to-right sum from +0.0; the multiply and the add are
// separate roundings (the build forbids contraction into FMA).
void kernel_mult_scalar(const double* a, std::size_t a_row, std::size_t a_depth, const double* b,
                        std::size_t ldb, double* c, std::size_t ldc, std::size_t m, std::size_t n,
                        std::size_t k) {
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t p = 0; p < k; ++p) s = s + a[i * a_row + p * a_depth] * b[p * ldb + j];
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
    detail::SumFn sums;
};

Choice choose() {
    using detail::KernelIsa;
    if (detail::kernel_supported(KernelIsa::avx512))
        return {KernelIsa::avx512, detail::kernel_mult_avx512, detail::sum_elements_avx512};
    if (detail::kernel_supported(KernelIsa::avx2))
        return {KernelIsa::avx2, detail::kernel_mult_avx2, detail::sum_elements_avx2};
    return {KernelIsa::sse2, detail::kernel_mult_sse2, detail::sum_elements_sse2};
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

void sum_elements(double* out, std::size_t ldo, const double* x, std::size_t ldx, const double* y,
                  std::size_t ldy, std::size_t rows, std::size_t cols, bool subtract) {
    chosen().sums(out, ldo, x, ldx, y, ldy, rows, cols, subtract);
}

}  // namespace detail

namespace {

// The longest column the one-column path copies onto the stack; the leaves'
// columns are at most NAIVE_THRESHOLD long.
constexpr std::size_t COLUMN_COPY = 256;

// Assumptions: n == 1, k <= COLUMN_COPY, a row-dots variant exists. Each
// c(i, 0) is row i of a times the column, the contract's left-to-right sum,
// one row per vector lane; the rows past the last block of eight go through
// the chosen kernel, which sums them the same way.
void one_column(detail::RowDotsFn dots, const double* a, std::size_t lda, const double* b,
                std::size_t ldb, double* c, std::size_t ldc, std::size_t m, std::size_t k) {
    double column[COLUMN_COPY];
    for (std::size_t p = 0; p < k; ++p) column[p] = b[p * ldb];
    constexpr std::size_t BLOCK = detail::ROW_DOTS_BLOCK;
    // The unchecked variant: no verdict is needed here.
    const double unbounded = std::numeric_limits<double>::infinity();
    std::size_t i = 0;
    for (; i + BLOCK <= m; i += BLOCK) {
        double out[BLOCK];
        dots(reinterpret_cast<const char*>(a + i * lda),
             static_cast<std::ptrdiff_t>(lda * sizeof(double)), k, column, unbounded, out);
        for (std::size_t r = 0; r < BLOCK; ++r) c[(i + r) * ldc] = out[r];
    }
    if (i < m) chosen().fn(a + i * lda, lda, 1, b, ldb, c + i * ldc, ldc, m - i, 1, k);
}

}  // namespace

void kernel_mult(const double* a, std::size_t lda, const double* b, std::size_t ldb, double* c,
                 std::size_t ldc, std::size_t m, std::size_t n, std::size_t k) {
    kernel_mult_strided(a, lda, 1, b, ldb, c, ldc, m, n, k);
}

void kernel_mult_strided(const double* a, std::size_t a_row, std::size_t a_depth, const double* b,
                         std::size_t ldb, double* c, std::size_t ldc, std::size_t m, std::size_t n,
                         std::size_t k) {
    if (m == 0 || n == 0) return;
    // A single column leaves the register blocks' lanes all but one idle: the
    // rows go across the lanes instead. So does a last column alone in an
    // AVX-512 register block (leaves of 41, 49 and 57): 41³ 0.92x, 49³ 0.94x
    // as long on a Zen 4 EPYC; with AVX2's blocks of the same width that
    // split measured no gain on an earlier EPYC.
    const detail::KernelIsa isa = chosen().isa;
    const std::size_t width =
        isa == detail::KernelIsa::avx512 ? detail::kernel_cols(isa) : 0;
    const bool lone_last = n == 1 || (width != 0 && n % width == 1);
    if (lone_last && a_depth == 1 && m >= detail::ROW_DOTS_BLOCK && k <= COLUMN_COPY)
        if (const detail::RowDotsFn dots = detail::row_dots_kernel(false)) {
            if (n > 1) chosen().fn(a, a_row, a_depth, b, ldb, c, ldc, m, n - 1, k);
            return one_column(dots, a, a_row, b + n - 1, ldb, c + n - 1, ldc, m, k);
        }
    chosen().fn(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen
