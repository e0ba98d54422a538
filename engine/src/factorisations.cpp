#include <algorithm>
#include <cmath>
#include <utility>

#include "dd_linalg.hpp"

namespace bravolin::detail {
namespace {

double real(double v) { return v; }
double real(const DD& v) { return v.hi; }
double root(double v) { return std::sqrt(v); }
DD root(const DD& v) { return sqrt(v); }

// sqrt(a^2 + b^2) without overflow, from basic operations only.
double hypotenuse(double a, double b) {
    a = std::fabs(a);
    b = std::fabs(b);
    const double big = std::max(a, b), small = std::min(a, b);
    if (big == 0.0) return 0.0;
    const double r = small / big;
    return big * std::sqrt(1.0 + r * r);
}

// The reflector I - beta v v' of step k, from row k of the symmetric a (its
// column k), with top = -+|row k beyond k| the entry it leaves below the
// diagonal; false when there is nothing to annihilate.
bool reflector(const std::vector<double>& a, std::size_t n, std::size_t k, std::vector<double>& v, double& beta,
               double& top) {
    const double* row = &a[k * n];
    double scale = 0.0;
    for (std::size_t i = k + 1; i < n; ++i) scale = std::max(scale, std::fabs(row[i]));
    if (scale == 0.0) return false;
    double norm2 = 0.0;
    for (std::size_t i = k + 1; i < n; ++i) {
        v[i] = row[i] / scale;
        norm2 += v[i] * v[i];
    }
    const double alpha = (v[k + 1] >= 0.0 ? -1.0 : 1.0) * std::sqrt(norm2);
    v[k + 1] -= alpha;
    double vv = 0.0;
    for (std::size_t i = k + 1; i < n; ++i) vv += v[i] * v[i];
    if (vv == 0.0) return false;
    beta = 2.0 / vv;
    top = alpha * scale;
    return true;
}

// out[i] += row[i] * s for i in [from, to).
void add_scaled(const double* row, double s, double* out, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) out[i] += row[i] * s;
}

}  // namespace

template <class T>
std::size_t pivoted_cholesky(std::vector<T>& a, std::size_t n, std::vector<std::size_t>& perm, double threshold) {
    // Only the upper triangle is read and written: (i, j) lives at
    // a[min * n + max].
    const auto at = [&](std::size_t i, std::size_t j) -> T& { return i <= j ? a[i * n + j] : a[j * n + i]; };
    perm.resize(n);
    for (std::size_t i = 0; i < n; ++i) perm[i] = i;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t piv = k;
        for (std::size_t j = k + 1; j < n; ++j) {
            if (real(at(j, j)) > real(at(piv, piv))) piv = j;
        }
        if (!(real(at(piv, piv)) > threshold)) return k;
        if (piv != k) {
            for (std::size_t m = 0; m < n; ++m) {
                if (m != k && m != piv) std::swap(at(k, m), at(piv, m));
            }
            std::swap(at(k, k), at(piv, piv));
            std::swap(perm[k], perm[piv]);
        }
        const T rkk = root(at(k, k));
        at(k, k) = rkk;
        for (std::size_t j = k + 1; j < n; ++j) a[k * n + j] = a[k * n + j] / rkk;
        for (std::size_t i = k + 1; i < n; ++i) {
            const T rki = a[k * n + i];
            T* row = &a[i * n];
            const T* rk = &a[k * n];
            for (std::size_t j = i; j < n; ++j) row[j] = row[j] - rki * rk[j];
        }
    }
    return n;
}

template std::size_t pivoted_cholesky<double>(std::vector<double>&, std::size_t, std::vector<std::size_t>&, double);
template std::size_t pivoted_cholesky<DD>(std::vector<DD>&, std::size_t, std::vector<std::size_t>&, double);

