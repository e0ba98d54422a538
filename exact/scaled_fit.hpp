// The estimator's fit on scaled columns without a scaled copy: the column
// bounds that choose the scaling, and the model's fit on views mapped by it.
#pragma once

#include "support.hpp"

namespace bravolin::exact {

// column_bounds(x) -> (lo, hi): each column's minimum and maximum of a 2-D
// float64 array (any strides, read in place), as np.min and np.max over axis
// 0 give them for finite data. Min and max are exact in any order; only the
// sign of a zero bound may differ (min(-0.0, +0.0) may give either).
PyObject* column_bounds(PyObject* self, PyObject* args);

// fit(x, y, x_shift, x_scale, y_shift, y_scale, fit_intercept) -> B (k, q),
// or None when the normal equations have no inverse: bravolin::fit on x and
// y (2-D float64, any strides, read in place) with column j of each read as
// (v - shift[j]) * scale[j]. Every scale must be a normal power of two, so
// that the mapped values have the bits of the same map done elementwise.
PyObject* fit(PyObject* self, PyObject* args);

}  // namespace bravolin::exact
