// The linear regression model: state, fitting by the normal equations, and
// prediction. Knows nothing of Python; expected failures come back as texts.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "strassen/matrix.hpp"
#include "strassen/view.hpp"

namespace bravolin {

struct ModelState {
    std::optional<double> intercept;                   // present only after a fit with an intercept
    std::optional<strassen::Buffer> coefficients;      // absent: not fitted
    bool fit_intercept = false;
};

inline constexpr const char* INVERSION_FAILED = "Matrix inversion failed.";
inline constexpr const char* NOT_FITTED = "Model has not been fitted yet.";

// The failure text when the fit could not be made; the state is written only
// on success. Internal faults (shape mismatch) propagate as strassen::Fault.
// x and y are read in place; whoever made the views keeps the memory alive
// and unchanged for the call. Neither may have 0 rows or columns.
std::optional<std::string> fit(ModelState& state, const strassen::MatrixView& x,
                               const strassen::MatrixView& y);

// One prediction per row of x (read in place), or the failure text.
std::variant<strassen::Buffer, std::string> predict(const ModelState& state,
                                                    const strassen::MatrixView& x);

// G⁻¹ through LU factorisation (the project's port of dgetrf, then dgetri with
// the minimal workspace), or nothing when G is not square, has a side beyond
// LAPACK's 32-bit int, or a zero pivot. G is left unchanged.
std::optional<strassen::Matrix> inverse(const strassen::Matrix& g);

}  // namespace bravolin
