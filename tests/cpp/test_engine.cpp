// The bravolin engine: error-free transformations, exact integers, moments
// that are exact and independent of batching, the factorisations and the
// kernel variants. Each is checked against exact integer arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bravolin/big_integer.hpp"
#include "bravolin/least_squares.hpp"
#include "bravolin/moments.hpp"
#include "bravolin/row_predict.hpp"
#include "dd_linalg.hpp"
#include "pair_kernel.hpp"

namespace {

using bravolin::BigInt;
using bravolin::DD;

__int128 as_int(double v) { return static_cast<__int128>(v); }

TEST(ErrorFree, ProductAndSumAreExactOnIntegers) {
    std::mt19937_64 rng(1);
    for (int i = 0; i < 10000; ++i) {
        const auto a = static_cast<double>(static_cast<std::int64_t>(rng() >> 11) - (1LL << 52));
        const auto b = static_cast<double>(static_cast<std::int64_t>(rng() >> 11) - (1LL << 52));
        const bravolin::Product p = bravolin::two_product(a, b);
        EXPECT_EQ(as_int(p.p) + as_int(p.e), as_int(a) * as_int(b));
        const bravolin::Sum s = bravolin::two_sum(a * 1024.0, b);
        EXPECT_EQ(as_int(s.s) + as_int(s.e), as_int(a) * 1024 + as_int(b));
    }
}

TEST(BigIntTest, ArithmeticAgreesWithInt128AndRoundsToDoubleDouble) {
    std::mt19937_64 rng(2);
    for (int i = 0; i < 2000; ++i) {
        const auto a = static_cast<std::int64_t>(rng());
        const auto b = static_cast<std::int64_t>(rng()) >> (rng() % 60);
        const BigInt x = BigInt::from_int128(a), y = BigInt::from_int128(b);
        const __int128 want = static_cast<__int128>(a) * b - (static_cast<__int128>(b) << 3) + a;
        const BigInt got = x * y - y.shifted_left(3) + x;
        const DD d = got.to_dd(0);
        // hi + lo is the value within 2^-104 of it.
        const __int128 rest = want - as_int(d.hi) - as_int(d.lo);
        const __int128 bound = ((want < 0 ? -want : want) >> 104) + 1;
        EXPECT_LE(rest < 0 ? -rest : rest, bound) << i;
        EXPECT_EQ((got - got).is_zero(), true);
    }
    // Far beyond 128 bits: (2^300 + 3)^2 - 2^600 = 6 * 2^300 + 9.
    const BigInt big = BigInt::from_int128(1).shifted_left(300) + BigInt::from_int128(3);
    const BigInt diff = big * big - BigInt::from_int128(1).shifted_left(600);
    const DD d = diff.to_dd(-300);
    EXPECT_EQ(d.hi, 6.0);
    EXPECT_LE(std::fabs(d.lo), std::ldexp(6.0, -105));
    // (2^300 + 3)(2^300 - 3) - 2^600 = -9: all cancellation, exact.
    const DD tiny = (big * (big - BigInt::from_int128(6)) - BigInt::from_int128(1).shifted_left(600)).to_dd(0);
    EXPECT_EQ(tiny.hi, -9.0);
}

TEST(BigIntTest, SumOfShiftedTermsIsTheSumTermByTerm) {
    std::mt19937_64 rng(3);
    const __int128 extremes[] = {0, 1, -1, static_cast<__int128>(static_cast<unsigned __int128>(1) << 127),
                                 static_cast<__int128>((static_cast<unsigned __int128>(1) << 127) - 1)};
    for (int i = 0; i < 500; ++i) {
        __int128 values[20];
        unsigned shifts[20];
        BigInt want;
        for (std::size_t k = 0; k < 20; ++k) {
            const auto random = static_cast<__int128>((static_cast<unsigned __int128>(rng()) << 64) | rng());
            values[k] = rng() % 4 == 0 ? extremes[rng() % 5] : random >> (rng() % 128);
            shifts[k] = static_cast<unsigned>(rng() % 200);
            want = want + BigInt::from_int128(values[k]).shifted_left(shifts[k]);
        }
        const BigInt got = BigInt::sum_of_shifted(values, shifts, 20);
        EXPECT_TRUE((got - want).is_zero()) << i;
        EXPECT_EQ(got.negative(), want.negative()) << i;
    }
}

bravolin::Rows view(const std::vector<double>& x, std::size_t n, std::size_t p, const std::vector<double>& y,
                    const std::vector<double>* w, std::size_t first = 0) {
    bravolin::Rows r;
    r.n = n;
    r.p = p;
    r.q = 1;
    r.x = x.data() + first * p;
    r.x_row = static_cast<std::ptrdiff_t>(p);
    r.x_col = 1;
    r.y = y.data() + first;
    r.y_row = 1;
    r.y_col = 1;
    if (w) {
        r.w = w->data() + first;
        r.w_step = 1;
    }
    return r;
}

TEST(MomentsTest, IntegerDataGiveExactSumsAndBatchesMergeToTheOneShotIntegers) {
    // Small integers: every moment is exactly representable, so the centred
    // values can be checked against integer sums.
    const std::size_t n = 5000, p = 3;
    std::mt19937_64 rng(3);
    std::vector<double> x(n * p), y(n), w(n);
    for (auto& v : x) v = static_cast<double>(static_cast<int>(rng() % 2001) - 1000);
    for (auto& v : y) v = static_cast<double>(static_cast<int>(rng() % 201) - 100);
    for (auto& v : w) v = static_cast<double>(rng() % 4);
    // The first batch's values far smaller: it is accumulated on finer grids.
    for (std::size_t i = 0; i < 1000 * p; ++i) x[i] *= 0x1p-40;
    const bravolin::Moments whole = bravolin::accumulate(view(x, n, p, y, &w), 2);
    bravolin::Moments merged = bravolin::accumulate(view(x, 1000, p, y, &w), 1);
    bravolin::merge_into(merged, bravolin::accumulate(view(x, n - 1000, p, y, &w, 1000), 1));
    EXPECT_EQ(merged.left_bin, whole.left_bin);
    EXPECT_EQ(merged.right_bin, whole.right_bin);
    EXPECT_TRUE(merged.sums == whole.sums);
    EXPECT_EQ(merged.rows, whole.rows);

    // One block of many columns: two threads share its products by tiles.
    const std::size_t wide = 80, rows = 300;
    std::vector<double> xw(rows * wide);
    for (auto& v : xw) v = static_cast<double>(static_cast<int>(rng() % 2001) - 1000) * 0x1p-7;
    EXPECT_TRUE(bravolin::accumulate(view(xw, rows, wide, y, &w), 2).sums ==
                bravolin::accumulate(view(xw, rows, wide, y, &w), 1).sums);

    const bravolin::CentredMoments raw = bravolin::centre(whole, p, false);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            long double want = 0;  // exact: integers and dyadic values well within 64 bits
            for (std::size_t r = 0; r < n; ++r) {
                want += static_cast<long double>(w[r]) * x[r * p + i] * x[r * p + j];
            }
            EXPECT_EQ(static_cast<long double>(raw.xx[i * p + j].hi) + raw.xx[i * p + j].lo, want);
        }
    }
}

