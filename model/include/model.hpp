// The linear regression model: state, fitting by the normal equations, and
// prediction. Knows nothing of Python; expected failures come back as values
// of `Failure`, which the module turns into its texts.
#pragma once

#include <optional>
#include <variant>

#include "strassen/matrix.hpp"
#include "strassen/view.hpp"

namespace bravolin {

struct ModelState {
    std::optional<double> intercept;                   // present only after a fit with an intercept
    std::optional<strassen::Buffer> coefficients;      // absent: not fitted
    bool fit_intercept = false;
};

// The failures the model expects, as opposed to internal faults.
enum class Failure {
    inversion_failed,  // G has an exactly zero pivot (collinear columns), or LAPACK rejected it
    not_fitted,        // predict before a successful fit
};

// The failure when the fit could not be made; the state is written only
// on success. Internal faults (shape mismatch) propagate as strassen::Fault.
// x and y are read in place; whoever made the views keeps the memory alive
// and unchanged for the call. Neither may have 0 rows or columns.
std::optional<Failure> fit(ModelState& state, const strassen::MatrixView& x,
                               const strassen::MatrixView& y);

// One prediction per row of x (read in place), or the failure.
std::variant<strassen::Buffer, Failure> predict(const ModelState& state,
                                                    const strassen::MatrixView& x);

// G⁻¹ through LU factorisation (the project's port of dgetrf, then dgetri with
// the minimal workspace), or nothing when G is not square, has a side beyond
// LAPACK's 32-bit int, or a zero pivot. G is left unchanged.
std::optional<strassen::Matrix> inverse(const strassen::Matrix& g);

}  // namespace bravolin
