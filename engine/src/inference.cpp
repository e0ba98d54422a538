#include "bravolin/inference.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "bravolin/big_integer.hpp"
#include "bravolin/least_squares.hpp"
#include "dd_linalg.hpp"
#include "exact_entry.hpp"
#include "strassen/parallel.hpp"

namespace bravolin {
namespace {

using detail::add;
using detail::exact_double;
using detail::mul;

double to_double(const detail::Exact& e) { return static_cast<double>(e.value.to_dd(e.exponent)); }

// The value of entry (i, j) for any i, j (the moments keep i <= j).
detail::Exact entry(const Moments& m, std::size_t i, std::size_t j) {
    return i <= j ? detail::exact_entry(m, i, j) : detail::exact_entry(m, j, i);
}

}  // namespace

namespace {

// Parameters of a column relation below this share of the leading one (each
// column scaled to unit norm) are rounding, not part of it.
constexpr double RELATION_FLOOR = 1e-8;

// The pseudo-inverse of D'WD and what it implies, from the centred moments
// and the features the solve left out of the rank (k = p + off parameters,
// the intercept first).
struct PseudoInverse {
    std::vector<DD> inverse;   // k x k
    std::vector<DD> projector; // k x k onto the row space of D; empty at full rank
    std::vector<std::vector<std::size_t>> relations;
};

// A generalised inverse G- of G = D'WD from the kept features' centred block
// (its inverse, with the intercept's row and column from the means), and the
// null space of G, one vector per left-out feature: that feature less its
// regression on the kept ones, the intercept absorbing the means. With N the
// null basis and P = I - N (N'N)^-1 N', pinv(G) = P G- P, because P = G pinv(G)
// and G G- G = G. Returns false when the kept block is not definite.
bool pseudo_inverse(const CentredMoments& c, const std::vector<std::size_t>& dependent, PseudoInverse& out) {
    const std::size_t p = c.p, off = c.intercept ? 1 : 0, k = p + off;
    std::vector<char> dropped(p, 0);
    for (const std::size_t j : dependent) {
        if (j >= p) throw std::invalid_argument("a dependent feature out of range");
        dropped[j] = 1;
    }
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < p; ++i) {
        if (!dropped[i]) kept.push_back(i);
    }
    const std::size_t a = kept.size();
    std::vector<DD> scale(a);
    for (std::size_t i = 0; i < a; ++i) {
        const DD v = c.xx[kept[i] * p + kept[i]];
        if (!(v.hi > 0.0)) return false;
        scale[i] = sqrt(v);
    }
    // The intercept's column would make an uncentred inverse far worse
    // conditioned: the slopes' block is C^-1, the intercept's variance
    // 1/sum w + xbar' C^-1 xbar, their covariance -C^-1 xbar.
    detail::Square s(a * a);
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t j = 0; j < a; ++j) {
            s[i * a + j] = i == j ? DD(1.0) : c.xx[kept[i] * p + kept[j]] / (scale[i] * scale[j]);
        }
    }
    std::vector<DD> inv(a * a, DD(0.0));
    for (std::size_t i = 0; i < a; ++i) inv[i * a + i] = DD(1.0);
    if (!detail::cholesky_solve(s, a, inv, a)) return false;
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t j = 0; j < a; ++j) inv[i * a + j] = inv[i * a + j] / (scale[i] * scale[j]);
    }
    out.inverse.assign(k * k, DD(0.0));
    for (std::size_t i = 0; i < a; ++i) {
        for (std::size_t j = 0; j < a; ++j) out.inverse[(kept[i] + off) * k + (kept[j] + off)] = inv[i * a + j];
    }
    if (c.intercept) {
        DD quad(0.0);
        for (std::size_t i = 0; i < a; ++i) {
            DD row(0.0);
            for (std::size_t j = 0; j < a; ++j) row += inv[i * a + j] * c.x_mean[kept[j]];
            out.inverse[kept[i] + 1] = out.inverse[(kept[i] + 1) * k] = -row;
            quad += c.x_mean[kept[i]] * row;
        }
        out.inverse[0] = DD(1.0) / c.weight_sum + quad;
    }
    const std::size_t d = dependent.size();
    if (d == 0) return true;

    // null: k x d. Raw column norms (sum w x^2) judge which parameters a
    // relation involves, so that a column's units do not.
    std::vector<DD> null(k * d, DD(0.0));
    std::vector<DD> norm(k);
    if (c.intercept) norm[0] = sqrt(c.weight_sum);
    for (std::size_t i = 0; i < p; ++i) norm[i + off] = sqrt(c.xx[i * p + i] + c.weight_sum * c.x_mean[i] * c.x_mean[i]);
    for (std::size_t t = 0; t < d; ++t) {
        const std::size_t j = dependent[t];
        null[(j + off) * d + t] = DD(1.0);
        DD mean = c.intercept ? c.x_mean[j] : DD(0.0);
        for (std::size_t i = 0; i < a; ++i) {
            DD coef(0.0);
            for (std::size_t l = 0; l < a; ++l) coef += inv[i * a + l] * c.xx[kept[l] * p + j];
            null[(kept[i] + off) * d + t] = -coef;
            if (c.intercept) mean -= coef * c.x_mean[kept[i]];
        }
        if (c.intercept) null[t] = -mean;
        double largest = 0.0;
        for (std::size_t i = 0; i < k; ++i) largest = std::max(largest, std::fabs((null[i * d + t] * norm[i]).hi));
        for (std::size_t i = 0; i < k; ++i) {
            if (i != j + off && std::fabs((null[i * d + t] * norm[i]).hi) <= detail::NULL_ROUNDING * largest) {
                null[i * d + t] = DD(0.0);
            }
        }
        std::vector<std::size_t> involved;
        const DD lead = norm[j + off];
        for (std::size_t i = 0; i < k; ++i) {
            if (i == j + off || std::fabs((null[i * d + t] * norm[i]).hi) > RELATION_FLOOR * lead.hi) involved.push_back(i);
        }
        out.relations.push_back(std::move(involved));
    }
    detail::Square gram(d * d, DD(0.0));
    std::vector<DD> z(d * k);
    for (std::size_t t = 0; t < d; ++t) {
        for (std::size_t u = t; u < d; ++u) {
            DD acc(0.0);
            for (std::size_t i = 0; i < k; ++i) acc += null[i * d + t] * null[i * d + u];
            gram[t * d + u] = gram[u * d + t] = acc;
        }
        for (std::size_t i = 0; i < k; ++i) z[t * k + i] = null[i * d + t];
    }
    // The basis has an identity block on the left-out features: definite.
    if (!detail::cholesky_solve(std::move(gram), d, z, k)) return false;
    out.projector.assign(k * k, DD(0.0));
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            DD acc(i == j ? 1.0 : 0.0);
            for (std::size_t t = 0; t < d; ++t) acc -= null[i * d + t] * z[t * k + j];
            out.projector[i * k + j] = acc;
        }
    }
    const auto product = [k](const std::vector<DD>& l, const std::vector<DD>& r) {
        std::vector<DD> res(k * k);
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < k; ++j) {
                DD acc(0.0);
                for (std::size_t m = 0; m < k; ++m) acc += l[i * k + m] * r[m * k + j];
                res[i * k + j] = acc;
            }
        }
        return res;
    };
    out.inverse = product(product(out.projector, out.inverse), out.projector);
    return true;
}

}  // namespace

