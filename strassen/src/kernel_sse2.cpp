// The schoolbook kernel with 128-bit SSE2 vectors; kernel.hpp has the contract.
//
// SSE2 belongs to every x86-64, so this is the portable variant: it needs no
// target attribute and runs wherever the module loads.
#include <emmintrin.h>

#include <cstddef>

#include "kernel_blocking.hpp"
#include "strassen/kernel.hpp"

namespace strassen::detail {

namespace {

using std::size_t;

// Doubles in one xmm register.
constexpr size_t LANES = 2;
// Register block: MR rows of c by NV vectors of its columns. 4 x 2 keeps 8
// accumulators, two vectors of b's row, a broadcast of a and a product in 12
// of the 16 xmm registers (SSE's two-operand multiply needs the copy); 8
// independent sums hide the add latency on both add pipes.
constexpr size_t MR = 4;
constexpr size_t NV = 2;

// Assumptions: c's block is R rows by V vectors of columns; if Tail, the last
// vector has only its low lane inside the matrices, and only that lane is
// loaded and stored (the high lane computes on zeros and is dropped). Lane l of acc[r][v]
// is c(r, v*LANES + l): it starts at +0.0 and adds a(r, p) * b(p, v*LANES + l)
// for p ascending, one rounded product and one rounded sum per step, exactly
// the scalar loop's order. Lanes never mix, so no sum is split.
template <size_t R, size_t V, bool Tail>
void block(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb, double* c,
           size_t ldc, size_t k, size_t /*tail: always 1*/) {
    // The loops over r and v are unrolled early so that the accumulators become
    // registers; left to the late unroller they live on the stack.
    __m128d acc[R][V];
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) acc[r][v] = _mm_setzero_pd();
    for (size_t p = 0; p < k; ++p) {
        const double* bp = b + p * ldb;
        __m128d bv[V];
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v)
            bv[v] = Tail && v + 1 == V ? _mm_load_sd(bp + v * LANES)
                                       : _mm_loadu_pd(bp + v * LANES);
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            const __m128d ar = _mm_set1_pd(a[r * a_row + p * a_depth]);
#pragma GCC unroll 16
            for (size_t v = 0; v < V; ++v)
                acc[r][v] = _mm_add_pd(acc[r][v], _mm_mul_pd(ar, bv[v]));
        }
    }
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) {
            double* cp = c + r * ldc + v * LANES;
            if (Tail && v + 1 == V)
                _mm_store_sd(cp, acc[r][v]);
            else
                _mm_storeu_pd(cp, acc[r][v]);
        }
    }
}

struct Sse2 {
    static constexpr size_t LANES = strassen::detail::LANES;
    static constexpr size_t MR = strassen::detail::MR;
    static constexpr size_t NV = strassen::detail::NV;
    template <size_t R, size_t V, bool Tail>
    static constexpr blocking::BlockFn block = &strassen::detail::block<R, V, Tail>;
};

}  // namespace

void kernel_mult_sse2(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb,
                      double* c, size_t ldc, size_t m, size_t n, size_t k) {
    blocking::Driver<Sse2>::run(a, a_row, a_depth, b, ldb, c, ldc, m, n, k);
}

}  // namespace strassen::detail
