// The kernel compiled for AVX-512 (eight 64-bit lanes); chosen at run time.
#include <immintrin.h>

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
struct Avx512Pass {
    static constexpr std::size_t wide(std::size_t nl) { return nl <= 4 ? 4 : 3; }

    template <std::size_t NL, std::size_t NR>
    static void run(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
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
};

}  // namespace

void pair_products_avx512(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                          std::int64_t* out) {
    digit_products<Avx512Pass>(ld, rd, rows, nl, nr, out);
}

}  // namespace bravolin::detail

#pragma GCC diagnostic pop
#pragma GCC pop_options