FitStatistics fit_statistics(const Moments& m, std::size_t p, bool intercept, const double* coef,
                             const double* intercept_values, const std::vector<std::size_t>& dependent,
                             const double* coef_low, const double* intercept_low) {
    if (m.columns < p + 1) throw std::invalid_argument("moments have fewer columns than features");
    const std::size_t q = m.columns - 1 - p;
    FitStatistics st;
    const std::size_t off = intercept ? 1 : 0;
    st.k = p + off;
    const std::size_t k = st.k;
    const detail::Exact total = entry(m, 0, 0);
    if (total.value.is_zero()) throw std::invalid_argument("the sample weights sum to zero");
    st.weight_sum = to_double(total);

    PseudoInverse pinv;
    const bool formed = pseudo_inverse(centre(m, p, intercept), dependent, pinv);
    if (formed) {
        st.cov_unscaled.resize(k * k);
        for (std::size_t i = 0; i < k * k; ++i) st.cov_unscaled[i] = static_cast<double>(pinv.inverse[i]);
        st.relations = pinv.relations;
    }
    // The parameters as given, or with an intercept and a singular design
    // the pseudo-inverse's: the solution of least norm over every parameter,
    // the intercept included (without one the solve's minimum is that already).
    // In double-double where the low parts are given: the sums of squares
    // are then those of the solve's own solution, not of its rounding, which
    // on a design fitted almost exactly would dwarf the residuals.
    std::vector<DD> full(q * k);
    st.params.resize(q * k);
    const auto given = [](const double* hi, const double* low, std::size_t i) {
        return DD(hi[i], low == nullptr ? 0.0 : low[i]);
    };
    for (std::size_t t = 0; t < q; ++t) {
        if (intercept) full[t * k] = given(intercept_values, intercept_low, t);
        for (std::size_t j = 0; j < p; ++j) full[t * k + off + j] = given(coef, coef_low, t * p + j);
        for (std::size_t i = 0; i < k; ++i) st.params[t * k + i] = full[t * k + i].hi;
        if (!intercept || pinv.projector.empty()) continue;
        std::vector<DD> projected(k, DD(0.0));
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < k; ++j) projected[i] += pinv.projector[i * k + j] * full[t * k + j];
        }
        for (std::size_t i = 0; i < k; ++i) {
            full[t * k + i] = projected[i];
            st.params[t * k + i] = static_cast<double>(projected[i]);
        }
    }
    const auto exact_dd = [](const DD& v) { return add(exact_double(v.hi), exact_double(v.lo)); };

    for (std::size_t t = 0; t < q; ++t) {
        const std::size_t yc = 1 + p + t;
        // sum w (y - b0 - x b)^2 = yy - 2 sum_j b_j V_jy + sum_ij b_i b_j V_ij
        // over the columns j of [1 | X], b_0 the intercept (0 without one).
        std::vector<detail::Exact> b(p + 1);
        b[0] = intercept ? exact_dd(full[t * k]) : detail::Exact{};
        for (std::size_t j = 0; j < p; ++j) b[j + 1] = exact_dd(full[t * k + off + j]);
        const detail::Exact yy = entry(m, yc, yc);
        detail::Exact ssr = yy;
        for (std::size_t j = 0; j <= p; ++j) {
            if (b[j].value.is_zero()) continue;
            const detail::Exact cross = mul(b[j], entry(m, j, yc));
            ssr = add(ssr, detail::negate(add(cross, cross)));
            for (std::size_t i = 0; i <= p; ++i) {
                if (b[i].value.is_zero()) continue;
                ssr = add(ssr, mul(mul(b[i], b[j]), entry(m, i, j)));
            }
        }
        st.ssr.push_back(to_double(ssr));
        st.uncentered_tss.push_back(to_double(yy));
        st.uncentered_ess.push_back(to_double(add(yy, detail::negate(ssr))));
        // sum w (y - ybar)^2 = (V_00 V_yy - V_0y^2) / V_00, exact before the division.
        const detail::Exact y0 = entry(m, 0, yc);
        const detail::Exact n_yy = mul(total, yy);
        const detail::Exact y0y0 = mul(y0, y0);
        const detail::Exact centred = add(n_yy, detail::negate(y0y0));
        const DD weights = total.value.to_dd(total.exponent);
        st.centered_tss.push_back(static_cast<double>(centred.value.to_dd(centred.exponent) / weights));
        // (V_00 V_yy - V_0y^2 - V_00 ssr) / V_00: the explained sum, exact
        // before the one division, so a small R^2 keeps its digits.
        const detail::Exact n_ssr = mul(total, ssr);
        const detail::Exact explained = add(centred, detail::negate(n_ssr));
        st.centered_ess.push_back(static_cast<double>(explained.value.to_dd(explained.exponent) / weights));
    }
    return st;
}

