#include "bravolin/row_predict.hpp"

#include <algorithm>
#include "strassen/parallel.hpp"

namespace bravolin {
namespace {

// Against the dense kernel's multiply-adds (strassen/parallel.hpp): one part
// per 2^18 of these, below which a second thread costs more than it saves.
constexpr strassen::detail::Weight THREAD_WEIGHT{4, 1};
constexpr std::size_t LANES = 4;

void predict_range(const Rows& d, const double* coef, const double* intercept, double* out, std::size_t r0,
                   std::size_t r1) {
    const std::size_t p = d.p, q = d.q;
    const std::size_t whole = p / LANES * LANES;
    for (std::size_t r = r0; r < r1; ++r) {
        const double* row = d.x + static_cast<std::ptrdiff_t>(r) * d.x_row;
        for (std::size_t t = 0; t < q; ++t) {
            const double* c = coef + t * p;
            double s[LANES] = {};
            if (d.x_col == 1) {
                for (std::size_t j = 0; j < whole; j += LANES) {
                    for (std::size_t l = 0; l < LANES; ++l) s[l] += row[j + l] * c[j + l];
                }
            } else {
                for (std::size_t j = 0; j < whole; j += LANES) {
                    for (std::size_t l = 0; l < LANES; ++l) {
                        s[l] += row[static_cast<std::ptrdiff_t>(j + l) * d.x_col] * c[j + l];
                    }
                }
            }
            for (std::size_t j = whole; j < p; ++j) s[j - whole] += row[static_cast<std::ptrdiff_t>(j) * d.x_col] * c[j];
            out[r * q + t] = ((s[0] + s[1]) + (s[2] + s[3])) + intercept[t];
        }
    }
}

}  // namespace

void row_predict(const Rows& d, const double* coef, const double* intercept, double* out, unsigned threads) {
    const std::size_t work = d.n * std::max<std::size_t>(1, d.p) * std::max<std::size_t>(1, d.q);
    const std::size_t parts = strassen::detail::parts_for(work, THREAD_WEIGHT, threads);
    const std::size_t per = (d.n + parts - 1) / parts;
    strassen::detail::run_parts(parts, [&](std::size_t t) {
        predict_range(d, coef, intercept, out, std::min(d.n, t * per), std::min(d.n, (t + 1) * per));
    });
}

}  // namespace bravolin
