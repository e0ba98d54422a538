// The digit-product kernel: for one left column's nl digit runs and one right
// column's nr, the sums over a block of rows of every product of a left and a
// right digit. Compiled once per instruction set (pair_kernel_*.cpp).
//
// Assumptions: ld[s * rows + r] and rd[t * rows + r] are int32 digits below
// 2^26 in magnitude; rows <= BLOCK_ROWS, so each sum fits in 64 bits;
// out[s * RIGHT_DIGITS + t] receives the sums for s < nl, t < nr. Integer
// sums: the vector width and the order of the rows cannot change them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bravolin/moments.hpp"

namespace bravolin::detail {

using PairKernel = void (*)(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                            std::int64_t* out);

void pair_products_baseline(const std::int32_t*, const std::int32_t*, std::size_t, int, int, std::int64_t*);
void pair_products_avx2(const std::int32_t*, const std::int32_t*, std::size_t, int, int, std::int64_t*);

// The kernel for this CPU, or the one BRAVOLIN_ENGINE_ISA names ("baseline"
// or "avx2") when this CPU can run it: the bits are the same either way.
PairKernel pair_kernel();

// Internal linkage: each instruction set's file keeps its own copies, which
// the linker must not merge.
namespace {

template <int NL, int NR>
void pair_block(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
    std::int64_t sum[static_cast<std::size_t>(NL)][static_cast<std::size_t>(NR)] = {};
    for (std::size_t r = 0; r < rows; ++r) {
        for (int s = 0; s < NL; ++s) {
            const std::int64_t l = ld[static_cast<std::size_t>(s) * rows + r];
            for (int t = 0; t < NR; ++t) sum[s][t] += l * rd[static_cast<std::size_t>(t) * rows + r];
        }
    }
    for (int s = 0; s < NL; ++s) {
        for (int t = 0; t < NR; ++t) out[s * RIGHT_DIGITS + t] = sum[s][t];
    }
}

template <int NL>
void pair_row(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nr, std::int64_t* out) {
    switch (nr) {
        case 1: pair_block<NL, 1>(ld, rd, rows, out); break;
        case 2: pair_block<NL, 2>(ld, rd, rows, out); break;
        case 3: pair_block<NL, 3>(ld, rd, rows, out); break;
        default: pair_block<NL, 4>(ld, rd, rows, out); break;
    }
}

[[maybe_unused]] void pair_products_any(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                              std::int64_t* out) {
    static_assert(LEFT_DIGITS == 5 && RIGHT_DIGITS == 4, "the kernel's cases cover 5 x 4 digits");
    switch (nl) {
        case 1: pair_row<1>(ld, rd, rows, nr, out); break;
        case 2: pair_row<2>(ld, rd, rows, nr, out); break;
        case 3: pair_row<3>(ld, rd, rows, nr, out); break;
        case 4: pair_row<4>(ld, rd, rows, nr, out); break;
        default: pair_row<5>(ld, rd, rows, nr, out); break;
    }
}

}  // namespace

}  // namespace bravolin::detail