std::ptrdiff_t constant_column(const Moments& m, std::size_t p) {
    if (m.columns < p + 1) throw std::invalid_argument("moments have fewer columns than features");
    const detail::Exact total = entry(m, 0, 0);
    std::ptrdiff_t first = -1;
    for (std::size_t j = 1; j <= p; ++j) {
        const detail::Exact sum = entry(m, 0, j);
        if (sum.value.is_zero()) continue;
        // Constant over the rows exactly when total * sum of squares = sum^2.
        if (!add(mul(entry(m, j, j), total), detail::negate(mul(sum, sum))).value.is_zero()) continue;
        if (add(sum, detail::negate(total)).value.is_zero()) return static_cast<std::ptrdiff_t>(j - 1);
        if (first < 0) first = static_cast<std::ptrdiff_t>(j - 1);
    }
    return first;
}

std::vector<double> raw_gram(const Moments& m, std::size_t k) {
    if (k > m.columns) throw std::invalid_argument("more columns asked than the moments hold");
    std::vector<double> g(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) g[i * k + j] = g[j * k + i] = to_double(entry(m, i, j));
    }
    return g;
}

std::vector<double> sandwich(const std::vector<double>& bread, const Moments& middle, std::size_t first,
                             std::size_t k) {
    if (bread.size() != k * k || middle.columns < first + k) throw std::invalid_argument("not k x k matrices");
    std::vector<DD> meat(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) {
            const detail::Exact e = entry(middle, first + i, first + j);
            meat[i * k + j] = meat[j * k + i] = e.value.to_dd(e.exponent);
        }
    }
    // Each entry summed over l in order; a row of entries at a time, so that
    // the inner loops run along rows.
    std::vector<DD> half(k * k, DD(0.0));
    for (std::size_t i = 0; i < k; ++i) {
        DD* row = &half[i * k];
        for (std::size_t l = 0; l < k; ++l) {
            const DD b(bread[i * k + l]);
            const DD* m = &meat[l * k];
            for (std::size_t j = 0; j < k; ++j) row[j] += b * m[j];
        }
    }
    std::vector<double> out(k * k);
    std::vector<DD> row(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::fill(row.begin(), row.end(), DD(0.0));
        for (std::size_t l = 0; l < k; ++l) {
            const DD h = half[i * k + l];
            const double* b = &bread[l * k];
            for (std::size_t j = 0; j < k; ++j) row[j] += h * DD(b[j]);
        }
        for (std::size_t j = 0; j < k; ++j) out[i * k + j] = static_cast<double>(row[j]);
    }
    return out;
}

