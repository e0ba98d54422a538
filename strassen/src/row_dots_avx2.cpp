// Dot products of eight rows with one column in AVX2 registers; row_dots.hpp
// has the contract.
//
// Only the function marked with the target attribute holds AVX2 instructions;
// it is reached only through row_dots_kernel(), after the CPU check. Multiply
// and add stay separate instructions (-ffp-contract=off, no FMA intrinsic).
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "strassen/kernel.hpp"
#include "strassen/row_dots.hpp"

namespace strassen::detail {

namespace {

using std::size_t;

// Columns j..j+3 of four rows, v[i] row i's four, added to the rows' sums
// in acc's lanes (lane i row i's): the 4 x 4 block is transposed in
// registers into column vectors, added in column order, so that each lane
// sees exactly s = s + x(r, j) * w[j] for j ascending, as the scalar loop
// does. Lanes never mix.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d add_columns(__m256d acc,
                                                                       const __m256d (&wv)[4],
                                                                       const __m256d* v) {
    const __m256d t0 = _mm256_unpacklo_pd(v[0], v[1]);  // (r0 j0, r1 j0, r0 j2, r1 j2)
    const __m256d t1 = _mm256_unpackhi_pd(v[0], v[1]);  // (r0 j1, r1 j1, r0 j3, r1 j3)
    const __m256d t2 = _mm256_unpacklo_pd(v[2], v[3]);
    const __m256d t3 = _mm256_unpackhi_pd(v[2], v[3]);
    acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t0, t2, 0x20), wv[0]));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t1, t3, 0x20), wv[1]));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t0, t2, 0x31), wv[2]));
    return _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t1, t3, 0x31), wv[3]));
}

// Eight rows' vectors at columns j..j+3 added, four rows to each of acc's two.
[[gnu::target("avx2"), gnu::always_inline]] inline void add_block(
    __m256d (&acc)[2], const double* w, const __m256d (&v)[ROW_DOTS_BLOCK]) {
    const __m256d wv[4] = {_mm256_broadcast_sd(w), _mm256_broadcast_sd(w + 1),
                           _mm256_broadcast_sd(w + 2), _mm256_broadcast_sd(w + 3)};
    acc[0] = add_columns(acc[0], wv, v);
    acc[1] = add_columns(acc[1], wv, v + 4);
}

// Assumptions: the rows' columns in blocks of four (add_columns); those past
// the last whole block continue each row's sum in scalar code, in the same
// order. Without CHECK the values are not compared with the bound (operands
// formed from checked ones need no verdict) and the answer is false.
template <bool CHECK>
[[gnu::target("avx2"), gnu::always_inline]] inline bool row_dots_body(
    const char* x, std::ptrdiff_t row_stride, size_t cols, const double* w, double bound,
    double* out) {
    const double* row[ROW_DOTS_BLOCK];
    for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
        row[r] = reinterpret_cast<const double*>(x + static_cast<std::ptrdiff_t>(r) * row_stride);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d limit = _mm256_set1_pd(bound);
    __m256d outside = _mm256_setzero_pd();
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    size_t j = 0;
    for (; j + 4 <= cols; j += 4) {
        __m256d v[ROW_DOTS_BLOCK];
#pragma GCC unroll 8
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r) {
            v[r] = _mm256_loadu_pd(row[r] + j);
            // Not (|v| <= bound): true for NaN too.
            if constexpr (CHECK)
                outside = _mm256_or_pd(
                    outside, _mm256_cmp_pd(_mm256_andnot_pd(sign, v[r]), limit, _CMP_NLE_UQ));
        }
        add_block(acc, w + j, v);
    }
    alignas(32) double sums[ROW_DOTS_BLOCK];
    _mm256_store_pd(sums, acc[0]);
    _mm256_store_pd(sums + 4, acc[1]);
    bool any = _mm256_movemask_pd(outside) != 0;
    for (; j < cols; ++j)
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r) {
            double v;
            std::memcpy(&v, row[r] + j, sizeof v);  // the row need not be aligned
            if constexpr (CHECK) any = any || !(v <= bound && v >= -bound);
            sums[r] = sums[r] + v * w[j];
        }
    for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r) out[r] = sums[r];
    return any;
}

[[gnu::target("avx2")]] bool row_dots_avx2(const char* x, std::ptrdiff_t row_stride, size_t cols,
                                           const double* w, double bound, double* out) {
    return row_dots_body<true>(x, row_stride, cols, w, bound, out);
}
[[gnu::target("avx2")]] bool row_dots_avx2_unchecked(const char* x, std::ptrdiff_t row_stride,
                                                     size_t cols, const double* w, double bound,
                                                     double* out) {
    return row_dots_body<false>(x, row_stride, cols, w, bound, out);
}

