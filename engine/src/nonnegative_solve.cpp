#include <algorithm>

#include "dd_linalg.hpp"

namespace bravolin::detail {
namespace {

// The gradient must exceed this (the diagonal being one) for an index to
// enter: below it the objective cannot change at double-double precision.
constexpr double GRADIENT_TINY = 1e-28;

}  // namespace

std::vector<DD> nonnegative_solve(const Square& a, std::size_t n, const std::vector<DD>& b) {
    std::vector<DD> x(n, DD(0.0));
    std::vector<char> passive(n, 0);
    double scale = 1.0;
    for (const DD& v : b) scale = std::max(scale, std::fabs(v.hi));
    const auto solve_passive = [&](std::vector<DD>& z) {
        std::vector<std::size_t> idx;
        for (std::size_t i = 0; i < n; ++i) {
            if (passive[i]) idx.push_back(i);
        }
        const std::size_t m = idx.size();
        Square sub(m * m);
        std::vector<DD> rhs(m);
        for (std::size_t i = 0; i < m; ++i) {
            rhs[i] = b[idx[i]];
            for (std::size_t j = 0; j < m; ++j) sub[i * m + j] = a[idx[i] * n + idx[j]];
        }
        z.assign(n, DD(0.0));
        if (!cholesky_solve(std::move(sub), m, rhs, 1)) return false;
        for (std::size_t i = 0; i < m; ++i) z[idx[i]] = rhs[i];
        return true;
    };
    std::vector<DD> z;
    for (std::size_t outer = 0; outer < 3 * n + 3; ++outer) {
        // The gradient b - A x at the current point.
        std::size_t enter = n;
        DD best(GRADIENT_TINY * scale);
        for (std::size_t i = 0; i < n; ++i) {
            if (passive[i]) continue;
            DD g = b[i];
            for (std::size_t j = 0; j < n; ++j) g -= a[i * n + j] * x[j];
            if (g > best) {
                best = g;
                enter = i;
            }
        }
        if (enter == n) break;
        passive[enter] = 1;
        for (std::size_t inner = 0; inner <= n; ++inner) {
            if (!solve_passive(z)) {
                // The entering column depends on the passive ones: it cannot
                // lower the objective.
                passive[enter] = 0;
                break;
            }
            bool feasible = true;
            for (std::size_t i = 0; i < n; ++i) {
                if (passive[i] && !(z[i].hi > 0.0)) feasible = false;
            }
            if (feasible) {
                x = z;
                break;
            }
            // Step from x toward z as far as feasibility allows.
            DD alpha(1.0);
            for (std::size_t i = 0; i < n; ++i) {
                if (passive[i] && !(z[i].hi > 0.0)) {
                    const DD r = x[i] / (x[i] - z[i]);
                    if (r < alpha) alpha = r;
                }
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (!passive[i]) continue;
                x[i] = x[i] + alpha * (z[i] - x[i]);
                if (!(x[i].hi > 0.0)) {
                    x[i] = DD(0.0);
                    passive[i] = 0;
                }
            }
        }
    }
    return x;
}

}  // namespace bravolin::detail
