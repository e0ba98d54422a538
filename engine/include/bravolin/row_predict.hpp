// Predictions one row at a time: out[r, t] = (sum_j x[r, j] * coef[t, j]) +
// intercept[t], the sum taken from j = 0 up in plain double arithmetic
// (products rounded, then added; no FMA). Each row's result depends on that
// row alone, never on the rows beside it, the threads or the machine.
#pragma once

#include <cstddef>

#include "bravolin/moments.hpp"

namespace bravolin {

// x is read through the strides of `rows` (its y and w are ignored); coef is
// q x p row-major, intercept q; out is n x q row-major.
void row_predict(const Rows& rows, const double* coef, const double* intercept, double* out, unsigned threads);

}  // namespace bravolin
