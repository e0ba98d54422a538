// The kernel compiled for AVX-512 (eight 64-bit lanes); chosen at run time.
#include <immintrin.h>

#include <algorithm>

#include "pair_kernel.hpp"

// Only the code below targets AVX-512: the headers' inline functions, which
// the linker may share with other files, stay baseline.
#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's AVX-512 intrinsics pass a deliberately undefined vector as the
// unused merge operand, which its own warnings take for a read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace bravolin::detail {
namespace {

// Assumptions as for pair_products_any. As the AVX2 pass, with 32 registers:
// a left digit run against up to four right ones in one pass. Sixteen int32
// digits are read at a time, unwidened: vpmuldq multiplies the even ones in
// place and, after a shift by 32 bits, the odd ones. Integer sums: any
// grouping of the rows gives the same totals.
template <std::size_t NL, std::size_t NR>
void pair_pass(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
    static_assert(NL * NR + 2 * NL + 2 <= 32, "the pass must fit the registers");
    __m512i acc[NL][NR];
    for (std::size_t s = 0; s < NL; ++s) {
        for (std::size_t t = 0; t < NR; ++t) acc[s][t] = _mm512_setzero_si512();
    }
    std::size_t r = 0;
    for (; r + 16 <= rows; r += 16) {
        __m512i even[NL], odd[NL];
        for (std::size_t s = 0; s < NL; ++s) {
            even[s] = _mm512_loadu_si512(ld + s * rows + r);
            odd[s] = _mm512_srli_epi64(even[s], 32);
        }
        for (std::size_t t = 0; t < NR; ++t) {
            const __m512i x = _mm512_loadu_si512(rd + t * rows + r), x_odd = _mm512_srli_epi64(x, 32);
            for (std::size_t s = 0; s < NL; ++s) {
                acc[s][t] = _mm512_add_epi64(acc[s][t], _mm512_mul_epi32(even[s], x));
                acc[s][t] = _mm512_add_epi64(acc[s][t], _mm512_mul_epi32(odd[s], x_odd));
            }
        }
    }
    for (std::size_t s = 0; s < NL; ++s) {
        for (std::size_t t = 0; t < NR; ++t) {
            std::int64_t sum = _mm512_reduce_add_epi64(acc[s][t]);
            for (std::size_t q = r; q < rows; ++q) sum += static_cast<std::int64_t>(ld[s * rows + q]) * rd[t * rows + q];
            out[s * RIGHT_DIGITS + t] = sum;
        }
    }
}

template <std::size_t NL>
void pair_passes(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nr, std::int64_t* out) {
    constexpr std::size_t WIDE = NL <= 4 ? 4 : 3;
    const auto right = static_cast<std::size_t>(nr);
    for (std::size_t t = 0; t < right; t += WIDE) {
        const std::int32_t* run = rd + t * rows;
        switch (std::min(WIDE, right - t)) {
            case 1: pair_pass<NL, 1>(ld, run, rows, out + t); break;
            case 2: pair_pass<NL, 2>(ld, run, rows, out + t); break;
            case 3: pair_pass<NL, 3>(ld, run, rows, out + t); break;
            default:
                if constexpr (WIDE == 4) pair_pass<NL, 4>(ld, run, rows, out + t);
                break;
        }
    }
}

}  // namespace

void pair_products_avx512(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                          std::int64_t* out) {
    static_assert(LEFT_DIGITS == 5 && RIGHT_DIGITS == 4, "the kernel's cases cover 5 x 4 digits");
    switch (nl) {
        case 1: pair_passes<1>(ld, rd, rows, nr, out); break;
        case 2: pair_passes<2>(ld, rd, rows, nr, out); break;
        case 3: pair_passes<3>(ld, rd, rows, nr, out); break;
        case 4: pair_passes<4>(ld, rd, rows, nr, out); break;
        default: pair_passes<5>(ld, rd, rows, nr, out); break;
    }
}

}  // namespace bravolin::detail

#pragma GCC diagnostic pop
#pragma GCC pop_options
