#include "bravolin/row_predict.hpp"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace bravolin {
namespace {

// Rows computed together: independent sums in flight hide the latency of
// each addition without changing any sum's order.
constexpr std::size_t ROW_GROUP = 4;
// Below this many multiply-adds a second thread costs more than it saves.
constexpr std::size_t THREAD_WORK = 1 << 18;

void predict_range(const Rows& d, const double* coef, const double* intercept, double* out, std::size_t r0,
                   std::size_t r1) {
    const std::size_t p = d.p, q = d.q;
    for (std::size_t t = 0; t < q; ++t) {
        const double* c = coef + t * p;
        std::size_t r = r0;
        for (; r + ROW_GROUP <= r1; r += ROW_GROUP) {
            double s[ROW_GROUP] = {};
            const double* rowp[ROW_GROUP];
            for (std::size_t g = 0; g < ROW_GROUP; ++g) rowp[g] = d.x + static_cast<std::ptrdiff_t>(r + g) * d.x_row;
            for (std::size_t j = 0; j < p; ++j) {
                const std::ptrdiff_t off = static_cast<std::ptrdiff_t>(j) * d.x_col;
                for (std::size_t g = 0; g < ROW_GROUP; ++g) s[g] += rowp[g][off] * c[j];
            }
            for (std::size_t g = 0; g < ROW_GROUP; ++g) out[(r + g) * q + t] = s[g] + intercept[t];
        }
        for (; r < r1; ++r) {
            const double* row = d.x + static_cast<std::ptrdiff_t>(r) * d.x_row;
            double s = 0.0;
            for (std::size_t j = 0; j < p; ++j) s += row[static_cast<std::ptrdiff_t>(j) * d.x_col] * c[j];
            out[r * q + t] = s + intercept[t];
        }
    }
}

}  // namespace

void row_predict(const Rows& d, const double* coef, const double* intercept, double* out, unsigned threads) {
    const std::size_t work = d.n * std::max<std::size_t>(1, d.p) * std::max<std::size_t>(1, d.q);
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, work / THREAD_WORK));
    if (parts == 1) {
        predict_range(d, coef, intercept, out, 0, d.n);
        return;
    }
    const std::size_t per = (d.n + parts - 1) / parts;
    std::vector<std::exception_ptr> errors(parts);
    std::vector<std::thread> workers;
    auto run = [&](std::size_t t) {
        try {
            predict_range(d, coef, intercept, out, std::min(d.n, t * per), std::min(d.n, (t + 1) * per));
        } catch (...) {
            errors[t] = std::current_exception();
        }
    };
    try {
        for (std::size_t t = 1; t < parts; ++t) workers.emplace_back(run, t);
    } catch (...) {
        for (auto& w : workers) w.join();
        throw;
    }
    run(0);
    for (auto& w : workers) w.join();
    for (const auto& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace bravolin
