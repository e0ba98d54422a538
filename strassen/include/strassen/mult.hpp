// Sequential Strassen product.
#pragma once

#include <cstddef>

#include "strassen/matrix.hpp"

namespace strassen {

// Blocks of side 64 or less go to the schoolbook product: below that size the
// seven-product recursion costs more in additions and copies than it saves.
inline constexpr std::size_t NAIVE_THRESHOLD = 64;

// Schoolbook product; each element a left-to-right sum from +0.0.
// Faults with "Matrix sizes do not match" when a.cols != b.rows.
Matrix naive_mult(const Matrix& a, const Matrix& b);

// a.rows x b.cols product by Strassen's recursion over the zero-padded even
// square of side max(a.rows, a.cols, b.cols). Thread-safe on distinct operands.
// Faults with "Matrix sizes do not match" when a.cols != b.rows.
Matrix mult(const Matrix& a, const Matrix& b);

// One Strassen level on two n x n operands (n even, or n <= NAIVE_THRESHOLD).
Matrix strassen_square(const Matrix& a, const Matrix& b);

// The n x n matrix [[c11, c12], [c21, c22]] from four half x half quadrants.
Matrix join_quadrants(const Matrix& c11, const Matrix& c12, const Matrix& c21, const Matrix& c22,
                      std::size_t half, std::size_t n);

}  // namespace strassen
