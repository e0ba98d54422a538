// The hot routines of the port, built once per instruction set and picked at
// run time from the CPU's features.
//
// Contract (every variant, bit for bit): each routine computes exactly what
// the reference BLAS routine (or, for getri_sweep, DGETRI's unblocked loop)
// computes, element by element. An output element's operations are the
// reference's operations on it, in the reference's order: the multiplier
// alpha·B(l, j) is rounded once, each product is rounded before it is added,
// no sum is split or reordered, and the reference's skips of a zero
// multiplier are kept where the reference has them. The vector variants only
// run independent output elements side by side (one per lane) and block them
// for the registers and caches; they differ from the baseline in speed only.
//
// Assumptions as in blas.hpp: column-major storage, unit increments, sizes
// already checked by the caller.
#pragma once

#include <cstddef>

#include "blas.hpp"

namespace bravolin::lapack::detail {

struct Kernels {
    // DGEMM, neither transposed: C := alpha·A·B + beta·C, A m x k, B k x n.
    void (*dgemm_nn)(int m, int n, int k, double alpha, const double* a, int lda,
                     const double* b, int ldb, double beta, double* c, int ldc);
    // DTRMM, left, upper, no transpose: B := alpha·A·B, A m x m, B m x n.
    void (*dtrmm_left_upper_n)(Diag diag, int m, int n, double alpha, const double* a, int lda,
                               double* b, int ldb);
    // DTRSM, left, lower, no transpose: B := alpha·A⁻¹·B, A m x m, B m x n.
    void (*dtrsm_left_lower_n)(Diag diag, int m, int n, double alpha, const double* a, int lda,
                               double* b, int ldb);
    // DTRSM, right, upper, no transpose: B := alpha·B·A⁻¹, A n x n, B m x n.
    void (*dtrsm_right_upper_n)(Diag diag, int m, int n, double alpha, const double* a, int lda,
                                double* b, int ldb);
    // Rows [i0, i1) of DGETRI's unblocked sweep (n x n): for j = n-1 down to
    // 0, A(:, j) := A(:, j) - A(:, j+1:n)·work(j+1:n) by DGEMV (alpha = -1,
    // beta = 1), where work(j+1:n) held L's column j, then zeroed in A. Called
    // once L has been moved out (getri_sweep_prepare): A holds inv(U) and
    // zeros below the diagonal, and temps the multipliers. Rows never mix, so
    // any split of the rows gives the same bits.
    void (*getri_sweep_rows)(int n, double* a, int lda, const double* temps, int i0, int i1);
};

// Instruction sets the kernels are built for, in increasing preference.
enum class Isa { baseline, avx2 };

// Whether this CPU (and the operating system's saved register state) runs it.
bool isa_supported(Isa isa);

// The kernels for one instruction set; only for a supported one.
const Kernels& kernels_for(Isa isa);

// Moves L's strict lower part (dgetrf's) out of A for getri_sweep_rows:
// temps (n·(n-1)/2 elements) receives DGEMV's multipliers -1·L(l, j), l =
// j+1 .. n-1, column after column; A's strict lower part becomes zero, and
// work (n elements) is left as the reference's sweep leaves it.
void getri_sweep_prepare(int n, double* a, int lda, double* temps, double* work);

// Where L's column j starts in temps.
inline std::ptrdiff_t sweep_column_start(int n, int j) {
    return static_cast<std::ptrdiff_t>(j) * (n - 1) - static_cast<std::ptrdiff_t>(j) * (j - 1) / 2;
}

// The most preferred supported set, chosen once at first use (thread-safe).
const Kernels& kernels();

// The variants, one translation unit each.
const Kernels& kernels_baseline();
const Kernels& kernels_avx2();

// dgetrf and dgetri (lapack.hpp) on a given kernel set, so that the tests can
// hold every variant to the reference.
int dgetrf_with(const Kernels& kernels, int m, int n, double* a, int lda, int* ipiv);
int dgetri_with(const Kernels& kernels, int n, double* a, int lda, const int* ipiv, double* work,
                int lwork);

}  // namespace bravolin::lapack::detail
