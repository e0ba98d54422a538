// The reference BLAS routines behind the LAPACK port, in the variants it calls,
// apart from the hot ones, which kernels.hpp builds per instruction set.
// Each keeps the reference loop nest, its order of operations and its special
// cases (the alpha and beta shortcuts, and the skip of a zero multiplier in the
// triangular routines, which 3.11 no longer has in DGEMM and DGEMV): they
// decide where a NaN, an infinity or a -0.0 goes, so they are part of the bits.
//
// Assumptions for all: column-major storage, leading dimensions >= the row
// count, unit increments, sizes already checked by the caller (the BLAS
// argument errors cannot arise from the LAPACK routines that call these).
#pragma once

#include <cstddef>

namespace bravolin::lapack::detail {

enum class Diag { unit, non_unit };

// Element (i, j), 0-based, of a column-major matrix with leading dimension ld.
inline double& at(double* a, int ld, int i, int j) {
    return a[static_cast<std::ptrdiff_t>(i) + static_cast<std::ptrdiff_t>(j) * ld];
}
inline double at(const double* a, int ld, int i, int j) {
    return a[static_cast<std::ptrdiff_t>(i) + static_cast<std::ptrdiff_t>(j) * ld];
}
inline double* column(double* a, int ld, int i, int j) { return &at(a, ld, i, j); }

// B := 0 for m x n B: the alpha = 0 case of the triangular routines, which
// reads neither A nor B.
inline void zero_fill(int m, int n, double* b, int ldb) {
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < m; ++i) at(b, ldb, i, j) = 0.0;
    }
}

// IDAMAX: the 1-based index of the first element of largest magnitude (a NaN
// is never larger), 0 for n < 1.
int idamax(int n, const double* x);

// DSCAL: x := alpha·x.
void dscal(int n, double alpha, double* x);

// DSWAP: x <-> y.
void dswap(int n, double* x, double* y);

// DTRMV, upper, no transpose: x := A·x, A n x n.
void dtrmv_upper_n(Diag diag, int n, const double* a, int lda, double* x);

// DTRSM, right, lower, no transpose: B := alpha·B·A⁻¹, A n x n, B m x n.
void dtrsm_right_lower_n(Diag diag, int m, int n, double alpha, const double* a, int lda,
                         double* b, int ldb);

}  // namespace bravolin::lapack::detail
