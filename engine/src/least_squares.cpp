#include "bravolin/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "dd_linalg.hpp"
#include "exact_entry.hpp"

namespace bravolin {
namespace {

using detail::Square;

// Beyond this condition number of the column-scaled problem, the refinement
// against the exact moments converges slowly or not at all (it needs its
// square below 2^104), and a last-bit change in the data moves the solution
// by more than a percent.
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

// Below this share of the largest pivot (on squares: eigenvalue-like), a
// double factorisation no longer guarantees the refinement converges; the
// solve then factorises in double-double.
constexpr double DOUBLE_PIVOT_FLOOR = 1e-10;
// Refinement stops when a correction is below this share of the solution, or
// once a correction no longer halves the one before: each step gains some 50
// bits until the double-double residual's own rounding, near 2^-104 of the
// solution, is all that is left to correct.
constexpr double REFINED = 0x1p-108;
constexpr int MAX_REFINEMENTS = 30;

// z = R^-1 R^-T c for the first `rank` pivots of a factor (double or
// double-double) in a's upper triangle (row-major n x n), c and z in pivot
// order.
template <class T>
void factor_solve(const std::vector<T>& r, std::size_t n, std::size_t rank, std::vector<DD>& z) {
    for (std::size_t i = 0; i < rank; ++i) {
        DD s = z[i];
        for (std::size_t k = 0; k < i; ++k) s -= DD(r[k * n + i]) * z[k];
        z[i] = s / DD(r[i * n + i]);
    }
    for (std::size_t i = rank; i-- > 0;) {
        DD s = z[i];
        for (std::size_t k = i + 1; k < rank; ++k) s -= DD(r[i * n + k]) * z[k];
        z[i] = s / DD(r[i * n + i]);
    }
    for (std::size_t i = rank; i < n; ++i) z[i] = DD(0.0);
}
struct Factor {
    std::size_t rank = 0;
    std::vector<std::size_t> perm;
    bool in_double = false;
    std::vector<double> r_double;
    std::vector<DD> r_dd;
    double smallest_pivot = 0.0;  // squared, relative to the unit diagonal
};

// The rank-revealing factorisation of the unit-diagonal S: in double when
// every pivot is well above both the cut-off and double's reach (the
// solution then refined in double-double), else in double-double.
Factor factorise(const Square& s, std::size_t a, double tol) {
    Factor f;
    const double cut = tol * tol;
    std::vector<double> sd(a * a);
    for (std::size_t i = 0; i < a * a; ++i) sd[i] = s[i].hi;
    const double floor_double = std::max(DOUBLE_PIVOT_FLOOR, 16.0 * cut);
    f.rank = detail::pivoted_cholesky(sd, a, f.perm, floor_double);
    if (f.rank == a) {
        f.in_double = true;
        f.r_double = std::move(sd);
        f.smallest_pivot = a == 0 ? 1.0 : f.r_double[(a - 1) * a + (a - 1)] * f.r_double[(a - 1) * a + (a - 1)];
        return f;
    }
    f.r_dd = s;
    f.rank = detail::pivoted_cholesky(f.r_dd, a, f.perm, cut);
    f.smallest_pivot = f.rank == 0 ? 1.0 : (f.r_dd[(f.rank - 1) * a + f.rank - 1] * f.r_dd[(f.rank - 1) * a + f.rank - 1]).hi;
    return f;
}

// The scaled solution for every target (active x q, pivot order undone),
// refined against S in double-double when factorised in double.
std::vector<DD> basic_solution(const Scaled& sc, std::size_t q, const Factor& f) {
    const std::size_t a = sc.active.size();
    std::vector<DD> out(a * q, DD(0.0));
    std::vector<DD> z(a), rhs(a), res(a);
    for (std::size_t t = 0; t < q; ++t) {
        for (std::size_t i = 0; i < a; ++i) rhs[i] = sc.rhs[f.perm[i] * q + t];
        z = rhs;
        if (f.in_double) {
            factor_solve(f.r_double, a, f.rank, z);
            double last_change = INFINITY;
            for (int it = 0; it < MAX_REFINEMENTS; ++it) {
                // res = rhs - S z, all in pivot order.
                for (std::size_t i = 0; i < a; ++i) {
                    DD acc = rhs[i];
                    for (std::size_t j = 0; j < a; ++j) acc -= sc.s[f.perm[i] * a + f.perm[j]] * z[j];
                    res[i] = DD(acc.hi);
                }
                factor_solve(f.r_double, a, f.rank, res);
                double change = 0.0, size = 0.0;
                for (std::size_t i = 0; i < a; ++i) {
                    z[i] += res[i];
                    change = std::max(change, std::fabs(res[i].hi));
                    size = std::max(size, std::fabs(z[i].hi));
                }
                if (change <= REFINED * size || 2.0 * change > last_change) break;
                last_change = change;
            }
        } else {
            factor_solve(f.r_dd, a, f.rank, z);
        }
        for (std::size_t i = 0; i < a; ++i) out[f.perm[i] * q + t] = z[i];
    }
    return out;
}

// Below this squared pivot (relative to the unit diagonal) the solve's own
// error, about the condition number squared times 2^-104, could reach a
// double's last bits: the solution is then refined against the exact
// moments, which converges while that product stays below 1.
constexpr double EXACT_REFINEMENT_PIVOT = 0x1p-34;
constexpr int MAX_EXACT_REFINEMENTS = 16;
constexpr double EXACTLY_REFINED = 0x1p-80;

// xy - xx b over the kept features, for one target, from the exact moments:
// every product and sum exact, one rounding per entry at the end. With an
// intercept, sum w times it is total * (Sxy - Sxx b) - Sx (Sy - Sx' b).
class ExactResidual {
public:
    ExactResidual(const CentredMoments& m, std::vector<std::size_t> kept)
        : m_(*m.exact), p_(m.p), intercept_(m.intercept), kept_(std::move(kept)),
          raw_(kept_.size() * kept_.size()), first_(kept_.size()) {
        const std::size_t r = kept_.size();
        for (std::size_t i = 0; i < r; ++i) {
            for (std::size_t j = i; j < r; ++j) raw_[i * r + j] = raw_[j * r + i] = entry(kept_[i] + 1, kept_[j] + 1);
            first_[i] = entry(0, kept_[i] + 1);
        }
        total_ = entry(0, 0);
        weight_sum_ = m.weight_sum;
    }

