// Dot products of rows with one column: the leaves of x·w when no level mixes
// x's columns.
//
// Contract (every variant, bit for bit):
//   for r in [0, ROW_DOTS_BLOCK):
//     s = +0.0
//     for j in [0, cols) ascending:  s = s + (x(first + r, j) * w[j])
//     out[first + r] = s
// Each product is rounded before it is added; no fused multiply-add, no split
// or reordered sum. x's rows are contiguous (`cols` doubles each, any
// alignment) and `row_stride` bytes apart. Returns whether any of the values
// read lies outside [-bound, bound] or is NaN; the sums are written either way.
#pragma once

#include <cstddef>

namespace strassen::detail {

// Rows per call: two vectors of four lanes, one row per lane.
inline constexpr std::size_t ROW_DOTS_BLOCK = 8;

using RowDotsFn = bool (*)(const char* x, std::ptrdiff_t row_stride, std::size_t cols,
                           const double* w, double bound, double* out);

// The variant for this CPU, or null when only the generic loop applies
// (chosen once, on first use). Unless `checked`, it compares no value with
// the bound and returns false.
RowDotsFn row_dots_kernel(bool checked = true);

}  // namespace strassen::detail
