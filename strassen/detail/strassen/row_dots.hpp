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

// The same dots for a left operand that is a sum or difference of two terms,
// formed in registers rather than stored first (a leaf of x·w one level
// below a level that mixes x's columns, where each formed element is used
// once).
//
// Contract (bit for bit):
//   for r in [0, ROW_DOTS_BLOCK):
//     s = +0.0
//     for j in [0, max(x_cols, y_cols)) ascending:
//       s = s + ((X(r, j) + Y(r, j)) * w[j])      (- for `subtract`)
//     out[r] = s
// where X(r, j) is x[r][j] for j < x_cols, else +0.0, and a null x[r] is a
// row of +0.0 (likewise Y): exactly the elements the elementwise sums would
// store for the formed operand, then its row dots. x_cols and y_cols are at
// most ROW_DOTS_PAIR_COLS; w holds +0.0 from max(x_cols, y_cols) on to the
// next multiple of four (each step takes four columns).
inline constexpr std::size_t ROW_DOTS_PAIR_COLS = 64;
using RowDotsPairFn = void (*)(const double* const* x, std::size_t x_cols, const double* const* y,
                               std::size_t y_cols, bool subtract, const double* w, double* out);

// The variant for this CPU, or null (chosen once, on first use).
RowDotsPairFn row_dots_pair_kernel();

}  // namespace strassen::detail