TEST(RowPredict, EachRowIsItsLanesSummedInOrderWhateverTheThreads) {
    const std::size_t n = 20000, p = 19;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(n * p), coef(2 * p), intercept = {0.5, -3.0}, y(n, 0.0);
    for (auto& v : x) v = u(rng);
    for (auto& v : coef) v = u(rng);
    bravolin::Rows rows = view(x, n, p, y, nullptr);
    rows.q = 2;
    std::vector<double> one(n * 2), two(n * 2);
    bravolin::row_predict(rows, coef.data(), intercept.data(), one.data(), 1);
    bravolin::row_predict(rows, coef.data(), intercept.data(), two.data(), 2);
    EXPECT_TRUE(one == two);
    for (std::size_t r = 0; r < n; r += 997) {
        for (std::size_t t = 0; t < 2; ++t) {
            double lane[4] = {};
            for (std::size_t j = 0; j < p; ++j) lane[j % 4] += x[r * p + j] * coef[t * p + j];
            EXPECT_EQ(one[r * 2 + t], ((lane[0] + lane[1]) + (lane[2] + lane[3])) + intercept[t]);
        }
    }
}

TEST(Factorisations, PivotedCholeskyFindsTheRankAndEigenvaluesAreThoseOfTheLaplacian) {
    // Rank 2: the third column the sum of the first two.
    std::vector<DD> s = {DD(2.0), DD(1.0), DD(3.0), DD(1.0), DD(2.0), DD(3.0), DD(3.0), DD(3.0), DD(6.0)};
    std::vector<std::size_t> perm;
    EXPECT_EQ(bravolin::detail::pivoted_cholesky(s, 3, perm, 1e-26), 2u);
    const std::size_t n = 40;
    std::vector<double> a(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        a[i * n + i] = 2.0;
        if (i + 1 < n) a[i * n + i + 1] = a[(i + 1) * n + i] = -1.0;
    }
    const std::vector<double> values = bravolin::detail::symmetric_eigenvalues(a, n);
    for (std::size_t k = 0; k < n; ++k) {
        const double want = 2.0 - 2.0 * std::cos(static_cast<double>(k + 1) * M_PI / static_cast<double>(n + 1));
        EXPECT_NEAR(values[k], want, 1e-13);
    }
}

