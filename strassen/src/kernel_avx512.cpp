// The schoolbook kernel with 512-bit AVX-512F vectors; kernel.hpp has the
// contract.
//
// Only the functions marked with the target attribute contain AVX-512
// instructions, and they have internal linkage: nothing shared with other
// translation units (inline library code, templates) is compiled for AVX-512, so
// a CPU without it never meets an AVX-512 instruction unless this variant is
// called. Multiply and add stay separate instructions: -ffp-contract=off keeps
// the compiler from fusing them, and no FMA intrinsic is used.
#include <immintrin.h>

#include <cstddef>

#include "kernel_blocking.hpp"
#include "strassen/kernel.hpp"

namespace strassen::detail {

namespace {

using std::size_t;

// Doubles in one zmm register.
constexpr size_t LANES = 8;
// Register block: MR rows of c by NV vectors of its columns. 8 x 2 keeps 16
// accumulators, two vectors of b's row, a broadcast of a and a product in 20 of
// the 32 zmm registers; 16 independent sums hide the add latency on both add
// pipes. 8 rows and 16 columns divide the usual side of 64.
constexpr size_t MR = 8;
constexpr size_t NV = 2;

// Lanes [0, tail) enabled.
__mmask8 lane_mask(size_t tail) { return static_cast<__mmask8>((1u << tail) - 1u); }

// Assumptions: c's block is R rows by V vectors of columns; if Tail, the last
// vector has only its first `tail` lanes (1 to 7) inside the matrices, and the
// masked loads and stores touch no memory in the others. Lane l of acc[r][v]
// is c(r, v*LANES + l): it starts at +0.0 and adds a(r, p) * b(p, v*LANES + l)
// for p ascending, one rounded product and one rounded sum per step, exactly
// the scalar loop's order. Lanes never mix, so no sum is split.
template <size_t R, size_t V, bool Tail>
[[gnu::target("avx512f")]] void block(const double* a, size_t a_row, size_t a_depth,
                                      const double* b, size_t ldb, double* c, size_t ldc,
                                      size_t k, size_t tail) {
    const __mmask8 mask = Tail ? lane_mask(tail) : __mmask8{0};
    // The loops over r and v are unrolled early so that the accumulators become
    // registers; left to the late unroller they live on the stack.
    __m512d acc[R][V];
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) acc[r][v] = _mm512_setzero_pd();
    for (size_t p = 0; p < k; ++p) {
        const double* bp = b + p * ldb;
        __m512d bv[V];
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v)
            bv[v] = Tail && v + 1 == V ? _mm512_maskz_loadu_pd(mask, bp + v * LANES)
                                       : _mm512_loadu_pd(bp + v * LANES);
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            const __m512d ar = _mm512_set1_pd(a[r * a_row + p * a_depth]);
#pragma GCC unroll 16
            for (size_t v = 0; v < V; ++v)
                acc[r][v] = _mm512_add_pd(acc[r][v], _mm512_mul_pd(ar, bv[v]));
        }
    }
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) {
            double* cp = c + r * ldc + v * LANES;
            if (Tail && v + 1 == V)
                _mm512_mask_storeu_pd(cp, mask, acc[r][v]);
            else
                _mm512_storeu_pd(cp, acc[r][v]);
        }
    }
}

struct Avx512 {
    static constexpr size_t LANES = strassen::detail::LANES;
    static constexpr size_t MR = strassen::detail::MR;
    static constexpr size_t NV = strassen::detail::NV;
    template <size_t R, size_t V, bool Tail>
    static constexpr blocking::BlockFn block = &strassen::detail::block<R, V, Tail>;
};

}  // namespace

void kernel_mult_avx512(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb,
                      double* c, size_t ldc, size_t m, size_t n, size_t k) {
    blocking::Driver<Avx512>::run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen::detail
