#include "bravolin/inference.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "bravolin/big_integer.hpp"
#include "bravolin/least_squares.hpp"
#include "dd_linalg.hpp"
#include "exact_entry.hpp"
#include "run_parts.hpp"

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

FitStatistics fit_statistics(const Moments& m, std::size_t p, bool intercept, const double* coef,
                             const double* intercept_values) {
    if (m.columns < p + 1) throw std::invalid_argument("moments have fewer columns than features");
    const std::size_t q = m.columns - 1 - p;
    FitStatistics st;
    st.k = p + (intercept ? 1 : 0);
    const detail::Exact total = entry(m, 0, 0);
    if (total.value.is_zero()) throw std::invalid_argument("the sample weights sum to zero");
    st.weight_sum = to_double(total);
    for (std::size_t t = 0; t < q; ++t) {
        const std::size_t yc = 1 + p + t;
        // sum w (y - b0 - x b)^2 = yy - 2 sum_j b_j V_jy + sum_ij b_i b_j V_ij
        // over the columns j of [1 | X], b_0 the intercept (0 without one).
        std::vector<detail::Exact> b(p + 1);
        b[0] = intercept ? exact_double(intercept_values[t]) : detail::Exact{};
        for (std::size_t j = 0; j < p; ++j) b[j + 1] = exact_double(coef[t * p + j]);
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

    // (D'WD)^-1 from the centred moments, which the intercept's column
    // would otherwise make far worse conditioned: the slopes' block is C^-1,
    // the intercept's variance 1/sum w + xbar' C^-1 xbar, their covariance
    // -C^-1 xbar.
    const CentredMoments c = centre(m, p, intercept);
    std::vector<DD> scale(p);
    for (std::size_t i = 0; i < p; ++i) {
        if (!(c.xx[i * p + i].hi > 0.0)) return st;  // a constant or zero column: singular
        scale[i] = sqrt(c.xx[i * p + i]);
    }
    detail::Square s(p * p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) s[i * p + j] = i == j ? DD(1.0) : c.xx[i * p + j] / (scale[i] * scale[j]);
    }
    std::vector<DD> inv(p * p, DD(0.0));
    for (std::size_t i = 0; i < p; ++i) inv[i * p + i] = DD(1.0);
    if (!detail::cholesky_solve(s, p, inv, p)) return st;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) inv[i * p + j] = inv[i * p + j] / (scale[i] * scale[j]);
    }
    const std::size_t k = st.k, off = intercept ? 1 : 0;
    st.cov_unscaled.assign(k * k, 0.0);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) st.cov_unscaled[(i + off) * k + (j + off)] = static_cast<double>(inv[i * p + j]);
    }
    if (intercept) {
        DD quad(0.0);
        for (std::size_t i = 0; i < p; ++i) {
            DD row(0.0);
            for (std::size_t j = 0; j < p; ++j) row += inv[i * p + j] * c.x_mean[j];
            st.cov_unscaled[i + 1] = st.cov_unscaled[(i + 1) * k] = static_cast<double>(-row);
            quad += c.x_mean[i] * row;
        }
        st.cov_unscaled[0] = static_cast<double>(DD(1.0) / c.weight_sum + quad);
    }
    return st;
}

std::vector<double> raw_gram(const Moments& m, std::size_t k) {
    if (k > m.columns) throw std::invalid_argument("more columns asked than the moments hold");
    std::vector<double> g(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) g[i * k + j] = g[j * k + i] = to_double(entry(m, i, j));
    }
    return g;
}

std::vector<double> sandwich(const std::vector<double>& bread, const std::vector<double>& middle, std::size_t k) {
    if (bread.size() != k * k || middle.size() != k * k) throw std::invalid_argument("not k x k matrices");
    std::vector<DD> half(k * k, DD(0.0));
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            DD s(0.0);
            for (std::size_t l = 0; l < k; ++l) s += DD(bread[i * k + l]) * DD(middle[l * k + j]);
            half[i * k + j] = s;
        }
    }
    std::vector<double> out(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            DD s(0.0);
            for (std::size_t l = 0; l < k; ++l) s += half[i * k + l] * DD(bread[l * k + j]);
            out[i * k + j] = static_cast<double>(s);
        }
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
constexpr std::size_t LEVERAGE_THREAD_WORK = 1 << 18;
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
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, work / LEVERAGE_THREAD_WORK));
    const std::size_t per = (d.n + parts - 1) / parts;
    detail::run_parts(parts, [&](std::size_t t) { range(std::min(d.n, t * per), std::min(d.n, (t + 1) * per)); });
}

}  // namespace bravolin
