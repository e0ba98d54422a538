// The two LAPACK routines the model needs, ported from reference LAPACK 3.11
// and the reference BLAS it calls, so that the inverse has the same bits on
// every machine: the operation order is the reference's, routine by routine,
// in plain IEEE double (the build forbids FMA contraction).
//
// Contract as in LAPACK: A is column-major with leading dimension lda, pivot
// indices are 1-based, integers are 32-bit, and the return value is INFO
// (0 on success, -i when argument i is illegal, i > 0 when U(i,i) is exactly
// zero). Nothing is printed for an illegal argument.
#pragma once

namespace bravolin::lapack {

// LU factorisation with partial pivoting, A = P·L·U, of the m x n matrix A;
// ipiv receives min(m, n) pivot indices. With a zero pivot the factorisation
// is still completed and INFO is the first such index.
int dgetrf(int m, int n, double* a, int lda, int* ipiv);

// The inverse of A from dgetrf's factors, in place. lwork = -1 asks for the
// preferred workspace size in work[0]; otherwise lwork >= max(1, n). With
// lwork < 2n (or n <= 64) the column sweep is unblocked, as in the reference.
int dgetri(int n, double* a, int lda, const int* ipiv, double* work, int lwork);

}  // namespace bravolin::lapack
