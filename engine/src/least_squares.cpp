#include "bravolin/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "dd_linalg.hpp"

namespace bravolin {
namespace {

using detail::Square;

// Beyond this condition number of the column-scaled problem, double-double
// moments no longer pin the solution down to double precision.
constexpr double RESOLVABLE_CONDITION = 1e15;
// A singular value this close to the cut-off (as a ratio, either side) makes
// the rank a matter of the data's last bits.
constexpr double CUTOFF_MARGIN = 4.0;

struct Scaled {
    std::vector<std::size_t> active;  // features of nonzero centred variance
    std::vector<DD> scale;            // their root centred sums of squares
    Square s;                         // unit-diagonal centred Gram of the active features
    std::vector<DD> rhs;              // active x q
};

Scaled scale_problem(const CentredMoments& m) {
    Scaled sc;
    for (std::size_t i = 0; i < m.p; ++i) {
        if (m.xx[i * m.p + i].hi > 0.0) sc.active.push_back(i);
    }
    const std::size_t a = sc.active.size();
    sc.scale.resize(a);
    for (std::size_t i = 0; i < a; ++i) sc.scale[i] = sqrt(m.xx[sc.active[i] * m.p + sc.active[i]]);
    sc.s.resize(a * a);
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t j = 0; j < a; ++j) {
            sc.s[i * a + j] = i == j ? DD(1.0)
                                     : m.xx[sc.active[i] * m.p + sc.active[j]] / (sc.scale[i] * sc.scale[j]);
        }
    }
    sc.rhs.resize(a * m.q);
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t t = 0; t < m.q; ++t) sc.rhs[i * m.q + t] = m.xy[sc.active[i] * m.q + t] / sc.scale[i];
    }
    return sc;
}

// The minimum-norm (in the original coordinates) solution of the scaled
// system truncated to the kept eigenvectors; active x q, in original units.
std::vector<DD> minimum_norm(const Scaled& sc, std::size_t q, const std::vector<DD>& values, const Square& vectors,
                             const std::vector<char>& kept) {
    const std::size_t a = sc.active.size();
    std::vector<DD> beta(a * q, DD(0.0));
    for (std::size_t e = 0; e < a; ++e) {
        if (!kept[e]) continue;
        for (std::size_t t = 0; t < q; ++t) {
            DD proj(0.0);
            for (std::size_t i = 0; i < a; ++i) proj += vectors[i * a + e] * sc.rhs[i * q + t];
            proj /= values[e];
            for (std::size_t i = 0; i < a; ++i) beta[i * q + t] += vectors[i * a + e] * proj;
        }
    }
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t t = 0; t < q; ++t) beta[i * q + t] /= sc.scale[i];
    }
    // The null space in original coordinates is D^-1 V_dropped; remove its
    // component from beta in the Euclidean metric of the coefficients.
    std::vector<std::size_t> dropped;
    for (std::size_t e = 0; e < a; ++e) {
        if (!kept[e]) dropped.push_back(e);
    }
    const std::size_t d = dropped.size();
    if (d == 0) return beta;
    std::vector<DD> null(a * d);
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t k = 0; k < d; ++k) null[i * d + k] = vectors[i * a + dropped[k]] / sc.scale[i];
    }
    Square gram(d * d, DD(0.0));
    for (std::size_t k = 0; k < d; ++k) {
        for (std::size_t l = 0; l < d; ++l) {
            DD s(0.0);
            for (std::size_t i = 0; i < a; ++i) s += null[i * d + k] * null[i * d + l];
            gram[k * d + l] = s;
        }
    }
    std::vector<DD> coeff(d * q, DD(0.0));
    for (std::size_t k = 0; k < d; ++k) {
        for (std::size_t t = 0; t < q; ++t) {
            DD s(0.0);
            for (std::size_t i = 0; i < a; ++i) s += null[i * d + k] * beta[i * q + t];
            coeff[k * q + t] = s;
        }
    }
    // The dropped eigenvectors are orthonormal, so the Gram is definite.
    if (!detail::cholesky_solve(std::move(gram), d, coeff, q)) return beta;
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t t = 0; t < q; ++t) {
            DD s(0.0);
            for (std::size_t k = 0; k < d; ++k) s += null[i * d + k] * coeff[k * q + t];
            beta[i * q + t] -= s;
        }
    }
    return beta;
}

}  // namespace

