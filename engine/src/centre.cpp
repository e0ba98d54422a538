#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "bravolin/big_integer.hpp"
#include "bravolin/least_squares.hpp"
#include "exact_entry.hpp"

namespace bravolin {


namespace {

using detail::Exact;
using detail::exact_entry;

DD to_dd(const Exact& e) { return e.value.to_dd(e.exponent); }

// The magnitudes a moment may have, as powers of two: double-double keeps
// its 106 bits down to 2^-969, and the solve's products of two moments stay
// finite up to 2^1000. Beyond them a fit would be silently wrong (a column
// of 1e160 would drop out of the rank), so the data is refused instead.
constexpr int SMALLEST_MOMENT = -969, LARGEST_MOMENT = 1000;
constexpr const char* OUT_OF_RANGE =
    "X or y holds values too large or too small in magnitude for the exact moments: a sum of "
    "products of two columns lies outside 2^-969 to 2^1000; rescale those columns (multiplying "
    "by a power of two is exact)";

void check_range(const Exact& e) {
    if (e.value.is_zero()) return;
    const long top = static_cast<long>(e.value.bit_length()) + e.exponent;  // |e| < 2^top
    if (top - 1 < SMALLEST_MOMENT || top > LARGEST_MOMENT) throw std::invalid_argument(OUT_OF_RANGE);
}

void check_range(const DD& v, bool exact_zero) {
    if (exact_zero) return;
    const double m = std::fabs(v.hi);
    if (!(m >= 0x1p-969 && m < 0x1p1000)) throw std::invalid_argument(OUT_OF_RANGE);
}

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
    c.exact = &m;
    const Exact total = exact_entry(m, 0, 0);
    if (total.value.is_zero()) throw std::invalid_argument("the sample weights sum to zero");
    check_range(total);
    c.weight_sum = to_dd(total);
    std::vector<Exact> first(k);
    for (std::size_t j = 1; j < k; ++j) {
        first[j] = exact_entry(m, 0, j);
        check_range(first[j]);
    }
    // Entry (i, j) of [X | Y]'s centred moments, 1 <= i <= j < k.
    const auto centred = [&](std::size_t i, std::size_t j) {
        const Exact raw = exact_entry(m, i, j);
        check_range(raw);
        if (!intercept) return to_dd(raw);
        const Exact cross = cross_difference(raw, total, first[i], first[j]);
        const DD v = to_dd(cross) / c.weight_sum;
        check_range(v, cross.value.is_zero());
        return v;
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
