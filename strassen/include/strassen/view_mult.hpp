// Products of tall data read where it lies.
//
// A tall n x k matrix D times itself and times another matrix of its rows
// (DᵀD, DᵀY), and a tall n x p matrix times a column (Xw). Padded to the
// common square, such products are almost all implicit zeros: the region
// path computes them with the caller's memory as its operand (any strides,
// no copy), reading one block of rows at a time where the recursion first
// needs its elements, and returns the bits par_mult would return for the
// same operands. They decide in the same pass whether the data allows it
// (every element finite and below the region path's bound); when it does
// not, they hand a materialised copy to par_mult, whose dense recursion then
// gives the exact result.
#pragma once

#include <optional>

#include "strassen/matrix.hpp"
#include "strassen/view.hpp"

namespace strassen {

// G = DᵀD and, when y has x's rows, R = DᵀY, where D = [1 | x] (`ones`: a
// leading column of ones that is never stored) or x.
struct GramProducts {
    Matrix g;                 // par_mult(Dᵀ, D), bit for bit
    std::optional<Matrix> r;  // par_mult(Dᵀ, Y), bit for bit; absent when y.rows != x.rows
};

// Reads x and y once, in row order. x and y must have at least one row and
// column. Stops with Interrupted when the calling thread's InterruptCheck
// asks (interrupt.hpp); rethrows a worker's failure (MemoryError stays a
// std::bad_alloc).
GramProducts gram_products(const MatrixView& x, bool ones, const MatrixView& y);

// par_mult(Dᵀ, Y), bit for bit, for when gram_products could not include it. Faults with "Matrix sizes do
// not match" when y.rows != x.rows, before anything is made.
Matrix cross_product(const MatrixView& x, bool ones, const MatrixView& y);

// par_mult(X, w) for a view X, bit for bit. Faults with "Matrix sizes do not
// match" when x.cols != w.rows, before anything is made.
Matrix view_mult(const MatrixView& x, const Matrix& w);

// view_mult(x, w) with c added to every element afterwards (one IEEE
// addition each).
Matrix view_mult_plus(const MatrixView& x, const Matrix& w, double c);

// A row-major copy of x, with a leading column of ones when `ones`.
Matrix materialise(const MatrixView& x, bool ones);

}  // namespace strassen
