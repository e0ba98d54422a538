// An entry of the moments as the exact number it stands for: an integer
// times a power of two.
#pragma once

#include <cstddef>

#include "bravolin/big_integer.hpp"
#include "bravolin/moments.hpp"

namespace bravolin::detail {

struct Exact {
    BigInt value;
    int exponent = 0;
};

// Entry (i, j), i <= j: the digit-pair sums shifted into one integer.
Exact exact_entry(const Moments& m, std::size_t i, std::size_t j);

// Exact sums, differences and products, aligned to the lower exponent.
Exact add(const Exact& a, const Exact& b);
Exact negate(const Exact& a);
Exact mul(const Exact& a, const Exact& b);

// A double exactly.
Exact exact_double(double v);

}  // namespace bravolin::detail
