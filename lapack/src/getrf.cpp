// DGETRF, DGETRF2 and DLASWP, ported from reference LAPACK 3.11. Indices are
// 0-based in the code and 1-based in ipiv and INFO, as LAPACK hands them out.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "blas.hpp"
#include "halves.hpp"
#include "kernels.hpp"
#include "lapack.hpp"

namespace bravolin::lapack {

namespace {

using detail::at;
using detail::Diag;

// ILAENV's block size for DGETRF in the reference build. The blocking decides
// which updates are grouped together, so it is part of the bits.
constexpr int GETRF_BLOCK = 64;

// A panel's factorisation costs about as much as the update of this many
// columns of the trailing matrix (its products are a third of a panel's
// update, its pivot searches and scalings run one column at a time).
constexpr int PANEL_COLUMNS = 64;

// DLAMCH('S'): the smallest normal double, whose reciprocal does not overflow.
// Pivots below it are divided by instead of multiplied by their reciprocal.
constexpr double SAFE_MINIMUM = DBL_MIN;

// DLASWP with a positive increment: row i <-> row ipiv[i-1] for i = k1..k2
// (1-based), in that order, over n columns. Swaps move bits without rounding
// and columns never mix, so a column at a time (in its own memory) ends the
// same as the reference's groups of 32 columns.
void dlaswp(int n, double* a, int lda, int k1, int k2, const int* ipiv) {
    for (int k = 0; k < n; ++k) {
        double* ak = &at(a, lda, 0, k);
        for (int i = k1; i <= k2; ++i) {
            const int ip = ipiv[i - 1];
            if (ip != i) std::swap(ak[i - 1], ak[ip - 1]);
        }
    }
}

// DGETRF2: the recursive factorisation, halving the columns until one row or
// one column is left.
int dgetrf2(const detail::Kernels& kernels, int m, int n, double* a, int lda, int* ipiv) {
    if (m == 0 || n == 0) return 0;
    int info = 0;
    if (m == 1) {
        ipiv[0] = 1;
        if (a[0] == 0.0) info = 1;
    } else if (n == 1) {
        const int p = detail::idamax(m, a);
        ipiv[0] = p;
        // A NaN pivot is not zero: the column is scaled by it like any other.
        if (a[p - 1] != 0.0) {
            if (p != 1) std::swap(a[0], a[p - 1]);
            if (std::fabs(a[0]) >= SAFE_MINIMUM) {
                detail::dscal(m - 1, 1.0 / a[0], a + 1);
            } else {
                for (int i = 1; i < m; ++i) a[i] = a[i] / a[0];
            }
        } else {
            info = 1;
        }
    } else {
        const int n1 = std::min(m, n) / 2;
        const int n2 = n - n1;
        double* a12 = &at(a, lda, 0, n1);
        double* a21 = &at(a, lda, n1, 0);
        double* a22 = &at(a, lda, n1, n1);

        int inner = dgetrf2(kernels, m, n1, a, lda, ipiv);
        if (info == 0 && inner > 0) info = inner;
        dlaswp(n2, a12, lda, 1, n1, ipiv);
        kernels.dtrsm_left_lower_n(Diag::unit, n1, n2, 1.0, a, lda, a12, lda);
        kernels.dgemm_nn(m - n1, n2, n1, -1.0, a21, lda, a12, lda, 1.0, a22, lda);

        inner = dgetrf2(kernels, m - n1, n2, a22, lda, ipiv + n1);
        if (info == 0 && inner > 0) info = inner + n1;
        for (int i = n1; i < std::min(m, n); ++i) ipiv[i] += n1;
        dlaswp(n1, a, lda, n1 + 1, std::min(m, n), ipiv);
    }
    return info;
}

}  // namespace

int dgetrf(int m, int n, double* a, int lda, int* ipiv) {
    return detail::dgetrf_with(detail::kernels(), m, n, a, lda, ipiv);
}

int detail::dgetrf_with(const Kernels& kernels, int m, int n, double* a, int lda, int* ipiv) {
    if (m < 0) return -1;
    if (n < 0) return -2;
    if (lda < std::max(1, m)) return -4;
    if (m == 0 || n == 0) return 0;

    const int mn = std::min(m, n);
    if (GETRF_BLOCK <= 1 || GETRF_BLOCK >= mn) return dgetrf2(kernels, m, n, a, lda, ipiv);

    // Right-looking blocked form: factor a panel of GETRF_BLOCK columns, carry
    // its interchanges to both sides, then update the trailing matrix.
    // Everything after the panel works column by column and reads only the
    // panel (the interchanges left of it; the solve and the update right of
    // it), so those columns are done in two halves. The next panel needs only
    // its own columns updated: the first half updates them first and then
    // factors it, while the second half updates the rest.
    detail::Halves halves(mn >= detail::HALVES_MIN_SIDE);
    int info = 0;
    const auto factor = [&](int j) {
        const int jb = std::min(mn - j, GETRF_BLOCK);
        const int inner = dgetrf2(kernels, m - j, jb, &at(a, lda, j, j), lda, ipiv + j);
        if (info == 0 && inner > 0) info = inner + j;
        for (int i = j; i < std::min(m, j + jb); ++i) ipiv[i] += j;
    };
    factor(0);
    for (int j = 0; j < mn; j += GETRF_BLOCK) {
        const int jb = std::min(mn - j, GETRF_BLOCK);
        const int next = j + jb;
        const auto update = [&](int c0, int c1) {
            if (c1 <= c0) return;
            dlaswp(c1 - c0, &at(a, lda, 0, c0), lda, j + 1, j + jb, ipiv);
            kernels.dtrsm_left_lower_n(Diag::unit, jb, c1 - c0, 1.0, &at(a, lda, j, j), lda,
                                       &at(a, lda, j, c0), lda);
            if (j + jb < m) {
                kernels.dgemm_nn(m - j - jb, c1 - c0, jb, -1.0, &at(a, lda, j + jb, j), lda,
                                 &at(a, lda, j, c0), lda, 1.0, &at(a, lda, j + jb, c0), lda);
            }
        };
        const int rest = n - next;
        int first = std::max(0, (rest - PANEL_COLUMNS) / 2);
        if (next < mn) first = std::max(first, std::min(mn - next, GETRF_BLOCK));
        const int split = next + std::min(first, rest);
        halves.run(
            [&] {
                dlaswp(j, a, lda, j + 1, j + jb, ipiv);
                update(next, split);
                if (next < mn) factor(next);
            },
            [&] { update(split, n); });
    }
    return info;
}

}  // namespace bravolin::lapack
