// The schoolbook kernel with 256-bit AVX2 vectors; kernel.hpp has the contract.
//
// Only the functions marked with the target attribute contain AVX2
// instructions, and they have internal linkage: nothing shared with other
// translation units (inline library code, templates) is compiled for AVX2, so
// a CPU without it never meets an AVX2 instruction unless this variant is
// called. Multiply and add stay separate instructions: -ffp-contract=off keeps
// the compiler from fusing them, and no FMA intrinsic is used.
#include <immintrin.h>

#include <cstddef>

#include "kernel_blocking.hpp"
#include "strassen/kernel.hpp"

namespace strassen::detail {

namespace {

using std::size_t;

// Doubles in one ymm register.
constexpr size_t LANES = 4;
// Register block: MR rows of c by NV vectors of its columns. 6 x 2 keeps 12
// accumulators, two vectors of b's row, a broadcast of a and a product in the
// 16 ymm registers; the 12 independent sums hide the add latency on both add
// pipes. 8 columns divide the usual width of 64.
constexpr size_t MR = 6;
constexpr size_t NV = 2;

// Lanes [0, tail) enabled, the sign bit of each 64-bit element being the flag.
[[gnu::target("avx2")]] __m256i lane_mask(size_t tail) {
    const __m256i index = _mm256_set_epi64x(3, 2, 1, 0);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(tail)), index);
}

// Assumptions: c's block is R rows by V vectors of columns; if Tail, the last
// vector has only its first `tail` lanes (1 to 3) inside the matrices, and the
// masked loads and stores touch no memory in the others. Lane l of acc[r][v]
// is c(r, v*LANES + l): it starts at +0.0 and adds a(r, p) * b(p, v*LANES + l)
// for p ascending, one rounded product and one rounded sum per step, exactly
// the scalar loop's order. Lanes never mix, so no sum is split.
template <size_t R, size_t V, bool Tail>
[[gnu::target("avx2")]] void block(const double* a, size_t a_row, size_t a_depth,
                                   const double* b, size_t ldb, double* c, size_t ldc,
                                   size_t k, size_t tail) {
    const __m256i mask = Tail ? lane_mask(tail) : _mm256_setzero_si256();
    // The loops over r and v are unrolled early so that the accumulators become
    // registers; left to the late unroller they live on the stack.
    __m256d acc[R][V];
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) acc[r][v] = _mm256_setzero_pd();
    for (size_t p = 0; p < k; ++p) {
        const double* bp = b + p * ldb;
        __m256d bv[V];
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v)
            bv[v] = Tail && v + 1 == V ? _mm256_maskload_pd(bp + v * LANES, mask)
                                       : _mm256_loadu_pd(bp + v * LANES);
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            const __m256d ar = _mm256_broadcast_sd(a + r * a_row + p * a_depth);
#pragma GCC unroll 16
            for (size_t v = 0; v < V; ++v)
                acc[r][v] = _mm256_add_pd(acc[r][v], _mm256_mul_pd(ar, bv[v]));
        }
    }
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) {
            double* cp = c + r * ldc + v * LANES;
            if (Tail && v + 1 == V)
                _mm256_maskstore_pd(cp, mask, acc[r][v]);
            else
                _mm256_storeu_pd(cp, acc[r][v]);
        }
    }
}

struct Avx2 {
    static constexpr size_t LANES = strassen::detail::LANES;
    static constexpr size_t MR = strassen::detail::MR;
    static constexpr size_t NV = strassen::detail::NV;
    template <size_t R, size_t V, bool Tail>
    static constexpr blocking::BlockFn block = &strassen::detail::block<R, V, Tail>;
};

}  // namespace

void kernel_mult_avx2(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb,
                      double* c, size_t ldc, size_t m, size_t n, size_t k) {
    blocking::Driver<Avx2>::run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen::detail