    // beta: the kept features' coefficients, in kept order.
    std::vector<DD> operator()(std::size_t target, const std::vector<DD>& beta) const {
        const std::size_t r = kept_.size(), y = 1 + p_ + target;
        std::vector<detail::Exact> b(2 * r);
        for (std::size_t j = 0; j < r; ++j) {
            b[2 * j] = detail::exact_double(beta[j].hi);
            b[2 * j + 1] = detail::exact_double(beta[j].lo);
        }
        const auto less_products = [&](detail::Exact acc, const detail::Exact* row) {
            for (std::size_t j = 0; j < r; ++j) {
                for (std::size_t part = 0; part < 2; ++part) acc = add(acc, detail::negate(mul(row[j], b[2 * j + part])));
            }
            return acc;
        };
        detail::Exact rest_of_mean;
        if (intercept_) rest_of_mean = less_products(entry(0, y), first_.data());
        std::vector<DD> out(r);
        for (std::size_t i = 0; i < r; ++i) {
            detail::Exact u = less_products(entry(kept_[i] + 1, y), &raw_[i * r]);
            if (!intercept_) {
                out[i] = u.value.to_dd(u.exponent);
                continue;
            }
            u = add(mul(total_, u), detail::negate(mul(first_[i], rest_of_mean)));
            out[i] = u.value.to_dd(u.exponent) / weight_sum_;
        }
        return out;
    }

private:
    detail::Exact entry(std::size_t i, std::size_t j) const {
        return detail::exact_entry(m_, std::min(i, j), std::max(i, j));
    }

