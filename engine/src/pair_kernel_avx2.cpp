// The kernel compiled for AVX2 (four 64-bit lanes); chosen at run time.
#include <immintrin.h>

#include <algorithm>

#include "pair_kernel.hpp"

namespace bravolin::detail {
namespace {

// Assumptions as for pair_products_any. One pass takes NL left digits against
// NR right digits (out indexed as there, from the first of those right
// digits): the NL * NR accumulators, the NL left digits and one right digit
// stay in the sixteen vector registers, four rows to a register, each lane a
// 64-bit sum. The compiler's own vectorisation of the portable loop runs out
// of registers and keeps the sums in memory. Integer sums: any grouping of
// the rows gives the same totals.
template <std::size_t NL, std::size_t NR>
void pair_pass(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
    static_assert(NL * NR + NL + 1 <= 16, "the pass must fit the registers");
    __m256i acc[NL][NR];
    for (std::size_t s = 0; s < NL; ++s) {
        for (std::size_t t = 0; t < NR; ++t) acc[s][t] = _mm256_setzero_si256();
    }
    const auto digits = [rows](const std::int32_t* base, std::size_t run, std::size_t r) {
        // Four int32 digits widened to 64-bit lanes, sign extended, so that
        // vpmuldq's signed 32 x 32 -> 64-bit product reads them whole.
        const auto* at = reinterpret_cast<const __m128i*>(base + run * rows + r);
        return _mm256_cvtepi32_epi64(_mm_loadu_si128(at));
    };
    std::size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
        __m256i l[NL];
        for (std::size_t s = 0; s < NL; ++s) l[s] = digits(ld, s, r);
        for (std::size_t t = 0; t < NR; ++t) {
            const __m256i x = digits(rd, t, r);
            for (std::size_t s = 0; s < NL; ++s) acc[s][t] = _mm256_add_epi64(acc[s][t], _mm256_mul_epi32(l[s], x));
        }
    }
    for (std::size_t s = 0; s < NL; ++s) {
        for (std::size_t t = 0; t < NR; ++t) {
            alignas(32) std::int64_t lanes[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[s][t]);
            std::int64_t sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
            for (std::size_t q = r; q < rows; ++q) sum += static_cast<std::int64_t>(ld[s * rows + q]) * rd[t * rows + q];
            out[s * RIGHT_DIGITS + t] = sum;
        }
    }
}

// The right digits in passes of as many as the registers allow beside NL left ones.
template <std::size_t NL>
void pair_passes(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nr, std::int64_t* out) {
    constexpr std::size_t WIDE = NL <= 3 ? 3 : 2;
    const auto right = static_cast<std::size_t>(nr);
    for (std::size_t t = 0; t < right; t += WIDE) {
        const std::int32_t* run = rd + t * rows;
        switch (std::min(WIDE, right - t)) {
            case 1: pair_pass<NL, 1>(ld, run, rows, out + t); break;
            case 2: pair_pass<NL, 2>(ld, run, rows, out + t); break;
            default:
                if constexpr (WIDE == 3) pair_pass<NL, WIDE>(ld, run, rows, out + t);
                break;
        }
    }
}

}  // namespace

void pair_products_avx2(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
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

const Kernels AVX2_KERNELS = {
    &pair_products_avx2,
    &plain_digits<LEFT_DIGITS>,
    &plain_digits<RIGHT_DIGITS>,
    &pair_digits<LEFT_DIGITS>,
    &exact_products,
};

}  // namespace bravolin::detail