std::vector<double> definite_solve(const std::vector<double>& a, const std::vector<double>& v, std::size_t k) {
    if (a.size() != k * k || v.size() != k) throw std::invalid_argument("not a k x k system");
    detail::Square m(a.begin(), a.end());
    std::vector<DD> x(v.begin(), v.end());
    if (!detail::cholesky_solve(std::move(m), k, x, 1)) return std::vector<double>(k, std::nan(""));
    std::vector<double> out(k);
    for (std::size_t i = 0; i < k; ++i) out[i] = static_cast<double>(x[i]);
    return out;
}

std::vector<double> eigenvalues(std::vector<double> a, std::size_t n) {
    if (a.size() != n * n) throw std::invalid_argument("not a square matrix");
    return detail::symmetric_eigenvalues(std::move(a), n);
}

namespace {
// Against the dense kernel's multiply-adds (strassen/parallel.hpp): one part
// per 2^18 of these, below which a second thread costs more than it saves.
constexpr strassen::detail::Weight LEVERAGE_WEIGHT{4, 1};
}

void row_leverage(const Rows& d, bool intercept, const double* bread, double* out, unsigned threads) {
    const std::size_t k = d.p + (intercept ? 1 : 0);
    const auto range = [&](std::size_t r0, std::size_t r1) {
        std::vector<double> v(k);
        for (std::size_t r = r0; r < r1; ++r) {
            const double* row = d.x + static_cast<std::ptrdiff_t>(r) * d.x_row;
            if (intercept) v[0] = 1.0;
            for (std::size_t j = 0; j < d.p; ++j) v[j + (intercept ? 1 : 0)] = row[static_cast<std::ptrdiff_t>(j) * d.x_col];
            double h = 0.0;
            for (std::size_t j = 0; j < k; ++j) {
                double inner = 0.0;
                for (std::size_t i = 0; i < k; ++i) inner += bread[j * k + i] * v[i];
                h += v[j] * inner;
            }
            const double w = d.w == nullptr ? 1.0 : d.w[static_cast<std::ptrdiff_t>(r) * d.w_step];
            out[r] = w * h;
        }
    };
    const std::size_t work = d.n * std::max<std::size_t>(1, k * k);
    const std::size_t parts = strassen::detail::parts_for(work, LEVERAGE_WEIGHT, threads);
    const std::size_t per = (d.n + parts - 1) / parts;
    strassen::detail::run_parts(parts, [&](std::size_t t) { range(std::min(d.n, t * per), std::min(d.n, (t + 1) * per)); });
}

}  // namespace bravolin
