// Error-free transformations: a rounded operation and its exact error, both
// doubles, with a + b (or a * b) equal to their sum exactly.
//
// Assumptions: IEEE double, round to nearest, no contraction of a*b+c into an
// FMA (the build sets -ffp-contract=off), no overflow. two_product splits by
// Dekker's method rather than an FMA, so the bits need no FMA hardware; where
// the product's error would underflow (|a*b| below about 2^-969) it is not
// exact, which no caller of this library meets on data within 2^±480.
#pragma once

namespace bravolin {

// s + e == a + b exactly, s == fl(a + b). Any order of magnitudes.
struct Sum {
    double s, e;
};
inline Sum two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// As two_sum, for |a| >= |b| (or a == 0).
inline Sum fast_two_sum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}

// hi + lo == a exactly, each with at most 26 significant bits.
struct Split {
    double hi, lo;
};
inline Split split(double a) noexcept {
    constexpr double factor = 134217729.0;  // 2^27 + 1
    const double t = factor * a;
    const double hi = t - (t - a);
    return {hi, a - hi};
}

// p + e == a * b exactly, p == fl(a * b).
struct Product {
    double p, e;
};
inline Product two_product(double a, double b) noexcept {
    const double p = a * b;
    const Split x = split(a);
    const Split y = split(b);
    const double e = ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo;
    return {p, e};
}

}  // namespace bravolin
