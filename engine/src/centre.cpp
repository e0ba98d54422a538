#include <algorithm>
#include <stdexcept>

#include "bravolin/big_integer.hpp"
#include "bravolin/least_squares.hpp"
#include "exact_entry.hpp"

namespace bravolin {


namespace {

using detail::Exact;
using detail::exact_entry;

DD to_dd(const Exact& e) { return e.value.to_dd(e.exponent); }

// a*b - c*d, exactly, as an integer times 2^exponent.
Exact cross_difference(const Exact& a, const Exact& b, const Exact& c, const Exact& d) {
    return detail::add(detail::mul(a, b), detail::negate(detail::mul(c, d)));
}

}  // namespace

CentredMoments centre(const Moments& m, std::size_t p, bool intercept) {
    if (m.columns < p + 1) throw std::invalid_argument("moments have fewer columns than features");
    const std::size_t q = m.columns - 1 - p;
    const std::size_t k = m.columns;
    CentredMoments c;
    c.p = p;
    c.q = q;
    c.intercept = intercept;
    const Exact total = exact_entry(m, 0, 0);
    if (total.value.is_zero()) throw std::invalid_argument("the sample weights sum to zero");
    c.weight_sum = to_dd(total);
    std::vector<Exact> first(k);
    for (std::size_t j = 1; j < k; ++j) first[j] = exact_entry(m, 0, j);
    // Entry (i, j) of [X | Y]'s centred moments, 1 <= i <= j < k.
    const auto centred = [&](std::size_t i, std::size_t j) {
        const Exact raw = exact_entry(m, i, j);
        if (!intercept) return to_dd(raw);
        return to_dd(cross_difference(raw, total, first[i], first[j])) / c.weight_sum;
    };
    c.xx.assign(p * p, DD(0.0));
    c.xy.assign(p * q, DD(0.0));
    c.yy.assign(q * q, DD(0.0));
    c.x_mean.assign(p, DD(0.0));
    c.y_mean.assign(q, DD(0.0));
    for (std::size_t i = 1; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) {
            const DD v = centred(i, j);
            if (j <= p) {
                c.xx[(i - 1) * p + (j - 1)] = c.xx[(j - 1) * p + (i - 1)] = v;
            } else if (i <= p) {
                c.xy[(i - 1) * q + (j - 1 - p)] = v;
            } else {
                c.yy[(i - 1 - p) * q + (j - 1 - p)] = c.yy[(j - 1 - p) * q + (i - 1 - p)] = v;
            }
        }
        if (intercept) {
            const DD mean = to_dd(first[i]) / c.weight_sum;
            if (i <= p) {
                c.x_mean[i - 1] = mean;
            } else {
                c.y_mean[i - 1 - p] = mean;
            }
        }
    }
    return c;
}

}  // namespace bravolin
