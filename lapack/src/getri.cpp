// DGETRI, DTRTRI and DTRTI2, ported from reference LAPACK 3.11, in the one
// form DGETRI uses: U upper triangular with a non-unit diagonal.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "blas.hpp"
#include "halves.hpp"
#include "kernels.hpp"
#include "lapack.hpp"

namespace bravolin::lapack {

namespace {

using detail::at;
using detail::Diag;

// ILAENV's block size for DGETRI and DTRTRI in the reference build, and its
// smallest useful one for DGETRI: with a workspace of fewer than
// GETRI_MIN_BLOCK columns the column sweep is unblocked.
constexpr int GETRI_BLOCK = 64;
constexpr int TRTRI_BLOCK = 64;
constexpr int GETRI_MIN_BLOCK = 2;

// The sweep's rows are split at a multiple of every kernel's tile of rows.
constexpr int SWEEP_ALIGN = 32;

// DTRTI2: U⁻¹ in place, column by column; column j is U⁻¹(0:j, 0:j) times
// U's column j, scaled by -1/U(j,j).
void dtrti2_upper(int n, double* a, int lda) {
    for (int j = 0; j < n; ++j) {
        double* aj = &at(a, lda, 0, j);
        aj[j] = 1.0 / aj[j];
        const double ajj = -aj[j];
        detail::dtrmv_upper_n(Diag::non_unit, j, a, lda, aj);
        detail::dscal(j, ajj, aj);
    }
}

// DTRTRI: U⁻¹ in place, or the 1-based index of the first zero on U's diagonal.
int dtrtri_upper(const detail::Kernels& kernels, detail::Halves& halves, int n, double* a,
                 int lda) {
    for (int i = 0; i < n; ++i) {
        if (at(a, lda, i, i) == 0.0) return i + 1;
    }
    if (TRTRI_BLOCK <= 1 || TRTRI_BLOCK >= n) {
        dtrti2_upper(n, a, lda);
        return 0;
    }
    for (int j = 0; j < n; j += TRTRI_BLOCK) {
        const int jb = std::min(TRTRI_BLOCK, n - j);
        double* block_column = &at(a, lda, 0, j);
        double* diagonal_block = &at(a, lda, j, j);
        // The product's columns are independent, and so are the solve's rows.
        const int left = jb / 2;
        halves.run(
            [&] { kernels.dtrmm_left_upper_n(Diag::non_unit, j, left, 1.0, a, lda, block_column, lda); },
            [&] {
                kernels.dtrmm_left_upper_n(Diag::non_unit, j, jb - left, 1.0, a, lda,
                                           block_column + static_cast<std::ptrdiff_t>(left) * lda,
                                           lda);
            });
        const int top = j / 2;
        halves.run(
            [&] {
                kernels.dtrsm_right_upper_n(Diag::non_unit, top, jb, -1.0, diagonal_block, lda,
                                            block_column, lda);
            },
            [&] {
                kernels.dtrsm_right_upper_n(Diag::non_unit, j - top, jb, -1.0, diagonal_block, lda,
                                            block_column + top, lda);
            });
        dtrti2_upper(jb, diagonal_block, lda);
    }
    return 0;
}

}  // namespace

int dgetri(int n, double* a, int lda, const int* ipiv, double* work, int lwork) {
    return detail::dgetri_with(detail::kernels(), n, a, lda, ipiv, work, lwork);
}

int detail::dgetri_with(const Kernels& kernels, int n, double* a, int lda, const int* ipiv,
                        double* work, int lwork) {
    int nb = GETRI_BLOCK;
    work[0] = static_cast<double>(static_cast<long long>(n) * nb);
    const bool query = lwork == -1;
    if (n < 0) return -1;
    if (lda < std::max(1, n)) return -3;
    if (lwork < std::max(1, n) && !query) return -6;
    if (query || n == 0) return 0;

    // Solve inv(A)·L = inv(U) for inv(A), once inv(U) exists.
    detail::Halves halves(n >= detail::HALVES_MIN_SIDE);
    if (const int info = dtrtri_upper(kernels, halves, n, a, lda); info > 0) return info;

    const int ldwork = n;
    long long iws = n;
    if (nb > 1 && nb < n) {
        iws = std::max(static_cast<long long>(ldwork) * nb, 1LL);
        if (lwork < iws) nb = lwork / ldwork;
    }

    if (nb < GETRI_MIN_BLOCK || nb >= n) {
        // Unblocked: column j of inv(A) is inv(U)'s column j minus the later
        // columns of inv(A) weighted by L's column j, kept in work.
        std::vector<double> temps(static_cast<std::size_t>(n) * static_cast<std::size_t>(n - 1) / 2);
        detail::getri_sweep_prepare(n, a, lda, temps.data(), work);
        // Rows split at a whole tile of the kernel, about half each.
        const int half = std::min(n, (n / 2 + SWEEP_ALIGN - 1) / SWEEP_ALIGN * SWEEP_ALIGN);
        halves.run([&] { kernels.getri_sweep_rows(n, a, lda, temps.data(), 0, half); },
                   [&] { kernels.getri_sweep_rows(n, a, lda, temps.data(), half, n); });
    } else {
        const int last = ((n - 1) / nb) * nb;
        for (int j = last; j >= 0; j -= nb) {
            const int jb = std::min(nb, n - j);
            for (int jj = j; jj < j + jb; ++jj) {
                for (int i = jj + 1; i < n; ++i) {
                    at(work, ldwork, i, jj - j) = at(a, lda, i, jj);
                    at(a, lda, i, jj) = 0.0;
                }
            }
            if (j + jb < n) {
                kernels.dgemm_nn(n, jb, n - j - jb, -1.0, &at(a, lda, 0, j + jb), lda,
                                 work + j + jb, ldwork, 1.0, &at(a, lda, 0, j), lda);
            }
            detail::dtrsm_right_lower_n(Diag::unit, n, jb, 1.0, work + j, ldwork,
                                        &at(a, lda, 0, j), lda);
        }
    }

    // The row interchanges of the factorisation become column interchanges of
    // the inverse, undone last to first. They only move elements within a
    // row, so the rows go in two halves.
    const auto interchange = [&](int i0, int i1) {
        for (int j = n - 2; j >= 0; --j) {
            const int jp = ipiv[j];
            if (jp != j + 1) detail::dswap(i1 - i0, &at(a, lda, i0, j), &at(a, lda, i0, jp - 1));
        }
    };
    halves.run([&] { interchange(0, n / 2); }, [&] { interchange(n / 2, n); });
    work[0] = static_cast<double>(iws);
    return 0;
}

}  // namespace bravolin::lapack
