// The engine's hot loops, compiled once per instruction set
// (pair_kernel_*.cpp) and picked at run time: cutting values into digits, and
// the digit-product kernel. Every one gives the same bits at any vector width.
//
// The digit-product kernel: for one left column's nl digit runs and one right
// column's nr, the sums over a block of rows of every product of a left and a
// right digit. Assumptions: ld[s * rows + r] and rd[t * rows + r] are int32 digits below
// 2^26 in magnitude; rows <= BLOCK_ROWS, so each sum fits in 64 bits;
// out[s * RIGHT_DIGITS + t] receives the sums for s < nl, t < nr. Integer
// sums: the vector width and the order of the rows cannot change them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "bravolin/eft.hpp"
#include "bravolin/moments.hpp"

namespace bravolin::detail {

// 2^(26 (1 - bin)) as two factors (see scale_of in moments.cpp).
struct Scale {
    double first = 0.0, second = 0.0;
};

struct Kernels {
    void (*pairs)(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                  std::int64_t* out);
    void (*plain_left)(const double* v, std::size_t rows, Scale sc, std::int32_t* out);
    void (*plain_right)(const double* v, std::size_t rows, Scale sc, std::int32_t* out);
    void (*pair_left)(const double* hi, const double* lo, std::size_t rows, Scale sc, std::int32_t* out);
    void (*products)(const double* w, const double* a, std::size_t rows, double* p, double* e);
};

extern const Kernels BASELINE_KERNELS;
extern const Kernels AVX2_KERNELS;

// The kernels for this CPU (AVX-512, AVX2 or the baseline), or those
// BRAVOLIN_ENGINE_ISA names ("baseline", "avx2") when the CPU has them: the
// bits are the same either way.
const Kernels& kernels();

void pair_products_baseline(const std::int32_t*, const std::int32_t*, std::size_t, int, int, std::int64_t*);
void pair_products_avx2(const std::int32_t*, const std::int32_t*, std::size_t, int, int, std::int64_t*);
void pair_products_avx512(const std::int32_t*, const std::int32_t*, std::size_t, int, int, std::int64_t*);

// Internal linkage: each instruction set's file keeps its own copies, which
// the linker must not merge.
namespace {

constexpr double DIGIT_BASE = 67108864.0;  // 2^26

// Assumptions: v holds `rows` doubles; out receives Digits runs of `rows`
// digits (out[s * rows + r]), the base-2^26 digits of trunc(|v| / grid), most
// significant first, each with the sign of v. Every step is exact (the
// fraction of a double, a product by a power of two), so any vector width
// gives the same digits.
template <int Digits>
[[maybe_unused]] void plain_digits(const double* v, std::size_t rows, Scale sc, std::int32_t* out) {
    for (std::size_t r = 0; r < rows; ++r) {
        double u = std::fabs(v[r]) * sc.first * sc.second;
        const std::int32_t sign = v[r] < 0.0 ? -1 : 1;
        for (int s = 0; s < Digits; ++s) {
            const auto d = static_cast<std::int32_t>(u);
            u = (u - static_cast<double>(d)) * DIGIT_BASE;
            out[static_cast<std::size_t>(s) * rows + r] = sign * d;
        }
    }
}

// As plain_digits for the exact double-double hi + lo (|lo| <= ulp(hi)/2).
template <int Digits>
[[maybe_unused]] void pair_digits(const double* hi_in, const double* lo_in, std::size_t rows, Scale sc, std::int32_t* out) {
    for (std::size_t r = 0; r < rows; ++r) {
        const bool neg = hi_in[r] < 0.0;
        double hi = std::fabs(hi_in[r]) * sc.first * sc.second;
        double lo = (neg ? -lo_in[r] : lo_in[r]) * sc.first * sc.second;
        const std::int32_t sign = neg ? -1 : 1;
        for (int s = 0; s < Digits; ++s) {
            double f = static_cast<double>(static_cast<std::int32_t>(hi));
            // hi on an integer with a negative tail lies just below it.
            if (f == hi && lo < 0.0) f -= 1.0;
            const Sum rest = two_sum(hi - f, lo);
            out[static_cast<std::size_t>(s) * rows + r] = sign * static_cast<std::int32_t>(f);
            hi = rest.s * DIGIT_BASE;
            lo = rest.e * DIGIT_BASE;
        }
    }
}

[[maybe_unused]] void exact_products(const double* w, const double* a, std::size_t rows, double* p, double* e) {
    for (std::size_t r = 0; r < rows; ++r) {
        const Product wa = two_product(w[r], a[r]);
        p[r] = wa.p;
        e[r] = wa.e;
    }
}


// The cases of a digit-product kernel: Pass::run<NL, NR>(ld, rd, rows, out)
// takes NL left digit runs against NR right ones, at most Pass::wide(NL)
// right runs at a time (what its registers hold); this calls it for the nl
// left runs against the nr right ones, out indexed as for pair_products_any.
template <class Pass, std::size_t NL>
void right_passes(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nr, std::int64_t* out) {
    constexpr std::size_t WIDE = Pass::wide(NL);
    static_assert(WIDE >= 1 && WIDE <= RIGHT_DIGITS);
    const auto right = static_cast<std::size_t>(nr);
    for (std::size_t t = 0; t < right; t += WIDE) {
        const std::int32_t* run = rd + t * rows;
        switch (std::min(WIDE, right - t)) {
            case 1: Pass::template run<NL, 1>(ld, run, rows, out + t); break;
            case 2: if constexpr (WIDE >= 2) Pass::template run<NL, 2>(ld, run, rows, out + t); break;
            case 3: if constexpr (WIDE >= 3) Pass::template run<NL, 3>(ld, run, rows, out + t); break;
            default: if constexpr (WIDE >= 4) Pass::template run<NL, 4>(ld, run, rows, out + t); break;
        }
    }
}

template <class Pass>
void digit_products(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                    std::int64_t* out) {
    static_assert(LEFT_DIGITS == 5 && RIGHT_DIGITS == 4, "the kernel's cases cover 5 x 4 digits");
    switch (nl) {
        case 1: right_passes<Pass, 1>(ld, rd, rows, nr, out); break;
        case 2: right_passes<Pass, 2>(ld, rd, rows, nr, out); break;
        case 3: right_passes<Pass, 3>(ld, rd, rows, nr, out); break;
        case 4: right_passes<Pass, 4>(ld, rd, rows, nr, out); break;
        default: right_passes<Pass, 5>(ld, rd, rows, nr, out); break;
    }
}

// The portable pass: every right run at once, the sums in an array the
// compiler may keep where it can.
struct PortablePass {
    static constexpr std::size_t wide(std::size_t) { return RIGHT_DIGITS; }

    template <std::size_t NL, std::size_t NR>
    static void run(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::int64_t* out) {
        std::int64_t sum[NL][NR] = {};
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t s = 0; s < NL; ++s) {
                const std::int64_t l = ld[s * rows + r];
                for (std::size_t t = 0; t < NR; ++t) sum[s][t] += l * rd[t * rows + r];
            }
        }
        for (std::size_t s = 0; s < NL; ++s) {
            for (std::size_t t = 0; t < NR; ++t) out[s * RIGHT_DIGITS + t] = sum[s][t];
        }
    }
};

[[maybe_unused]] void pair_products_any(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                              std::int64_t* out) {
    digit_products<PortablePass>(ld, rd, rows, nl, nr, out);
}

}  // namespace

}  // namespace bravolin::detail