LeastSquaresResult solve_least_squares(const CentredMoments& m, const LeastSquaresOptions& options) {
    if (m.xx.size() != m.p * m.p || m.xy.size() != m.p * m.q || m.x_mean.size() != m.p || m.y_mean.size() != m.q) {
        throw std::invalid_argument("inconsistent moment sizes");
    }
    if (!(options.tol >= 0.0)) throw std::invalid_argument("tol must be non-negative");
    LeastSquaresResult result;
    const std::size_t p = m.p, q = m.q;

    // Singular values of the centred design, unscaled, as the attribute.
    std::vector<DD> gram_values = detail::symmetric_eigen(m.xx, p, nullptr);
    std::vector<double> singular(p);
    for (std::size_t i = 0; i < p; ++i) {
        singular[i] = gram_values[i].hi > 0.0 ? static_cast<double>(sqrt(gram_values[i])) : 0.0;
    }
    std::sort(singular.begin(), singular.end(), [](double x, double y) { return x > y; });
    singular.resize(std::min(p, options.samples));
    result.singular = std::move(singular);

    const Scaled sc = scale_problem(m);
    const std::size_t a = sc.active.size();
    Square vectors;
    const std::vector<DD> values = detail::symmetric_eigen(sc.s, a, &vectors);
    DD largest(0.0);
    for (const DD& v : values) largest = std::max(largest, v);
    // sigma_i > tol * sigma_max, on squares.
    const DD cutoff = largest * (options.tol * options.tol);
    std::vector<char> kept(a, 0);
    DD smallest_kept = largest;
    for (std::size_t e = 0; e < a; ++e) {
        kept[e] = values[e].hi > 0.0 && values[e] > cutoff;
        if (kept[e]) {
            ++result.rank;
            smallest_kept = std::min(smallest_kept, values[e]);
        }
        // Near the cut-off on either side, or a kept direction beyond what
        // the precision resolves.
        const double ratio = values[e].hi / std::max(cutoff.hi, 1e-300);
        if (options.tol > 0.0 && ratio > 1.0 / (CUTOFF_MARGIN * CUTOFF_MARGIN) &&
            ratio < CUTOFF_MARGIN * CUTOFF_MARGIN) {
            result.ill_conditioned = true;
        }
    }
    if (result.rank > 0 && smallest_kept.hi * RESOLVABLE_CONDITION * RESOLVABLE_CONDITION < largest.hi) {
        result.ill_conditioned = true;
    }

    std::vector<DD> beta;
    if (options.positive) {
        beta.assign(a * q, DD(0.0));
        for (std::size_t t = 0; t < q; ++t) {
            std::vector<DD> rhs(a);
            for (std::size_t i = 0; i < a; ++i) rhs[i] = sc.rhs[i * q + t];
            const std::vector<DD> x = detail::nonnegative_solve(sc.s, a, rhs);
            for (std::size_t i = 0; i < a; ++i) beta[i * q + t] = x[i] / sc.scale[i];
        }
    } else {
        beta = minimum_norm(sc, q, values, vectors, kept);
    }

    result.coef.assign(q * p, 0.0);
    result.intercept.assign(q, 0.0);
    for (std::size_t t = 0; t < q; ++t) {
        DD intercept = m.intercept ? m.y_mean[t] : DD(0.0);
        for (std::size_t i = 0; i < a; ++i) {
            const DD b = beta[i * q + t];
            result.coef[t * p + sc.active[i]] = static_cast<double>(b);
            if (m.intercept) intercept -= m.x_mean[sc.active[i]] * b;
        }
        if (m.intercept) result.intercept[t] = static_cast<double>(intercept);
    }
    return result;
}

}  // namespace bravolin
