// Least squares from accumulated moments, in double-double arithmetic.
//
// The caller has the moments of the weighted data exactly and hands them over
// centred (when an intercept is fitted) and rounded to double-double: every
// entry within 2^-104 of its exact value, relative. Everything here is a fixed
// sequence of IEEE operations (+, -, *, /, sqrt) with no dependence on threads
// or hardware, so the same moments give the same bits everywhere.
#pragma once

#include <cstddef>
#include <vector>

#include "bravolin/double_double.hpp"
#include "bravolin/moments.hpp"

namespace bravolin {

// The normal equations of min_b sum_r w_r (y_r - x_r b - c)^2, reduced to the
// coefficients. With an intercept, xx = sum w (x - xbar)(x - xbar)^T and so
// on, with xbar = sum w x / sum w; without one, the raw moments and zero means.
struct CentredMoments {
    std::size_t p = 0;        // features
    std::size_t q = 0;        // targets
    bool intercept = false;
    std::vector<DD> xx;       // p x p, row-major, symmetric (both halves filled)
    std::vector<DD> xy;       // p x q, row-major
    std::vector<DD> yy;       // q x q, row-major
    std::vector<DD> x_mean;   // p (zeros without an intercept)
    std::vector<DD> y_mean;   // q (zeros without an intercept)
    DD weight_sum;            // sum of the weights (n when unweighted)
    // The exact moments these were rounded from, when the caller keeps them
    // alive through the solve: an ill-conditioned solution is then refined
    // against them (centre() sets it).
    const Moments* exact = nullptr;
};

struct LeastSquaresOptions {
    // Rank cut-off on the column-scaled (unit diagonal) problem: its pivoted
    // Cholesky factorisation stops when the largest remaining pivot is at
    // most tol^2 (singular values below tol times the largest, to within a
    // factor of the number of features).
    double tol = 0.0;
    bool positive = false;  // non-negative coefficients
    std::size_t samples = 0;  // rows: singular holds min(samples, p) values
};

struct LeastSquaresResult {
    std::vector<double> coef;       // q x p, row-major (scikit-learn's coef_ layout)
    std::vector<double> intercept;  // q (zeros without an intercept)
    // What rounding the double-double solution to coef and intercept left
    // out (same layouts): each value plus its low part is the solution.
    std::vector<double> coef_low;
    std::vector<double> intercept_low;
    std::size_t rank = 0;           // numerical rank of the centred design
    std::vector<double> singular;   // min(samples, p), descending: singular values of the centred, weighted X
    // Features left out of the rank: constant ones (with an intercept; zero
    // ones without), then those the pivoted factorisation found dependent
    // on the features before them, ascending. Empty at full rank.
    std::vector<std::size_t> dependent;
    // True when the rank decision or the accuracy could not be resolved with
    // confidence (a singular value within a small factor of the cut-off, or
    // a condition number beyond what double-double can resolve).
    bool ill_conditioned = false;
};

// The centred moments of accumulated ones whose columns are [1 | X (p) | Y],
// each entry from the exact integers (with an intercept, n*S_xy - S_x*S_y is
// formed exactly before the one division), rounded to double-double; `exact`
// points at m. Throws std::invalid_argument when the weights sum to zero or
// an entry lies beyond double-double's range.
CentredMoments centre(const Moments& m, std::size_t p, bool intercept);

// Solves for every target. Rank-deficient problems (and p > number of samples)
// get the minimum-norm solution over the coefficients (the intercept not in
// the norm), the minimum taken in the original, unscaled coordinates.
// Throws std::invalid_argument on inconsistent sizes.
LeastSquaresResult solve_least_squares(const CentredMoments& m, const LeastSquaresOptions& options);

}  // namespace bravolin
