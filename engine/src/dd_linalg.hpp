// Dense symmetric linear algebra in double-double: a fixed sequence of
// operations each, so the same input gives the same bits everywhere.
#pragma once

#include <cstddef>
#include <vector>

#include "bravolin/double_double.hpp"

namespace bravolin::detail {

// Row-major n x n.
using Square = std::vector<DD>;

// Eigenvalues of symmetric a (both halves filled) by cyclic Jacobi rotations,
// returned in a's diagonal order; with `vectors`, the eigenvectors as its
// columns (row-major n x n). Backward stable: the eigenvalues are exact for a
// matrix within about 2^-100 * ||a|| of a.
std::vector<DD> symmetric_eigen(Square a, std::size_t n, Square* vectors);

// Solves a x = b for symmetric positive definite a (n x n) and m right-hand
// sides (b row-major n x m), by Cholesky. Returns false when a pivot is not
// positive (a is then not definite to working precision).
bool cholesky_solve(Square a, std::size_t n, std::vector<DD>& b, std::size_t m);

// min 1/2 x'Ax - b'x subject to x >= 0, for symmetric positive semi-definite
// a (n x n) with unit diagonal: Lawson and Hanson's active set, the entering
// index the one of largest gradient (lowest index on ties).
std::vector<DD> nonnegative_solve(const Square& a, std::size_t n, const std::vector<DD>& b);

}  // namespace bravolin::detail