std::vector<double> symmetric_eigenvalues(std::vector<double> a, std::size_t n) {
    std::vector<double> d(n, 0.0), e(n, 0.0);
    if (n == 0) return d;
    // The lower triangle is the matrix. Kept symmetric bit for bit (the
    // updates below are), a row can stand for its column.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) a[j * n + i] = a[i * n + j];
    }
    // Householder: column k's part below the subdiagonal annihilated by
    // I - beta v v', applied from both sides to the trailing block. The next
    // step's reflector comes from row k + 1 as soon as this step has updated
    // it, and its product A v from each later row as soon as that row is
    // updated: one pass over the trailing block a step, each sum in the order
    // of the rows.
    std::vector<double> v(n), w(n), next_v(n), next_w(n);
    double beta = 0.0, top = 0.0;
    bool ready = false;  // v, beta, top and the unscaled A v of step k at hand
    for (std::size_t k = 0; k + 2 < n; ++k) {
        if (!ready) {
            if (!reflector(a, n, k, v, beta, top)) continue;
            for (std::size_t i = k + 1; i < n; ++i) w[i] = 0.0;
            for (std::size_t j = k + 1; j < n; ++j) add_scaled(&a[j * n], v[j], w.data(), k + 1, n);
        }
        ready = false;
        for (std::size_t i = k + 1; i < n; ++i) w[i] *= beta;
        double wv = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) wv += w[i] * v[i];
        const double half = 0.5 * beta * wv;
        for (std::size_t i = k + 1; i < n; ++i) w[i] -= half * v[i];
        bool next = false;
        double next_beta = 0.0, next_top = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) {
            double* row = &a[i * n];
            for (std::size_t j = k + 1; j < n; ++j) row[j] -= v[i] * w[j] + w[i] * v[j];
            if (i == k + 1) {
                next = k + 3 < n && reflector(a, n, k + 1, next_v, next_beta, next_top);
                for (std::size_t j = k + 2; next && j < n; ++j) next_w[j] = 0.0;
            } else if (next) {
                add_scaled(row, next_v[i], next_w.data(), k + 2, n);
            }
        }
        a[(k + 1) * n + k] = a[k * n + k + 1] = top;
        for (std::size_t i = k + 2; i < n; ++i) a[i * n + k] = a[k * n + i] = 0.0;
        if (next) {
            std::swap(v, next_v);
            std::swap(w, next_w);
            beta = next_beta;
            top = next_top;
            ready = true;
        }
    }
    for (std::size_t i = 0; i < n; ++i) d[i] = a[i * n + i];
    for (std::size_t i = 0; i + 1 < n; ++i) e[i] = a[(i + 1) * n + i];
    // Implicit QL on the tridiagonal (d, e), e[i] coupling i and i + 1.
    constexpr int MAX_ITERATIONS = 60;
    for (std::size_t l = 0; l < n; ++l) {
        for (int iter = 0; iter < MAX_ITERATIONS; ++iter) {
            std::size_t m = l;
            for (; m + 1 < n; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= 0x1p-53 * dd) break;
            }
            if (m == l) break;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = hypotenuse(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
            double s = 1.0, c = 1.0, p = 0.0;
            bool split = false;
            for (std::size_t i = m; i-- > l;) {
                const double f = s * e[i], b = c * e[i];
                r = hypotenuse(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    split = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
            }
            if (split) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    std::sort(d.begin(), d.end());
    return d;
}

bool cholesky_solve(Square a, std::size_t n, std::vector<DD>& b, std::size_t m) {
    for (std::size_t j = 0; j < n; ++j) {
        DD d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d.hi > 0.0)) return false;
        const DD l = sqrt(d);
        a[j * n + j] = l;
        for (std::size_t i = j + 1; i < n; ++i) {
            DD s = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / l;
        }
    }
    // Each right-hand side's entries summed over k in order, all sides of a
    // row at a time, so that the inner loops run along b's rows.
    for (std::size_t i = 0; i < n; ++i) {
        DD* bi = &b[i * m];
        for (std::size_t k = 0; k < i; ++k) {
            const DD f = a[i * n + k];
            const DD* bk = &b[k * m];
            for (std::size_t c = 0; c < m; ++c) bi[c] -= f * bk[c];
        }
        for (std::size_t c = 0; c < m; ++c) bi[c] = bi[c] / a[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        DD* bi = &b[i * m];
        for (std::size_t k = i + 1; k < n; ++k) {
            const DD f = a[k * n + i];
            const DD* bk = &b[k * m];
            for (std::size_t c = 0; c < m; ++c) bi[c] -= f * bk[c];
        }
        for (std::size_t c = 0; c < m; ++c) bi[c] = bi[c] / a[i * n + i];
    }
    return true;
}

}  // namespace bravolin::detail
