#include "exact_entry.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace bravolin::detail {

Exact exact_entry(const Moments& m, std::size_t i, std::size_t j) {
    Exact e;
    if (m.left_bin[i] == EMPTY_BIN || m.right_bin[j] == EMPTY_BIN) return e;
    static constexpr auto shifts = [] {
        std::array<unsigned, PAIRS> out{};
        for (int s = 0; s < LEFT_DIGITS; ++s) {
            for (int t = 0; t < RIGHT_DIGITS; ++t) {
                out[static_cast<std::size_t>(s * RIGHT_DIGITS + t)] =
                    static_cast<unsigned>(DIGIT_BITS * ((LEFT_DIGITS - 1 - s) + (RIGHT_DIGITS - 1 - t)));
            }
        }
        return out;
    }();
    e.value = BigInt::sum_of_shifted(&m.sums[m.entry(i, j) * PAIRS], shifts.data(), PAIRS);
    e.exponent = DIGIT_BITS * (m.left_bin[i] + m.right_bin[j]) - 2 * DIGIT_BITS -
                 DIGIT_BITS * ((LEFT_DIGITS - 1) + (RIGHT_DIGITS - 1));
    return e;
}

Exact add(const Exact& a, const Exact& b) {
    if (a.value.is_zero()) return b;
    if (b.value.is_zero()) return a;
    const int low = std::min(a.exponent, b.exponent);
    return {a.value.shifted_left(static_cast<unsigned>(a.exponent - low)) +
                b.value.shifted_left(static_cast<unsigned>(b.exponent - low)),
            low};
}

Exact negate(const Exact& a) { return {-a.value, a.exponent}; }

Exact mul(const Exact& a, const Exact& b) { return {a.value * b.value, a.exponent + b.exponent}; }

Exact exact_double(double v) {
    if (v == 0.0) return {};
    int e = 0;
    const double m = std::frexp(v, &e);  // v = m 2^e, 0.5 <= |m| < 1
    return {BigInt::from_int128(static_cast<__int128>(std::ldexp(m, 53))), e - 53};
}

}  // namespace bravolin::detail
