#include <algorithm>
#include <cmath>

#include "dd_linalg.hpp"

namespace bravolin::detail {
namespace {

// A rotation is skipped when its off-diagonal element is below this share of
// the geometric mean of its diagonal pair, or of the matrix's largest
// diagonal element: beyond double-double's resolution either way.
constexpr double RELATIVE_TINY = 1e-33;
constexpr double ABSOLUTE_TINY = 1e-64;
// Cyclic Jacobi converges quadratically; a few sweeps suffice in practice.
constexpr int MAX_SWEEPS = 60;

}  // namespace

std::vector<DD> symmetric_eigen(Square a, std::size_t n, Square* vectors) {
    if (vectors) {
        vectors->assign(n * n, DD(0.0));
        for (std::size_t i = 0; i < n; ++i) (*vectors)[i * n + i] = DD(1.0);
    }
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(a[i * n + i].hi));
    for (int sweep = 0; sweep < MAX_SWEEPS; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const DD apq = a[p * n + q];
                const double mag = std::fabs(apq.hi);
                if (mag == 0.0) continue;
                const double diag = std::sqrt(std::fabs(a[p * n + p].hi) * std::fabs(a[q * n + q].hi));
                if (mag <= RELATIVE_TINY * diag || mag <= ABSOLUTE_TINY * scale) {
                    a[p * n + q] = a[q * n + p] = DD(0.0);
                    continue;
                }
                rotated = true;
                // Rutishauser's rotation: t = tan of the angle, |t| <= 1.
                const DD theta = (a[q * n + q] - a[p * n + p]) / (apq * 2.0);
                DD t;
                if (std::fabs(theta.hi) > 1e100) {
                    t = DD(1.0) / (theta * 2.0);
                } else {
                    const DD root = sqrt(theta * theta + DD(1.0));
                    t = DD(1.0) / (abs(theta) + root);
                    if (theta.hi < 0.0) t = -t;
                }
                const DD c = DD(1.0) / sqrt(t * t + DD(1.0));
                const DD s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    if (k == p || k == q) continue;
                    const DD akp = a[k * n + p], akq = a[k * n + q];
                    const DD nkp = c * akp - s * akq;
                    const DD nkq = s * akp + c * akq;
                    a[k * n + p] = a[p * n + k] = nkp;
                    a[k * n + q] = a[q * n + k] = nkq;
                }
                a[p * n + p] = a[p * n + p] - t * apq;
                a[q * n + q] = a[q * n + q] + t * apq;
                a[p * n + q] = a[q * n + p] = DD(0.0);
                if (vectors) {
                    Square& v = *vectors;
                    for (std::size_t k = 0; k < n; ++k) {
                        const DD vkp = v[k * n + p], vkq = v[k * n + q];
                        v[k * n + p] = c * vkp - s * vkq;
                        v[k * n + q] = s * vkp + c * vkq;
                    }
                }
            }
        }
        if (!rotated) break;
    }
    std::vector<DD> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
    return values;
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
    for (std::size_t c = 0; c < m; ++c) {
        for (std::size_t i = 0; i < n; ++i) {
            DD s = b[i * m + c];
            for (std::size_t k = 0; k < i; ++k) s -= a[i * n + k] * b[k * m + c];
            b[i * m + c] = s / a[i * n + i];
        }
        for (std::size_t i = n; i-- > 0;) {
            DD s = b[i * m + c];
            for (std::size_t k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k * m + c];
            b[i * m + c] = s / a[i * n + i];
        }
    }
    return true;
}

}  // namespace bravolin::detail
