// The kernel compiled for AVX2 (four 64-bit lanes); chosen at run time.
#include <immintrin.h>

#include "pair_kernel.hpp"

namespace bravolin::detail {
namespace {

// Assumptions as for pair_products_any. One pass takes NL left digits
// against NR right digits (out indexed as there, from the first of those right
// digits): the NL * NR accumulators, the NL left digits and one right digit
// stay in the sixteen vector registers, four rows to a register, each lane a
// 64-bit sum. The compiler's own vectorisation of the portable loop runs out
// of registers and keeps the sums in memory. Integer sums: any grouping of
// the rows gives the same totals.
struct Avx2Pass {
    static constexpr std::size_t wide(std::size_t nl) { return nl <= 3 ? 3 : 2; }

    template <std::size_t NL, std::size_t NR>
    static void run(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
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
};

}  // namespace

void pair_products_avx2(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                        std::int64_t* out) {
    digit_products<Avx2Pass>(ld, rd, rows, nl, nr, out);
}

const Kernels AVX2_KERNELS = {
    &pair_products_avx2,
    &plain_digits<LEFT_DIGITS>,
    &plain_digits<RIGHT_DIGITS>,
    &pair_digits<LEFT_DIGITS>,
    &exact_products,
};

}  // namespace bravolin::detail
