// Ported from the reference BLAS (idamax, dscal, dswap, dtrmv, and the
// right-sided lower dtrsm of the blocked inversion). Indices are 0-based here;
// every loop runs in the reference's direction and every expression keeps its
// operand order, so that the rounding (and the sign and payload of a NaN) is
// the reference's. The reference's
// unrolling of dscal and dswap only regroups independent elements and is not
// repeated.
#include "blas.hpp"

#include <cmath>

namespace bravolin::lapack::detail {

int idamax(int n, const double* x) {
    if (n < 1) return 0;
    int index = 1;
    if (n == 1) return index;
    double largest = std::fabs(x[0]);
    for (int i = 1; i < n; ++i) {
        // Strictly greater: a tie keeps the first, and a NaN never wins.
        if (std::fabs(x[i]) > largest) {
            index = i + 1;
            largest = std::fabs(x[i]);
        }
    }
    return index;
}

void dscal(int n, double alpha, double* x) {
    for (int i = 0; i < n; ++i) x[i] = alpha * x[i];
}

void dswap(int n, double* x, double* y) {
    for (int i = 0; i < n; ++i) {
        const double t = x[i];
        x[i] = y[i];
        y[i] = t;
    }
}

void dtrmv_upper_n(Diag diag, int n, const double* a, int lda, double* x) {
    for (int j = 0; j < n; ++j) {
        if (x[j] != 0.0) {
            const double temp = x[j];
            for (int i = 0; i < j; ++i) x[i] = x[i] + temp * at(a, lda, i, j);
            if (diag == Diag::non_unit) x[j] = x[j] * at(a, lda, j, j);
        }
    }
}

void dtrsm_right_lower_n(Diag diag, int m, int n, double alpha, const double* a, int lda,
                         double* b, int ldb) {
    if (m == 0 || n == 0) return;
    if (alpha == 0.0) return zero_fill(m, n, b, ldb);
    for (int j = n - 1; j >= 0; --j) {
        double* bj = column(b, ldb, 0, j);
        if (alpha != 1.0) {
            for (int i = 0; i < m; ++i) bj[i] = alpha * bj[i];
        }
        for (int k = j + 1; k < n; ++k) {
            if (at(a, lda, k, j) != 0.0) {
                const double* bk = column(b, ldb, 0, k);
                for (int i = 0; i < m; ++i) bj[i] = bj[i] - at(a, lda, k, j) * bk[i];
            }
        }
        if (diag == Diag::non_unit) {
            const double temp = 1.0 / at(a, lda, j, j);
            for (int i = 0; i < m; ++i) bj[i] = temp * bj[i];
        }
    }
}

}  // namespace bravolin::lapack::detail
