// The LAPACK port's vector kernels, every variant this CPU runs, against the
// reference BLAS itself (Debian's libblas3, Netlib's, loaded at run time):
// DGEMM, DTRMM and DTRSM in the forms the port calls, on shapes around every
// blocking boundary, with zeros, -0.0, infinities and NaNs among the entries,
// and the whole factorisation and inversion on each variant against the
// reference LAPACK. Bits must agree, except the sign and payload of a NaN.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "halves.hpp"
#include "kernels.hpp"

namespace {

using bravolin::lapack::detail::Diag;
using bravolin::lapack::detail::Isa;
using bravolin::lapack::detail::Kernels;

// Fortran BLAS: every argument by address, then one hidden length per
// character argument.
using DgemmFn = void (*)(const char*, const char*, const int*, const int*, const int*,
                         const double*, const double*, const int*, const double*, const int*,
                         const double*, double*, const int*, std::size_t, std::size_t);
using DtrFn = void (*)(const char*, const char*, const char*, const char*, const int*, const int*,
                       const double*, const double*, const int*, double*, const int*, std::size_t,
                       std::size_t, std::size_t, std::size_t);
using DgetrfFn = void (*)(const int*, const int*, double*, const int*, int*, int*);
using DgetriFn = void (*)(const int*, double*, const int*, const int*, double*, const int*, int*);

struct Reference {
    DgemmFn dgemm = nullptr;
    DtrFn dtrmm = nullptr;
    DtrFn dtrsm = nullptr;
    DgetrfFn dgetrf = nullptr;
    DgetriFn dgetri = nullptr;
    std::string error;
};

const Reference& reference() {
    static const Reference loaded = [] {
        Reference r;
        void* blas = dlopen("/usr/lib/x86_64-linux-gnu/blas/libblas.so.3", RTLD_NOW | RTLD_GLOBAL);
        if (blas == nullptr) {
            r.error = dlerror();
            return r;
        }
        void* lapack =
            dlopen("/usr/lib/x86_64-linux-gnu/lapack/liblapack.so.3", RTLD_NOW | RTLD_LOCAL);
        if (lapack == nullptr) {
            r.error = dlerror();
            return r;
        }
        r.dgemm = reinterpret_cast<DgemmFn>(dlsym(blas, "dgemm_"));
        r.dtrmm = reinterpret_cast<DtrFn>(dlsym(blas, "dtrmm_"));
        r.dtrsm = reinterpret_cast<DtrFn>(dlsym(blas, "dtrsm_"));
        r.dgetrf = reinterpret_cast<DgetrfFn>(dlsym(lapack, "dgetrf_"));
        r.dgetri = reinterpret_cast<DgetriFn>(dlsym(lapack, "dgetri_"));
        if (!r.dgemm || !r.dtrmm || !r.dtrsm || !r.dgetrf || !r.dgetri)
            r.error = "a reference routine is missing";
        return r;
    }();
    return loaded;
}

std::vector<Isa> variants() {
    std::vector<Isa> out;
    for (Isa isa : {Isa::baseline, Isa::avx2})
        if (bravolin::lapack::detail::isa_supported(isa)) out.push_back(isa);
    return out;
}

const char* name(Isa isa) { return isa == Isa::avx2 ? "avx2" : "baseline"; }

::testing::AssertionResult same_bits(const std::vector<double>& got,
                                     const std::vector<double>& want) {
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto g = std::bit_cast<std::uint64_t>(got[i]);
        const auto w = std::bit_cast<std::uint64_t>(want[i]);
        if (g == w || (std::isnan(got[i]) && std::isnan(want[i]))) continue;
        char text[96];
        std::snprintf(text, sizeof text, "element %zu: %016llx != reference %016llx", i,
                      static_cast<unsigned long long>(g), static_cast<unsigned long long>(w));
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

// Uniform entries, a share of them replaced by special values.
std::vector<double> entries(std::mt19937_64& rng, std::size_t count, int special_per_mille) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> per_mille(0, 999), pick(0, 5);
    const double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {0.0, -0.0, 0.0, inf, -inf, std::numeric_limits<double>::quiet_NaN()};
    std::vector<double> v(count);
    for (double& x : v) {
        x = u(rng);
        if (per_mille(rng) < special_per_mille) x = specials[pick(rng)];
    }
    return v;
}

std::size_t size(int rows, int cols) {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// Sides around the blocks of either variant: register tiles of 4 or 8 rows by
// 6 columns, 16 tiles of rows, 256 steps of the sum, 64 rows of the solve.
const int SIDES[] = {1, 2, 3, 5, 6, 7, 8, 9, 13, 16, 17, 31, 33, 64, 65, 127, 129, 130};

TEST(LapackKernels, DgemmMatchesTheReferenceBlas) {
    const Reference& ref = reference();
    ASSERT_EQ(ref.error, "");
    std::mt19937_64 rng(31);
    std::uniform_int_distribution<int> side(0, std::size(SIDES) - 1);
    const double alphas[] = {-1.0, 1.0, 0.75, 0.0};
    const double betas[] = {1.0, 0.0, -2.0};
    for (int trial = 0; trial < 300; ++trial) {
        int m = SIDES[side(rng)], n = SIDES[side(rng)], k = SIDES[side(rng)];
        if (trial % 25 == 0) k = 300 + trial;  // more than one block of steps
        const double alpha = alphas[trial % 4], beta = betas[(trial / 4) % 3];
        const int special = trial % 3 == 0 ? 0 : 20;
        const int lda = m + trial % 3, ldb = k + 1, ldc = m + 2;
        const auto a = entries(rng, size(lda, k), special);
        const auto b = entries(rng, size(ldb, n), special);
        const auto c = entries(rng, size(ldc, n), special);
        std::vector<double> want = c;
        ref.dgemm("N", "N", &m, &n, &k, &alpha, a.data(), &lda, b.data(), &ldb, &beta,
                  want.data(), &ldc, 1, 1);
        for (Isa isa : variants()) {
            std::vector<double> got = c;
            bravolin::lapack::detail::kernels_for(isa).dgemm_nn(
                m, n, k, alpha, a.data(), lda, b.data(), ldb, beta, got.data(), ldc);
            ASSERT_TRUE(same_bits(got, want)) << name(isa) << " dgemm " << m << " x " << n
                                              << " x " << k << ", alpha " << alpha << ", beta "
                                              << beta;
        }
    }
}

// One of the triangular routines against the reference's, for every variant.
void check_triangular(const char* side, const char* uplo, int which, std::mt19937_64& rng) {
    const Reference& ref = reference();
    std::uniform_int_distribution<int> pick(0, std::size(SIDES) - 1);
    const double alphas[] = {1.0, -1.0, 0.5, 0.0};
    for (int trial = 0; trial < 200; ++trial) {
        int m = SIDES[pick(rng)], n = SIDES[pick(rng)];
        if (trial % 20 == 0) m = 200 + trial;  // many row blocks
        const int na = *side == 'L' ? m : n;
        const double alpha = alphas[trial % 4];
        const Diag diag = trial % 2 == 0 ? Diag::non_unit : Diag::unit;
        const int special = trial % 3 == 0 ? 0 : (trial % 3 == 1 ? 30 : 300);
        const int lda = na + 1, ldb = m + trial % 2;
        auto a = entries(rng, size(lda, na), special);
        for (int i = 0; i < na; ++i) a[size(1, i) * static_cast<std::size_t>(lda + 1)] += 3.0;
        const auto b = entries(rng, size(ldb, n), special);
        std::vector<double> want = b;
        const char* d = diag == Diag::unit ? "U" : "N";
        const DtrFn fn = which == 0 ? ref.dtrmm : ref.dtrsm;
        fn(side, uplo, "N", d, &m, &n, &alpha, a.data(), &lda, want.data(), &ldb, 1, 1, 1, 1);
        for (Isa isa : variants()) {
            const Kernels& k = bravolin::lapack::detail::kernels_for(isa);
            std::vector<double> got = b;
            if (which == 0)
                k.dtrmm_left_upper_n(diag, m, n, alpha, a.data(), lda, got.data(), ldb);
            else if (*side == 'L')
                k.dtrsm_left_lower_n(diag, m, n, alpha, a.data(), lda, got.data(), ldb);
            else
                k.dtrsm_right_upper_n(diag, m, n, alpha, a.data(), lda, got.data(), ldb);
            ASSERT_TRUE(same_bits(got, want))
                << name(isa) << (which == 0 ? " dtrmm " : " dtrsm ") << side << uplo << " " << m
                << " x " << n << ", alpha " << alpha << (diag == Diag::unit ? ", unit" : "");
        }
    }
}

TEST(LapackKernels, DtrmmLeftUpperMatchesTheReferenceBlas) {
    ASSERT_EQ(reference().error, "");
    std::mt19937_64 rng(37);
    check_triangular("L", "U", 0, rng);
}

TEST(LapackKernels, DtrsmLeftLowerMatchesTheReferenceBlas) {
    ASSERT_EQ(reference().error, "");
    std::mt19937_64 rng(41);
    check_triangular("L", "L", 1, rng);
}

TEST(LapackKernels, DtrsmRightUpperMatchesTheReferenceBlas) {
    ASSERT_EQ(reference().error, "");
    std::mt19937_64 rng(43);
    check_triangular("R", "U", 1, rng);
}

TEST(LapackKernels, EveryVariantFactorsAndInvertsAsTheReference) {
    // The model's calls (M = N = LDA = k, then LWORK = k) on each variant,
    // on both sides of HALVES_MIN_SIDE, from which the steps run in two
    // halves on two threads.
    const Reference& ref = reference();
    ASSERT_EQ(ref.error, "");
    std::mt19937_64 rng(47);
    for (int n : {1, 2, 33, 64, 65, 100, 257, 383, 384, 385, 450}) {
        for (int special : {0, 2, -1}) {
            auto a = entries(rng, size(n, n), std::max(special, 0));
            for (int i = 0; i < n; ++i) a[size(1, i) * static_cast<std::size_t>(n + 1)] += 2.0;
            // -1: a zero column past the first panels, so that INFO comes
            // from a panel factored while the rest is updated.
            if (special < 0)
                for (int i = 0; i < n; ++i) a[size(1, i) + size(n, (2 * n) / 3)] = 0.0;
            std::vector<double> want = a, work(static_cast<std::size_t>(n));
            std::vector<int> ipiv_want(static_cast<std::size_t>(n));
            int info_getrf = 0, info_getri = 0;
            ref.dgetrf(&n, &n, want.data(), &n, ipiv_want.data(), &info_getrf);
            if (special < 0) {
                EXPECT_GT(info_getrf, 0) << "side " << n;
            }
            if (info_getrf == 0)
                ref.dgetri(&n, want.data(), &n, ipiv_want.data(), work.data(), &n, &info_getri);
            for (Isa isa : variants()) {
                const Kernels& k = bravolin::lapack::detail::kernels_for(isa);
                std::vector<double> got = a, got_work(work.size());
                std::vector<int> ipiv(ipiv_want.size());
                EXPECT_EQ(bravolin::lapack::detail::dgetrf_with(k, n, n, got.data(), n, ipiv.data()),
                          info_getrf)
                    << name(isa) << " side " << n;
                EXPECT_EQ(ipiv, ipiv_want) << name(isa) << " side " << n;
                if (info_getrf == 0) {
                    EXPECT_EQ(bravolin::lapack::detail::dgetri_with(
                                  k, n, got.data(), n, ipiv.data(), got_work.data(), n),
                              info_getri)
                        << name(isa) << " side " << n;
                    EXPECT_TRUE(same_bits(got_work, work)) << name(isa) << " work, side " << n;
                }
                EXPECT_TRUE(same_bits(got, want)) << name(isa) << " side " << n;
            }
        }
    }
}

TEST(LapackKernels, TheSidesAboveTestBothSidesOfTheThreadThreshold) {
    EXPECT_EQ(bravolin::lapack::detail::HALVES_MIN_SIDE, 384);
}

TEST(LapackKernels, TheChosenVariantIsTheBestSupported) {
    const Isa best = bravolin::lapack::detail::isa_supported(Isa::avx2) ? Isa::avx2 : Isa::baseline;
    EXPECT_EQ(&bravolin::lapack::detail::kernels(), &bravolin::lapack::detail::kernels_for(best));
}

}  // namespace