// Lanes l < n of the four at p, the others +0.0; nothing from p + n on is read.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d load_first(const double* p,
                                                                       std::ptrdiff_t n) {
    if (n >= 4) return _mm256_loadu_pd(p);
    if (n <= 0) return _mm256_setzero_pd();
    const __m256i lanes = _mm256_set_epi64x(3, 2, 1, 0);
    return _mm256_maskload_pd(p, _mm256_cmpgt_epi64(_mm256_set1_epi64x(n), lanes));
}

template <bool SUBTRACT>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d combine(__m256d x, __m256d y) {
    return SUBTRACT ? _mm256_sub_pd(x, y) : _mm256_add_pd(x, y);
}

// Assumptions: as row_dots_body, each row's vector the formed x + y (x - y).
// Lanes past the wider term hold +0.0 and meet w's +0.0 padding, and
// s + (+0.0 * +0.0) is s for every s a sum from +0.0 can be, so a last
// partial block runs whole. Past the narrower term the wider one is used
// alone: x +- 0.0 is x, and 0.0 - y is -y, but for the sign of a zero, which
// no such sum can tell (s + (+-0.0) is s, s never being -0.0).
template <bool SUBTRACT>
[[gnu::target("avx2"), gnu::always_inline]] inline void row_dots_pair_body(
    const double* const* x_in, size_t x_cols, const double* const* y_in, size_t y_cols,
    const double* w, double* out) {
    alignas(32) static const double zeros[ROW_DOTS_PAIR_COLS] = {};
    const double* x[ROW_DOTS_BLOCK];
    const double* y[ROW_DOTS_BLOCK];
    for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r) {
        x[r] = x_in[r] != nullptr ? x_in[r] : zeros;
        y[r] = y_in[r] != nullptr ? y_in[r] : zeros;
    }
    const size_t both = std::min(x_cols, y_cols), cols = std::max(x_cols, y_cols);
    const auto left = [](size_t count, size_t j) {
        return static_cast<std::ptrdiff_t>(count) - static_cast<std::ptrdiff_t>(j);
    };
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    __m256d v[ROW_DOTS_BLOCK];
    size_t j = 0;
    for (; j + 4 <= both; j += 4) {
#pragma GCC unroll 8
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
            v[r] = combine<SUBTRACT>(_mm256_loadu_pd(x[r] + j), _mm256_loadu_pd(y[r] + j));
        add_block(acc, w + j, v);
    }
    if (j < both) {
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
            v[r] = combine<SUBTRACT>(load_first(x[r] + j, left(x_cols, j)),
                                     load_first(y[r] + j, left(y_cols, j)));
        add_block(acc, w + j, v);
        j += 4;
    }
    const bool x_wider = x_cols >= y_cols;
    const double* const* wide = x_wider ? x : y;
    const __m256d flip = _mm256_set1_pd(SUBTRACT && !x_wider ? -0.0 : 0.0);
    for (; j + 4 <= cols; j += 4) {
#pragma GCC unroll 8
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
            v[r] = _mm256_xor_pd(_mm256_loadu_pd(wide[r] + j), flip);
        add_block(acc, w + j, v);
    }
    if (j < cols) {
        for (size_t r = 0; r < ROW_DOTS_BLOCK; ++r)
            v[r] = _mm256_xor_pd(load_first(wide[r] + j, left(cols, j)), flip);
        add_block(acc, w + j, v);
    }
    _mm256_storeu_pd(out, acc[0]);
    _mm256_storeu_pd(out + 4, acc[1]);
}

[[gnu::target("avx2")]] void row_dots_pair_avx2(const double* const* x, size_t x_cols,
                                                const double* const* y, size_t y_cols,
                                                bool subtract, const double* w, double* out) {
    if (subtract) return row_dots_pair_body<true>(x, x_cols, y, y_cols, w, out);
    row_dots_pair_body<false>(x, x_cols, y, y_cols, w, out);
}

}  // namespace

RowDotsPairFn row_dots_pair_kernel() {
    static const bool vector = kernel_supported(KernelIsa::avx2);
    return vector ? &row_dots_pair_avx2 : nullptr;
}

RowDotsFn row_dots_kernel(bool checked) {
    static const bool vector = kernel_supported(KernelIsa::avx2);
    if (!vector) return nullptr;
    return checked ? &row_dots_avx2 : &row_dots_avx2_unchecked;
}

}  // namespace strassen::detail
