// Predictions one row at a time: out[r, t] = ((s0 + s1) + (s2 + s3)) +
// intercept[t], where lane s_l = sum over j = l, l + 4, l + 8, ... of
// x[r, j] * coef[t, j], each lane summed from its first term up, in plain
// double arithmetic (products rounded, then added; no FMA). The order is
// fixed per row, so each row's result depends on that row alone, never on
// the rows beside it, the threads or the machine; four lanes let the sum run
// at vector width.
#pragma once

#include <cstddef>

#include "bravolin/moments.hpp"

namespace bravolin {

// x is read through the strides of `rows` (its y and w are ignored); coef is
// q x p row-major, intercept q; out is n x q row-major.
void row_predict(const Rows& rows, const double* coef, const double* intercept, double* out, unsigned threads);

}  // namespace bravolin
