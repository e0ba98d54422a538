// What inference needs beyond the coefficients, from the exact moments:
// residual sums of squares computed exactly for the rounded coefficients,
// total sums of squares, the unscaled covariance (D'WD)^-1 in double-double,
// the raw Gram matrix of the design for a robust covariance's middle, and
// each row's leverage.
#pragma once

#include <cstddef>
#include <vector>

#include "bravolin/moments.hpp"

namespace bravolin {

struct FitStatistics {
    std::size_t k = 0;                   // parameters: p, plus the intercept first when fitted
    std::vector<double> ssr;             // per target: sum w (y - yhat)^2, exact then rounded
    std::vector<double> centered_tss;    // per target: sum w (y - ybar)^2, ybar the weighted mean
    std::vector<double> uncentered_tss;  // per target: sum w y^2
    std::vector<double> centered_ess;    // per target: centered_tss - ssr, exact before rounding
    std::vector<double> uncentered_ess;  // per target: uncentered_tss - ssr, exact before rounding
    std::vector<double> params;          // q x k: [intercept | coef], see fit_statistics
    std::vector<double> cov_unscaled;    // k x k, pinv(D'WD); empty when it cannot be formed
    // Per left-out feature, the parameters (0-based, the intercept first)
    // of the relation that makes it dependent, ascending.
    std::vector<std::vector<std::size_t>> relations;
    double weight_sum = 0.0;
};

// coef is q x p row-major, intercept q (ignored without one); `dependent`
// the features the solve left out of the rank. With an intercept and a
// singular design the parameters become the least-norm solution over all of
// them, as the pseudo-inverse of the design gives it. coef_low and
// intercept_low (same layouts, or null) are what rounding left out of coef
// and intercept; the sums of squares are exact for the parameters plus those
// parts (for the parameters as given when they are null). Throws
// std::invalid_argument on inconsistent sizes or weights summing to zero.
FitStatistics fit_statistics(const Moments& m, std::size_t p, bool intercept, const double* coef,
                             const double* intercept_values, const std::vector<std::size_t>& dependent,
                             const double* coef_low = nullptr, const double* intercept_low = nullptr);

// The feature statsmodels takes for the constant: one that is the same
// nonzero value in every row of positive weight, a column of ones first,
// else the first such; -1 when none is.
std::ptrdiff_t constant_column(const Moments& m, std::size_t p);

// The raw moments sum w d d' of the first `k` columns of [1 | X | Y] (k x k,
// each entry exact, then rounded to double).
std::vector<double> raw_gram(const Moments& m, std::size_t k);

// out[r] = w_r * d_r' B d_r for d_r = [1 | x_r] (or x_r), B k x k row-major:
// each row's sum in a fixed order (j outer, i inner, from 0 up), so a row's
// leverage depends on that row alone. w null: every weight 1.
void row_leverage(const Rows& x, bool intercept, const double* bread, double* out, unsigned threads);

// b M b for symmetric b (k x k, row-major) and M the raw moments of columns
// first .. first + k - 1 of `middle`, in double-double, rounded once: a
// robust covariance from its bread and meat. The meat enters in
// double-double: rounded to double, its error would come back times the
// bread's condition number squared.
std::vector<double> sandwich(const std::vector<double>& bread, const Moments& middle, std::size_t first,
                             std::size_t k);

// Solves a x = v for symmetric positive definite a (k x k) in double-double;
// NaN where a is not definite.
std::vector<double> definite_solve(const std::vector<double>& a, const std::vector<double>& v, std::size_t k);

// Eigenvalues of symmetric a (n x n, row-major), ascending: Householder
// tridiagonal form and implicit QL in double, a fixed sequence of operations.
std::vector<double> eigenvalues(std::vector<double> a, std::size_t n);

}  // namespace bravolin
