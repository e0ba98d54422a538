// Dense symmetric linear algebra in double and double-double: each routine a
// fixed sequence of IEEE operations (no FMA, no libm beyond sqrt), so the
// same input gives the same bits everywhere.
#pragma once

#include <cstddef>
#include <vector>

#include "bravolin/double_double.hpp"

namespace bravolin::detail {

// Row-major n x n.
using Square = std::vector<DD>;

// A null vector's entries, each column scaled to unit norm, below this share
// of its largest are the factorisation's rounding, not part of the relation:
// kept, they would grow by a tiny column's inverse scale in original units
// and move the minimum-norm solution far off.
constexpr double NULL_ROUNDING = 1e-13;

// Pivoted Cholesky of symmetric positive semi-definite a (n x n, row-major,
// upper triangle read): a[perm][perm] = R'R with R upper trapezoidal, left in
// a's upper triangle (rows 0..rank-1, in pivot order). The pivot is the
// largest remaining diagonal element (the lowest index on ties); the
// factorisation stops when it is at most `threshold`. Returns the rank.
template <class T>
std::size_t pivoted_cholesky(std::vector<T>& a, std::size_t n, std::vector<std::size_t>& perm, double threshold);

// Eigenvalues of symmetric a (n x n, both halves filled), ascending: the
// Householder tridiagonal form, then implicit QL with Wilkinson's shift.
// Absolute error about n * 2^-52 * ||a||.
std::vector<double> symmetric_eigenvalues(std::vector<double> a, std::size_t n);

// Solves a x = b for symmetric positive definite a (n x n) and m right-hand
// sides (b row-major n x m), by Cholesky. Returns false when a pivot is not
// positive (a is then not definite to working precision).
bool cholesky_solve(Square a, std::size_t n, std::vector<DD>& b, std::size_t m);

// min 1/2 x'Ax - b'x subject to x >= 0, for symmetric positive semi-definite
// a (n x n) with unit diagonal: Lawson and Hanson's active set, the entering
// index the one of largest gradient (lowest index on ties).
std::vector<DD> nonnegative_solve(const Square& a, std::size_t n, const std::vector<DD>& b);

}  // namespace bravolin::detail
