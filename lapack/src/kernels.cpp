// The choice of kernel variant, made once from the CPU's features.
#include "kernels.hpp"

namespace bravolin::lapack::detail {

bool isa_supported(Isa isa) {
    // Needed when this runs before libgcc's own constructor has filled in the
    // feature bits (a static initialiser elsewhere may be the first caller).
    __builtin_cpu_init();
    switch (isa) {
        case Isa::baseline:
            return true;
        // libgcc reports AVX2 only when the OS also saves the wider registers.
        case Isa::avx2:
            return __builtin_cpu_supports("avx2");
    }
    return false;
}

void getri_sweep_prepare(int n, double* a, int lda, double* temps, double* work) {
    // The reference leaves work holding L's column 0, copied at its last step.
    for (int l = 1; l < n; ++l) work[l] = at(a, lda, l, 0);
    // L's column j is read by the reference before its step j zeroes it, and
    // nothing changes it before: reading all of L first reads the same values.
    for (int j = 0; j + 1 < n; ++j) {
        double* tj = temps + sweep_column_start(n, j) - (j + 1);
        double* lj = column(a, lda, 0, j);
        for (int l = j + 1; l < n; ++l) {
            tj[l] = -1.0 * lj[l];  // DGEMV's temp = alpha·x(l), alpha = -1
            lj[l] = 0.0;
        }
    }
}

const Kernels& kernels_for(Isa isa) {
    return isa == Isa::avx2 ? kernels_avx2() : kernels_baseline();
}

const Kernels& kernels() {
    // Made once, on first use; the language makes that initialisation
    // thread-safe, and afterwards every call only reads it.
    static const Kernels& chosen =
        kernels_for(isa_supported(Isa::avx2) ? Isa::avx2 : Isa::baseline);
    return chosen;
}

}  // namespace bravolin::lapack::detail
