// Exact signed integers of any size, for the few operations that turn exact
// moments into centred ones: sums of shifted 128-bit integers, products and
// differences, and the final rounding to double-double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bravolin/double_double.hpp"

namespace bravolin {

class BigInt {
public:
    BigInt() = default;
    static BigInt from_int128(__int128 v);
    // The sum of values[i] * 2^shifts[i], exactly, built in place: a moment's
    // digit-pair sums become one integer without an allocation per term.
    static BigInt sum_of_shifted(const __int128* values, const unsigned* shifts, std::size_t count);

    bool is_zero() const noexcept { return mag_.empty(); }
    bool negative() const noexcept { return neg_; }
    // Bits of the magnitude: |value| < 2^bit_length() <= 2 |value|; 0 for 0.
    int bit_length() const noexcept {
        return mag_.empty() ? 0 : static_cast<int>(64 * mag_.size()) - __builtin_clzll(mag_.back());
    }

    BigInt shifted_left(unsigned bits) const;
    friend BigInt operator+(const BigInt& a, const BigInt& b);
    friend BigInt operator-(const BigInt& a, const BigInt& b);
    friend BigInt operator*(const BigInt& a, const BigInt& b);
    BigInt operator-() const;

    // The value times 2^exponent, rounded to double-double (relative error
    // below 2^-105; the same bits for the same value everywhere).
    DD to_dd(int exponent) const;

private:
    BigInt(bool neg, std::vector<std::uint64_t> mag);
    static BigInt signed_add(const BigInt& a, bool negate_b, const BigInt& b);

    bool neg_ = false;
    std::vector<std::uint64_t> mag_;  // little-endian limbs, no leading zero limb
};

}  // namespace bravolin
