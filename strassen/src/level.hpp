// One level of Strassen's algorithm, defined once: the fourteen operands in
// their fixed order and the fixed combination of the seven products. The
// dense recursion (mult.cpp, and par_mult.cpp around it) and the region path
// (region.cpp) both read these tables, so they cannot drift apart; the order
// of every operation, which fixes the rounding, is here.
#pragma once

#include <array>
#include <cstddef>

namespace strassen::detail::level {

// Quadrants of a square of even side 2h: X11 top left, X12 top right, X21
// bottom left, X22 bottom right.
inline constexpr std::size_t X11 = 0, X12 = 1, X21 = 2, X22 = 3;
// Which half of the rows (0 top, 1 bottom) and of the columns quadrant q is,
// and where it starts in a square of half side h and row stride ld.
constexpr std::size_t row_half(std::size_t q) noexcept { return q >> 1; }
constexpr std::size_t col_half(std::size_t q) noexcept { return q & 1; }
constexpr std::size_t offset(std::size_t q, std::size_t h, std::size_t ld) noexcept {
    return row_half(q) * h * ld + col_half(q) * h;
}

enum class Op { copy, add, sub };

// An operand: quadrant q1, or q1 op q2 elementwise, q1 the left IEEE term.
struct OperandSpec {
    std::size_t q1;
    Op op;
    std::size_t q2;
};

// Left operands of M1..M7 (from A), then right operands (from B); the dense
// path builds them in this order, left ones first.
inline constexpr OperandSpec LEFT[7] = {
    {X11, Op::add, X22},  // M1: A11 + A22
    {X21, Op::add, X22},  // M2: A21 + A22
    {X11, Op::copy, 0},   // M3: A11
    {X22, Op::copy, 0},   // M4: A22
    {X11, Op::add, X12},  // M5: A11 + A12
    {X21, Op::sub, X11},  // M6: A21 - A11
    {X12, Op::sub, X22},  // M7: A12 - A22
};
inline constexpr OperandSpec RIGHT[7] = {
    {X11, Op::add, X22},  // M1: B11 + B22
    {X11, Op::copy, 0},   // M2: B11
    {X12, Op::sub, X22},  // M3: B12 - B22
    {X21, Op::sub, X11},  // M4: B21 - B11
    {X22, Op::copy, 0},   // M5: B22
    {X11, Op::add, X12},  // M6: B11 + B12
    {X21, Op::add, X22},  // M7: B21 + B22
};

// The combination: quadrant q of C is its chain's first product, then each
// further term added (+1) or subtracted (-1) in order, one IEEE operation per
// element and term: C11 = ((M7 - M5) + M4) + M1, C12 = M5 + M3, C21 = M4 + M2,
// C22 = ((M1 - M2) + M3) + M6. Every chain starts with an added product that
// no later chain reads, so the chains can be evaluated in place, in quadrant
// order, each into its first product (M7, M5, M4, M1).
struct Term {
    std::size_t product;  // 0-based: M1 is 0
    int sign;
};
struct Chain {
    std::size_t length;
    Term terms[4];
};
inline constexpr Chain CHAINS[4] = {{4, {{6, +1}, {4, -1}, {3, +1}, {0, +1}}},
                                    {2, {{4, +1}, {2, +1}, {}, {}}},
                                    {2, {{3, +1}, {1, +1}, {}, {}}},
                                    {4, {{0, +1}, {1, -1}, {2, +1}, {5, +1}}}};
// The product that holds quadrant q of C once its chain is evaluated in place.
constexpr std::size_t result_of(std::size_t q) noexcept { return CHAINS[q].terms[0].product; }

// The products in an order in which every chain meets its terms in its own
// order (M7, M5, M4, M1, M2, M3, M6): each product can join every quadrant
// that reads it as soon as it exists, and is not needed after.
constexpr std::array<std::size_t, 7> chain_order() noexcept {
    std::array<std::size_t, 7> order{};
    bool done[7] = {};
    for (std::size_t n = 0; n < 7; ++n)
        for (std::size_t k = 0; k < 7; ++k) {
            bool ready = !done[k];
            for (const Chain& c : CHAINS)
                for (std::size_t t = 0; t < c.length; ++t)
                    for (std::size_t u = 0; u < t && c.terms[t].product == k; ++u)
                        ready = ready && done[c.terms[u].product];
            if (ready) {
                order[n] = k;
                done[k] = true;
                break;
            }
        }
    return order;
}
inline constexpr std::array<std::size_t, 7> ORDER = chain_order();
constexpr bool each_once(const std::array<std::size_t, 7>& order) noexcept {
    unsigned seen = 0;
    for (std::size_t k : order) seen |= 1u << k;
    return seen == 0x7f;
}
static_assert(each_once(ORDER), "every chain's terms can come in its own order");

// Tall operands hold data in some quadrants only: a set of them, bit q for
// quadrant q. A term without data is an implicit +0.0; since no product is
// -0.0, a chain without its all-zero products has the same bits.
constexpr unsigned quads(std::size_t q1, std::size_t q2) noexcept { return 1u << q1 | 1u << q2; }
constexpr bool holds(unsigned set, std::size_t q) noexcept { return (set >> q & 1) != 0; }

// The quadrant an operand is, unchanged, when only one term holds data; 4
// when it is a sum, a negated quadrant or all zero.
constexpr std::size_t sole_quadrant(const OperandSpec& s, unsigned set) noexcept {
    const bool first = holds(set, s.q1), second = s.op != Op::copy && holds(set, s.q2);
    return first && !second ? s.q1 : second && !first && s.op == Op::add ? s.q2 : 4;
}

// Quadrant c's chain without the products of an operand that holds no data,
// for A's data in quadrants `a` and B's in `b`.
constexpr Chain present_chain(std::size_t c, unsigned a, unsigned b) noexcept {
    auto reads_data = [](const OperandSpec& s, unsigned set) {
        return holds(set, s.q1) || (s.op != Op::copy && holds(set, s.q2));
    };
    Chain out{};
    for (std::size_t t = 0; t < CHAINS[c].length; ++t) {
        const Term& term = CHAINS[c].terms[t];
        if (reads_data(LEFT[term.product], a) && reads_data(RIGHT[term.product], b))
            out.terms[out.length++] = term;
    }
    return out;
}

}  // namespace strassen::detail::level
