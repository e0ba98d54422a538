#include "bravolin/big_integer.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace bravolin {
namespace {

using Limbs = std::vector<std::uint64_t>;
using u128 = unsigned __int128;

void trim(Limbs& m) {
    while (!m.empty() && m.back() == 0) m.pop_back();
}

int compare(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

Limbs add(const Limbs& a, const Limbs& b) {
    Limbs r(std::max(a.size(), b.size()) + 1, 0);
    u128 carry = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        u128 s = carry;
        if (i < a.size()) s += a[i];
        if (i < b.size()) s += b[i];
        r[i] = static_cast<std::uint64_t>(s);
        carry = s >> 64;
    }
    trim(r);
    return r;
}

// a - b for a >= b.
Limbs subtract(const Limbs& a, const Limbs& b) {
    Limbs r(a.size(), 0);
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t bi = i < b.size() ? b[i] : 0;
        const u128 need = static_cast<u128>(bi) + borrow;
        if (static_cast<u128>(a[i]) >= need) {
            r[i] = static_cast<std::uint64_t>(a[i] - need);
            borrow = 0;
        } else {
            r[i] = static_cast<std::uint64_t>((static_cast<u128>(1) << 64) + a[i] - need);
            borrow = 1;
        }
    }
    trim(r);
    return r;
}

}  // namespace

BigInt::BigInt(bool neg, Limbs mag) : neg_(neg), mag_(std::move(mag)) {
    trim(mag_);
    if (mag_.empty()) neg_ = false;
}

BigInt BigInt::signed_add(const BigInt& a, bool negate_b, const BigInt& b) {
    const bool neg_b = negate_b ? !b.neg_ : b.neg_;
    if (a.neg_ == neg_b) return BigInt(a.neg_, add(a.mag_, b.mag_));
    const int c = compare(a.mag_, b.mag_);
    if (c == 0) return BigInt();
    return c > 0 ? BigInt(a.neg_, subtract(a.mag_, b.mag_)) : BigInt(neg_b, subtract(b.mag_, a.mag_));
}

BigInt BigInt::from_int128(__int128 v) {
    BigInt r;
    r.neg_ = v < 0;
    u128 m = r.neg_ ? static_cast<u128>(0) - static_cast<u128>(v) : static_cast<u128>(v);
    r.mag_ = {static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(m >> 64)};
    trim(r.mag_);
    if (r.mag_.empty()) r.neg_ = false;
    return r;
}

BigInt BigInt::sum_of_shifted(const __int128* values, const unsigned* shifts, std::size_t count) {
    unsigned widest = 0;
    for (std::size_t i = 0; i < count; ++i) widest = std::max(widest, shifts[i]);
    // Positive and negative terms apart, as magnitudes: each term's 128 bits
    // land in three limbs, and the carries of fewer than 2^64 terms in one more.
    const std::size_t size = widest / 64 + 4;
    Limbs sums[2] = {Limbs(size, 0), Limbs(size, 0)};
    for (std::size_t i = 0; i < count; ++i) {
        const __int128 v = values[i];
        if (v == 0) continue;
        const u128 m = v < 0 ? static_cast<u128>(0) - static_cast<u128>(v) : static_cast<u128>(v);
        const auto lo = static_cast<std::uint64_t>(m), hi = static_cast<std::uint64_t>(m >> 64);
        const unsigned r = shifts[i] % 64;
        const std::uint64_t part[3] = {lo << r, r == 0 ? hi : (hi << r) | (lo >> (64 - r)), r == 0 ? 0 : hi >> (64 - r)};
        Limbs& acc = sums[v < 0 ? 1 : 0];
        u128 carry = 0;
        for (std::size_t j = shifts[i] / 64; j < size && (j < shifts[i] / 64 + 3 || carry != 0); ++j) {
            const std::size_t k = j - shifts[i] / 64;
            const u128 t = static_cast<u128>(acc[j]) + (k < 3 ? part[k] : 0) + carry;
            acc[j] = static_cast<std::uint64_t>(t);
            carry = t >> 64;
        }
    }
    trim(sums[0]);
    trim(sums[1]);
    if (compare(sums[0], sums[1]) >= 0) return BigInt(false, subtract(sums[0], sums[1]));
    return BigInt(true, subtract(sums[1], sums[0]));
}

BigInt BigInt::shifted_left(unsigned bits) const {
    if (is_zero()) return *this;
    const std::size_t limbs = bits / 64;
    const unsigned rest = bits % 64;
    BigInt r;
    r.neg_ = neg_;
    r.mag_.assign(mag_.size() + limbs + 1, 0);
    for (std::size_t i = 0; i < mag_.size(); ++i) {
        const u128 v = static_cast<u128>(mag_[i]) << rest;
        r.mag_[i + limbs] |= static_cast<std::uint64_t>(v);
        r.mag_[i + limbs + 1] |= static_cast<std::uint64_t>(v >> 64);
    }
    trim(r.mag_);
    return r;
}

BigInt BigInt::operator-() const {
    BigInt r = *this;
    if (!r.is_zero()) r.neg_ = !r.neg_;
    return r;
}

BigInt operator+(const BigInt& a, const BigInt& b) {
    return BigInt::signed_add(a, false, b);
}

BigInt operator-(const BigInt& a, const BigInt& b) {
    return BigInt::signed_add(a, true, b);
}

BigInt operator*(const BigInt& a, const BigInt& b) {
    if (a.is_zero() || b.is_zero()) return {};
    Limbs r(a.mag_.size() + b.mag_.size(), 0);
    for (std::size_t i = 0; i < a.mag_.size(); ++i) {
        u128 carry = 0;
        for (std::size_t j = 0; j < b.mag_.size(); ++j) {
            const u128 t = static_cast<u128>(a.mag_[i]) * b.mag_[j] + r[i + j] + carry;
            r[i + j] = static_cast<std::uint64_t>(t);
            carry = t >> 64;
        }
        r[i + b.mag_.size()] = static_cast<std::uint64_t>(carry);
    }
    return BigInt(a.neg_ != b.neg_, std::move(r));
}

DD BigInt::to_dd(int exponent) const {
    if (is_zero()) return DD(0.0);
    // The top three limbs hold at least 129 significant bits; each 32-bit
    // half is a double exactly, and summing the six halves from the smallest
    // up in double-double keeps the error below 2^-105 of the value.
    const std::size_t n = mag_.size();
    const std::size_t first = n >= 3 ? n - 3 : 0;
    DD total(0.0);
    for (std::size_t i = first; i < n; ++i) {
        const int base = exponent + static_cast<int>(64 * i);
        const double lo = std::ldexp(static_cast<double>(mag_[i] & 0xffffffffu), base);
        const double hi = std::ldexp(static_cast<double>(mag_[i] >> 32), base + 32);
        total = total + DD(lo);
        total = total + DD(hi);
    }
    return neg_ ? -total : total;
}


}  // namespace bravolin