TEST(PairKernel, EveryVariantGivesTheBaselineSums) {
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937_64 rng(4);
    const bool avx512 = __builtin_cpu_supports("avx512f");
    for (std::size_t rows : {1u, 7u, 17u, 64u, 2047u, 2048u}) {
        std::vector<std::int32_t> ld(bravolin::LEFT_DIGITS * rows), rd(bravolin::RIGHT_DIGITS * rows);
        for (auto& d : ld) d = static_cast<std::int32_t>(rng() % (1u << 27)) - (1 << 26) + 1;
        for (auto& d : rd) d = static_cast<std::int32_t>(rng() % (1u << 27)) - (1 << 26) + 1;
        for (int nl = 1; nl <= bravolin::LEFT_DIGITS; ++nl) {
            for (int nr = 1; nr <= bravolin::RIGHT_DIGITS; ++nr) {
                std::int64_t base[bravolin::PAIRS] = {}, wide[bravolin::PAIRS] = {}, widest[bravolin::PAIRS] = {};
                bravolin::detail::pair_products_baseline(ld.data(), rd.data(), rows, nl, nr, base);
                bravolin::detail::pair_products_avx2(ld.data(), rd.data(), rows, nl, nr, wide);
                if (avx512) bravolin::detail::pair_products_avx512(ld.data(), rd.data(), rows, nl, nr, widest);
                for (int s = 0; s < nl; ++s) {
                    for (int t = 0; t < nr; ++t) {
                        __int128 want = 0;
                        for (std::size_t r = 0; r < rows; ++r) {
                            want += static_cast<__int128>(ld[static_cast<std::size_t>(s) * rows + r]) *
                                    rd[static_cast<std::size_t>(t) * rows + r];
                        }
                        EXPECT_EQ(base[s * bravolin::RIGHT_DIGITS + t], static_cast<std::int64_t>(want));
                        EXPECT_EQ(wide[s * bravolin::RIGHT_DIGITS + t], static_cast<std::int64_t>(want));
                        if (avx512) {
                            EXPECT_EQ(widest[s * bravolin::RIGHT_DIGITS + t], static_cast<std::int64_t>(want));
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
