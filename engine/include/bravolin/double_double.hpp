// Double-double numbers: hi + lo with |lo| <= ulp(hi)/2, about 106 bits.
//
// Every operation is a fixed sequence of IEEE double operations (no FMA, no
// libm), so the same inputs give the same bits on every machine. Relative
// error of +, -, * and / about 2^-104; sqrt about 2^-103. No overflow or
// underflow handling: callers keep values within about 2^+-900.
#pragma once

#include <cmath>

#include "bravolin/eft.hpp"

namespace bravolin {

struct DD {
    double hi = 0.0;
    double lo = 0.0;

    constexpr DD() = default;
    constexpr DD(double h) : hi(h), lo(0.0) {}  // NOLINT: a double is exactly a DD
    constexpr DD(double h, double l) : hi(h), lo(l) {}

    explicit operator double() const noexcept { return hi + lo; }
};

inline DD renormalise(double hi, double lo) noexcept {
    const Sum s = fast_two_sum(hi, lo);
    return {s.s, s.e};
}

inline DD operator-(const DD& a) noexcept { return {-a.hi, -a.lo}; }

inline DD operator+(const DD& a, const DD& b) noexcept {
    // The accurate (IEEE-style) addition: both parts summed error-free.
    const Sum s = two_sum(a.hi, b.hi);
    const Sum t = two_sum(a.lo, b.lo);
    DD r = renormalise(s.s, s.e + t.s);
    return renormalise(r.hi, r.lo + t.e);
}
inline DD operator-(const DD& a, const DD& b) noexcept { return a + (-b); }

inline DD operator*(const DD& a, const DD& b) noexcept {
    const Product p = two_product(a.hi, b.hi);
    return renormalise(p.p, p.e + (a.hi * b.lo + a.lo * b.hi));
}

inline DD operator*(const DD& a, double b) noexcept {
    const Product p = two_product(a.hi, b);
    return renormalise(p.p, p.e + a.lo * b);
}

inline DD operator/(const DD& a, const DD& b) noexcept {
    // Long division: q1 from the leading parts, two corrections.
    const double q1 = a.hi / b.hi;
    DD r = a - b * q1;
    const double q2 = r.hi / b.hi;
    r = r - b * q2;
    const double q3 = r.hi / b.hi;
    const DD q = renormalise(q1, q2);
    return q + DD(q3);
}

inline DD& operator+=(DD& a, const DD& b) noexcept { return a = a + b; }
inline DD& operator-=(DD& a, const DD& b) noexcept { return a = a - b; }
inline DD& operator*=(DD& a, const DD& b) noexcept { return a = a * b; }
inline DD& operator/=(DD& a, const DD& b) noexcept { return a = a / b; }

inline bool operator<(const DD& a, const DD& b) noexcept {
    return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo);
}
inline bool operator>(const DD& a, const DD& b) noexcept { return b < a; }
inline bool operator<=(const DD& a, const DD& b) noexcept { return !(b < a); }
inline bool operator>=(const DD& a, const DD& b) noexcept { return !(a < b); }
inline bool operator==(const DD& a, const DD& b) noexcept { return a.hi == b.hi && a.lo == b.lo; }

inline DD abs(const DD& a) noexcept { return a.hi < 0.0 || (a.hi == 0.0 && a.lo < 0.0) ? -a : a; }

// sqrt(a) for a >= 0: one Newton step from the double root, which is
// correctly rounded, so the result is within about 2^-103.
inline DD sqrt(const DD& a) noexcept {
    if (a.hi <= 0.0) return DD(0.0);
    const double s = std::sqrt(a.hi);
    const DD r = a - DD(s) * DD(s);
    return renormalise(s, r.hi / (2.0 * s));
}

// a * 2^e exactly (no overflow or underflow assumed).
inline DD ldexp(const DD& a, int e) noexcept { return {std::ldexp(a.hi, e), std::ldexp(a.lo, e)}; }

}  // namespace bravolin
