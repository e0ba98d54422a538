// The register-blocked driver shared by the vector variants of the kernel.
//
// A variant supplies a micro-kernel `block<R, V, Tail>`: c's block of R rows
// by V vectors of columns, the last vector holding only `tail` columns inside
// the matrices when Tail. The driver tiles c with such blocks, picking the
// instantiation for each leftover height and width from a table, so that every
// remainder runs the same per-lane arithmetic as a full block. The driver
// itself is compiled without any target attribute: it only calls the variant's
// blocks through the table.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

namespace strassen::detail::blocking {

// a(r, p) is a[r * a_row + p * a_depth].
using BlockFn = void (*)(const double* a, std::size_t a_row, std::size_t a_depth, const double* b,
                         std::size_t ldb, double* c, std::size_t ldc, std::size_t k,
                         std::size_t tail);

// Isa: LANES (doubles in a vector), MR (rows of a block), NV (vectors of a
// block), and the variable template `block<R, V, Tail>` naming a BlockFn.
template <class Isa>
struct Driver {
    static constexpr std::size_t LANES = Isa::LANES;
    static constexpr std::size_t MR = Isa::MR;
    static constexpr std::size_t NR = Isa::NV * LANES;

    // TABLE[w - 1][h - 1] computes a block h rows high and w columns wide.
    template <std::size_t W, std::size_t... I>
    static constexpr std::array<BlockFn, MR> of_width(std::index_sequence<I...>) {
        return {Isa::template block<I + 1, (W + LANES - 1) / LANES, W % LANES != 0>...};
    }
    template <std::size_t... I>
    static constexpr std::array<std::array<BlockFn, MR>, NR> make_table(std::index_sequence<I...>) {
        return {of_width<I + 1>(std::make_index_sequence<MR>{})...};
    }
    static constexpr auto TABLE = make_table(std::make_index_sequence<NR>{});

    // Row strips outside, column blocks inside: a strip of a (MR rows by k)
    // stays in L1 while b passes it once per strip.
    static void run(const double* a, std::size_t a_row, std::size_t a_depth, const double* b,
                    std::size_t ldb, double* c, std::size_t ldc, std::size_t m, std::size_t n,
                    std::size_t k) {
        for (std::size_t i = 0; i < m; i += MR) {
            const std::size_t h = m - i < MR ? m - i : MR;
            for (std::size_t j = 0; j < n; j += NR) {
                const std::size_t w = n - j < NR ? n - j : NR;
                const std::size_t tail = w - (w - 1) / LANES * LANES;
                TABLE[w - 1][h - 1](a + i * a_row, a_row, a_depth, b + j, ldb, c + i * ldc + j,
                                    ldc, k, tail);
            }
        }
    }
};

}  // namespace strassen::detail::blocking
