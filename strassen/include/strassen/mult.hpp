// Sequential Strassen product.
//
// Every result is reproducible bit for bit: the schoolbook sums run left to
// right from +0.0 and Strassen's sums and combinations have a fixed grouping.
// All functions keep no state and may run on several threads at once on
// different operands.
#pragma once

#include <array>
#include <cstddef>

#include "strassen/matrix.hpp"

namespace strassen {

// Schoolbook product; each element a left-to-right sum from +0.0, so never
// -0.0. Faults with "Matrix sizes do not match" when a.cols != b.rows.
Matrix naive_mult(const Matrix& a, const Matrix& b);

// a.rows x b.cols product by Strassen's recursion over the zero-padded square
// of side max(a.rows, a.cols, b.cols) made even (never a power of two).
// Faults with "Matrix sizes do not match" when a.cols != b.rows, before
// allocating anything.
//
// Equal bit for bit to mult_dense. When every element is finite and small
// enough that no Strassen sum can overflow, it skips the padding's zeros
// (see region.hpp): tall or wide products then cost time and memory in
// proportion to the data, not to the padded square. Other inputs take the
// dense path.
Matrix mult(const Matrix& a, const Matrix& b);

// The dense recursion itself: pads, splits and multiplies every block,
// zeros included. The reference for mult, and its path for non-finite or
// huge inputs. Besides the size fault, throws OutOfMemory (a std::bad_alloc)
// naming the size when its operands alone would exceed physical memory.
Matrix mult_dense(const Matrix& a, const Matrix& b);

// One Strassen level on two n x n operands, n even or n a leaf's side
// (unchecked). The seven sub-products go through the dense recursion.
Matrix strassen_square(const Matrix& a, const Matrix& b);

// The n x n matrix [[c11, c12], [c21, c22]] from four half x half quadrants
// (n = 2 * half, unchecked).
Matrix join_quadrants(const Matrix& c11, const Matrix& c12, const Matrix& c21, const Matrix& c22,
                      std::size_t half, std::size_t n);

namespace detail {
// The fourteen operands of one Strassen level on two n x n operands, each an
// h x h buffer (h = n / 2): left operands of M1..M7 at [0, 7), right ones at
// [7, 14), built in that order.
void strassen_operands(const Matrix& a, const Matrix& b, Buffer (&out)[14]);
// Strassen's combination of M1..M7 (at m[0..6]) in place, in its fixed
// order, joined into the n x n result (n = 2 * h).
Matrix combine_products(std::array<Matrix, 7>& m, std::size_t h, std::size_t n);
}  // namespace detail

}  // namespace strassen
