// The products of a tall fit as a tree over row blocks.
//
// For D (n x k) with n well above k, the Strassen recursion of DᵀD (and of
// DᵀY) pads to an even square of side s and splits it in two halves of rows
// of D. While k (and Y's width) fit in the half, the quadrants A21, A22, B12
// and B22 are zero, so C11 = ((M7 - M5) + M4) + M1 with M4 = M5 = +0.0:
// the node's product is the bottom half's plus the top half's, each the same
// recursion on its own rows padded to the half made even. Below the side
// where the split stops being clean, a node is one product of its rows padded
// to its side. The package walks the tree; these functions give a node's
// products and the combination of two children, with the library's own
// products, so that the sum of the tree has the bits of one product of the
// whole.
//
// Prediction splits the same way, except that X·W's halves are rows of the
// result: C11 = M1 and C21 = M2, each its half's own product.
#pragma once

#include "support.hpp"

namespace bravolin::exact {

// node_products(x, y, side, fit_intercept) -> (G, R): with D the rows of x,
// led by a column of ones when fit_intercept, and padded with zero rows to
// `side` rows (y likewise), G = DᵀD and R = DᵀY by strassen::mult.
PyObject* node_products(PyObject* self, PyObject* args);

// combine(top, bottom) -> ((bottom - 0.0) + 0.0) + top, elementwise: the
// recursion's C11 of a node from its two children's products.
PyObject* combine(PyObject* self, PyObject* args);

// node_predict(x, w, b, side) -> (x padded with zero rows to `side`) · w by
// strassen::mult, cut to x's rows, plus b (one value per column) elementwise.
PyObject* node_predict(PyObject* self, PyObject* args);

}  // namespace bravolin::exact