    const Moments& m_;
    std::size_t p_;
    bool intercept_;
    std::vector<std::size_t> kept_;  // original feature indices, pivot order
    std::vector<detail::Exact> raw_;
    std::vector<detail::Exact> first_;
    detail::Exact total_;
    DD weight_sum_;
};

// Iterative refinement of beta (active x q, original units) over the kept
// pivots, each correction solved with the factor from the exact residual.
void refine_exactly(const CentredMoments& m, const Scaled& sc, std::size_t q, const Factor& f,
                    std::vector<DD>& beta) {
    const std::size_t a = sc.active.size(), r = f.rank;
    std::vector<std::size_t> kept(r);
    for (std::size_t i = 0; i < r; ++i) kept[i] = sc.active[f.perm[i]];
    const ExactResidual residual(m, kept);
    std::vector<DD> b(r), z(a);
    for (std::size_t t = 0; t < q; ++t) {
        for (int it = 0; it < MAX_EXACT_REFINEMENTS; ++it) {
            for (std::size_t i = 0; i < r; ++i) b[i] = beta[f.perm[i] * q + t];
            const std::vector<DD> res = residual(t, b);
            for (std::size_t i = 0; i < r; ++i) z[i] = res[i] / sc.scale[f.perm[i]];
            if (f.in_double)
                factor_solve(f.r_double, a, r, z);
            else
                factor_solve(f.r_dd, a, r, z);
            double change = 0.0, size = 0.0;
            for (std::size_t i = 0; i < r; ++i) {
                DD& v = beta[f.perm[i] * q + t];
                const DD step = z[i] / sc.scale[f.perm[i]];
                v += step;
                change = std::max(change, std::fabs(step.hi));
                size = std::max(size, std::fabs(v.hi));
            }
            if (change <= EXACTLY_REFINED * size) break;
        }
    }
}

// The minimum-norm solution over the coefficients in original units: the
// basic solution (zero on the dropped pivots), less its projection on the
// null space of the truncated problem, D^-1 P [-R11^-1 R12; I].
std::vector<DD> minimum_norm(const CentredMoments& moments, const Scaled& sc, std::size_t q, const Factor& f) {
    const std::size_t a = sc.active.size(), r = f.rank, d = a - r;
    std::vector<DD> beta = basic_solution(sc, q, f);
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t t = 0; t < q; ++t) beta[i * q + t] /= sc.scale[i];
    }
    if (moments.exact != nullptr && r > 0 && f.smallest_pivot < EXACT_REFINEMENT_PIVOT) {
        refine_exactly(moments, sc, q, f, beta);
    }
    if (d == 0) return beta;
    // null: a x d, rows in original (active) order.
    std::vector<DD> null(a * d, DD(0.0));
    std::vector<DD> col(a);
    for (std::size_t k = 0; k < d; ++k) {
        // -R11^-1 R12[:, k], by back substitution.
        for (std::size_t i = r; i-- > 0;) {
            DD s = -f.r_dd[i * a + (r + k)];
            for (std::size_t m = i + 1; m < r; ++m) s -= f.r_dd[i * a + m] * col[m];
            col[i] = s / f.r_dd[i * a + i];
        }
        for (std::size_t i = r; i < a; ++i) col[i] = DD(i - r == k ? 1.0 : 0.0);
        double largest = 0.0;
        for (std::size_t i = 0; i < a; ++i) largest = std::max(largest, std::fabs(col[i].hi));
        for (std::size_t i = 0; i < r; ++i) {
            if (std::fabs(col[i].hi) <= detail::NULL_ROUNDING * largest) col[i] = DD(0.0);
        }
        for (std::size_t i = 0; i < a; ++i) null[f.perm[i] * d + k] = col[i] / sc.scale[f.perm[i]];
    }
    Square gram(d * d, DD(0.0));
    for (std::size_t k = 0; k < d; ++k) {
        for (std::size_t l = k; l < d; ++l) {
            DD s(0.0);
            for (std::size_t i = 0; i < a; ++i) s += null[i * d + k] * null[i * d + l];
            gram[k * d + l] = gram[l * d + k] = s;
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
    // The null basis has an identity block, so its Gram is definite.
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
    std::vector<double> xx(p * p);
    for (std::size_t i = 0; i < p * p; ++i) xx[i] = m.xx[i].hi;
    std::vector<double> values = detail::symmetric_eigenvalues(std::move(xx), p);
    std::vector<double> singular(p);
    for (std::size_t i = 0; i < p; ++i) singular[i] = values[p - 1 - i] > 0.0 ? std::sqrt(values[p - 1 - i]) : 0.0;
    singular.resize(std::min(p, options.samples));
    result.singular = std::move(singular);

    const Scaled sc = scale_problem(m);
    const std::size_t a = sc.active.size();
    const Factor f = factorise(sc.s, a, options.tol);
    result.rank = f.rank;
    {
        std::vector<char> kept(p, 0);
        for (std::size_t i = 0; i < f.rank; ++i) kept[sc.active[f.perm[i]]] = 1;
        for (std::size_t i = 0; i < p; ++i) {
            if (!kept[i]) result.dependent.push_back(i);
        }
    }
    const double cut = options.tol * options.tol;
    // A kept pivot near the cut-off, or beyond what double-double resolves.
    if (f.rank > 0 && (f.smallest_pivot < CUTOFF_MARGIN * CUTOFF_MARGIN * cut ||
                       f.smallest_pivot * RESOLVABLE_CONDITION * RESOLVABLE_CONDITION < 1.0)) {
        result.ill_conditioned = true;
    }
    // A dropped one near it.
    if (!f.in_double && f.rank < a && cut > 0.0) {
        DD largest_left(0.0);
        for (std::size_t i = f.rank; i < a; ++i) largest_left = std::max(largest_left, f.r_dd[i * a + i]);
        if (largest_left.hi * CUTOFF_MARGIN * CUTOFF_MARGIN > cut) result.ill_conditioned = true;
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
        beta = minimum_norm(m, sc, q, f);
    }

    result.coef.assign(q * p, 0.0);
    result.coef_low.assign(q * p, 0.0);
    result.intercept.assign(q, 0.0);
    result.intercept_low.assign(q, 0.0);
    const auto split = [](const DD& v, double& hi, double& low) {
        hi = static_cast<double>(v);
        low = static_cast<double>(v - DD(hi));
    };
    for (std::size_t t = 0; t < q; ++t) {
        DD intercept = m.intercept ? m.y_mean[t] : DD(0.0);
        for (std::size_t i = 0; i < a; ++i) {
            const DD b = beta[i * q + t];
            const std::size_t at = t * p + sc.active[i];
            split(b, result.coef[at], result.coef_low[at]);
            if (m.intercept) intercept -= m.x_mean[sc.active[i]] * b;
        }
        if (m.intercept) split(intercept, result.intercept[t], result.intercept_low[t]);
    }
    return result;
}

}  // namespace bravolin
