// The LAPACK port against the reference build itself: Debian's liblapack3 and
// libblas3 (Netlib LAPACK 3.11 for baseline x86-64, so no FMA), loaded at run
// time. Every case compares INFO, the pivots and every bit of the LU factors
// and of the inverse. The test command installs the packages; without them
// these tests fail rather than skip.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "lapack.hpp"
#include "model.hpp"
#include "strassen/matrix.hpp"
#include "strassen/mult.hpp"

namespace {

using DgetrfFn = void (*)(const int* m, const int* n, double* a, const int* lda, int* ipiv,
                          int* info);
using DgetriFn = void (*)(const int* n, double* a, const int* lda, const int* ipiv, double* work,
                          const int* lwork, int* info);

constexpr const char* REFERENCE_BLAS = "/usr/lib/x86_64-linux-gnu/blas/libblas.so.3";
constexpr const char* REFERENCE_LAPACK = "/usr/lib/x86_64-linux-gnu/lapack/liblapack.so.3";

struct Reference {
    DgetrfFn dgetrf = nullptr;
    DgetriFn dgetri = nullptr;
    std::string error;
};

const Reference& reference() {
    static const Reference loaded = [] {
        Reference r;
        // The reference BLAS first, by its own path: liblapack.so.3 then binds
        // to it by soname instead of whatever libblas.so.3 the alternatives
        // system points at (possibly an optimised one).
        if (dlopen(REFERENCE_BLAS, RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            r.error = dlerror();
            return r;
        }
        void* lapack = dlopen(REFERENCE_LAPACK, RTLD_NOW | RTLD_LOCAL);
        if (lapack == nullptr) {
            r.error = dlerror();
            return r;
        }
        r.dgetrf = reinterpret_cast<DgetrfFn>(dlsym(lapack, "dgetrf_"));
        r.dgetri = reinterpret_cast<DgetriFn>(dlsym(lapack, "dgetri_"));
        if (r.dgetrf == nullptr || r.dgetri == nullptr) r.error = "dgetrf_ or dgetri_ not found";
        return r;
    }();
    return loaded;
}

std::size_t compared = 0;  // matrices compared, reported at the end

std::size_t nan_payloads_differing = 0;  // reported at the end

// Bit equality, except that two NaNs count as equal whatever their sign and
// payload: which NaN operand an instruction passes on depends on how the
// compiler ordered the registers (x86 returns the first source's payload),
// which neither our source nor the reference's fixes.
::testing::AssertionResult same_bits(const std::vector<double>& got,
                                     const std::vector<double>& want, int ld) {
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto g = std::bit_cast<std::uint64_t>(got[i]);
        const auto w = std::bit_cast<std::uint64_t>(want[i]);
        if (g == w) continue;
        if (std::isnan(got[i]) && std::isnan(want[i])) {
            ++nan_payloads_differing;
            continue;
        }
        char text[128];
        std::snprintf(text, sizeof text, "element (%zu, %zu): %016llx != reference %016llx",
                      i % static_cast<std::size_t>(ld), i / static_cast<std::size_t>(ld),
                      static_cast<unsigned long long>(g), static_cast<unsigned long long>(w));
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

struct Outcome {
    int getrf_info = 0;
    int getri_info = 0;
};

// Factors (m x n, column-major) with both, and for a square matrix inverts
// with both (workspace lwork, n when 0), whatever dgetrf's INFO: dgetri must
// then report the same zero pivot. Returns the port's INFOs.
Outcome compare(int m, int n, const std::vector<double>& a, int lwork = 0) {
    const Reference& ref = reference();
    Outcome out;
    if (!ref.error.empty()) {
        ADD_FAILURE() << "reference LAPACK not loaded: " << ref.error;
        return out;
    }
    const int lda = std::max(1, m);
    std::vector<double> mine = a, theirs = a;
    const auto pivots = static_cast<std::size_t>(std::min(m, n));
    std::vector<int> mine_ipiv(pivots, 0), theirs_ipiv(pivots, 0);

    out.getrf_info = bravolin::lapack::dgetrf(m, n, mine.data(), lda, mine_ipiv.data());
    int info = 0;
    ref.dgetrf(&m, &n, theirs.data(), &lda, theirs_ipiv.data(), &info);
    ++compared;
    EXPECT_EQ(out.getrf_info, info) << m << " x " << n;
    EXPECT_EQ(mine_ipiv, theirs_ipiv) << m << " x " << n;
    EXPECT_TRUE(same_bits(mine, theirs, lda)) << "LU factors of " << m << " x " << n;
    if (m != n || ::testing::Test::HasFailure()) return out;

    if (lwork == 0) lwork = std::max(1, n);
    std::vector<double> mine_work(static_cast<std::size_t>(lwork)), theirs_work(mine_work.size());
    out.getri_info = bravolin::lapack::dgetri(n, mine.data(), lda, mine_ipiv.data(),
                                              mine_work.data(), lwork);
    ref.dgetri(&n, theirs.data(), &lda, theirs_ipiv.data(), theirs_work.data(), &lwork, &info);
    EXPECT_EQ(out.getri_info, info) << "side " << n;
    EXPECT_TRUE(same_bits(mine, theirs, lda)) << "inverse of side " << n << ", lwork " << lwork;
    return out;
}

std::vector<double> uniform(std::mt19937_64& rng, std::size_t count, double lo = -1.0,
                            double hi = 1.0) {
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> v(count);
    for (double& x : v) x = dist(rng);
    return v;
}

std::size_t square(int n) { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }

double& at(std::vector<double>& a, int ld, int i, int j) {
    return a[static_cast<std::size_t>(i) +
             static_cast<std::size_t>(j) * static_cast<std::size_t>(ld)];
}

// G = DᵀD as the model forms it, for D = [1 | x] with n_obs rows of k - 1
// uniform features.
strassen::Matrix design_gram(std::mt19937_64& rng, int n_obs, int k) {
    strassen::Buffer d;
    for (int i = 0; i < n_obs; ++i) {
        d.push_back(1.0);
        for (double x : uniform(rng, static_cast<std::size_t>(k - 1), -3.0, 5.0)) d.push_back(x);
    }
    const strassen::Matrix dm(std::move(d), static_cast<std::size_t>(n_obs), static_cast<std::size_t>(k));
    return strassen::mult(dm.transpose(), dm);
}

TEST(Lapack, ReferenceLibraryIsLoaded) {
    EXPECT_EQ(reference().error, "") << "install liblapack3 and libblas3";
}

TEST(Lapack, RandomMatricesOfEverySideUpTo300) {
    std::mt19937_64 rng(20261208);
    for (int n = 1; n <= 300; ++n) {
        compare(n, n, uniform(rng, square(n)));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Lapack, BadlyConditionedMatricesOfEverySideUpTo300) {
    // Rows and columns scaled over twenty orders of magnitude, and a last
    // column that is nearly the sum of the others.
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> exponent(-33, 33);
    for (int n = 1; n <= 300; ++n) {
        std::vector<double> a = uniform(rng, square(n));
        std::vector<double> row(static_cast<std::size_t>(n)), col(row.size());
        for (auto& r : row) r = std::ldexp(1.0, exponent(rng));
        for (auto& c : col) c = std::ldexp(1.0, exponent(rng));
        if (n > 1) {
            for (int i = 0; i < n; ++i) {
                double sum = 0.0;
                for (int j = 0; j + 1 < n; ++j) sum += at(a, n, i, j);
                at(a, n, i, n - 1) = sum * (1.0 + 1e-13 * at(a, n, i, n - 1));
            }
        }
        for (int j = 0; j < n; ++j) {
            const double cj = col[static_cast<std::size_t>(j)];
            for (int i = 0; i < n; ++i) at(a, n, i, j) *= row[static_cast<std::size_t>(i)] * cj;
        }
        compare(n, n, a);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Lapack, RectangularFactorisations) {
    std::mt19937_64 rng(3);
    for (auto [m, n] : {std::pair{300, 70}, {70, 300}, {129, 128}, {128, 129}, {1, 9}, {9, 1}}) {
        compare(m, n, uniform(rng, static_cast<std::size_t>(m) * static_cast<std::size_t>(n)));
    }
}

TEST(Lapack, BlockedInverseWithALargeWorkspace) {
    std::mt19937_64 rng(5);
    for (int n : {65, 128, 130, 200}) compare(n, n, uniform(rng, square(n)), 64 * n);
}

TEST(Lapack, GramMatricesAsFitMakesThem) {
    // G = DᵀD with D = [1 | X], by the project's own product, then inverted
    // through the model's entry point (G's row-major buffer handed over as it
    // is) and through the reference on the same buffer.
    std::mt19937_64 rng(11);
    for (int k : {1, 2, 3, 17, 64, 65, 128, 129, 201}) {
        const int n_obs = 3 * k + 5;
        const strassen::Matrix g = design_gram(rng, n_obs, k);
        const std::vector<double> g_buffer(g.data.begin(), g.data.end());
        compare(k, k, g_buffer);

        const std::optional<strassen::Matrix> inv = bravolin::inverse(g);
        ASSERT_TRUE(inv.has_value()) << "side " << k;
        std::vector<double> want = g_buffer;
        std::vector<int> ipiv(static_cast<std::size_t>(k));
        std::vector<double> work(static_cast<std::size_t>(k));
        int info = 0;
        reference().dgetrf(&k, &k, want.data(), &k, ipiv.data(), &info);
        ASSERT_EQ(info, 0);
        reference().dgetri(&k, want.data(), &k, ipiv.data(), work.data(), &k, &info);
        ASSERT_EQ(info, 0);
        const std::vector<double> got(inv->data.begin(), inv->data.end());
        EXPECT_TRUE(same_bits(got, want, k)) << "bravolin::inverse, side " << k;
    }
}

TEST(Lapack, LargeGramMatricesThroughTheModelsInverse) {
    // Sides from 384 up, where the factorisation and the inversion split
    // their steps over two threads: bravolin::inverse against the reference.
    std::mt19937_64 rng(53);
    for (int k : {384, 450}) {
        const int n_obs = 2 * k + 7;
        const strassen::Matrix g = design_gram(rng, n_obs, k);
        const std::optional<strassen::Matrix> inv = bravolin::inverse(g);
        ASSERT_TRUE(inv.has_value()) << "side " << k;
        std::vector<double> want(g.data.begin(), g.data.end());
        std::vector<int> ipiv(static_cast<std::size_t>(k));
        std::vector<double> work(static_cast<std::size_t>(k));
        int info = 0;
        ASSERT_EQ(reference().error, "");
        reference().dgetrf(&k, &k, want.data(), &k, ipiv.data(), &info);
        ASSERT_EQ(info, 0);
        reference().dgetri(&k, want.data(), &k, ipiv.data(), work.data(), &k, &info);
        ASSERT_EQ(info, 0);
        ++compared;
        const std::vector<double> got(inv->data.begin(), inv->data.end());
        EXPECT_TRUE(same_bits(got, want, k)) << "bravolin::inverse, side " << k;
    }
}

TEST(Lapack, ExactlyZeroPivotAtEachPosition) {
    // A = L·U with |L| <= 1/2 (no interchanges) and U's diagonal of powers of
    // two, so that elimination is exact up to the zero put at U(p, p): both
    // routines must report INFO = p + 1 and agree on every bit of what they
    // leave behind.
    std::mt19937_64 rng(13);
    std::uniform_int_distribution<int> small(-4, 4), quarter(-2, 2), power(0, 2);
    for (int n : {1, 2, 7, 64, 65, 100}) {
        for (int p = 0; p < n; ++p) {
            std::vector<double> l(square(n), 0.0), u(square(n), 0.0), a(square(n), 0.0);
            for (int j = 0; j < n; ++j) {
                at(l, n, j, j) = 1.0;
                for (int i = j + 1; i < n; ++i) at(l, n, i, j) = 0.25 * quarter(rng);
                for (int i = 0; i < j; ++i) at(u, n, i, j) = small(rng);
                at(u, n, j, j) = j == p ? 0.0 : std::ldexp(small(rng) < 0 ? -1.0 : 1.0, power(rng));
            }
            for (int j = 0; j < n; ++j)
                for (int t = 0; t <= j; ++t)
                    for (int i = t; i < n; ++i) at(a, n, i, j) += at(l, n, i, t) * at(u, n, t, j);
            const Outcome out = compare(n, n, a);
            EXPECT_EQ(out.getrf_info, p + 1) << "side " << n;
            EXPECT_EQ(out.getri_info, p + 1) << "side " << n;
            if (::testing::Test::HasFailure()) return;
        }
    }
}

TEST(Lapack, TiesInPivotMagnitude) {
    // Entries ±1 and ±2 only: most columns hold several candidates of equal
    // magnitude, and the first must win.
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> pick(0, 3);
    const double values[] = {-1.0, 1.0, -2.0, 2.0};
    for (int n = 2; n <= 130; n += 4) {
        std::vector<double> a(square(n));
        for (double& x : a) x = values[pick(rng)];
        compare(n, n, a);
    }
}

TEST(Lapack, PivotsBelowTheSafeMinimum) {
    // Whole matrices of subnormals (division instead of the reciprocal), and
    // one tiny column among ordinary ones.
    std::mt19937_64 rng(19);
    for (int n : {2, 5, 33, 64, 65, 90}) {
        std::vector<double> a = uniform(rng, square(n));
        for (double& x : a) x *= 1e-310;
        compare(n, n, a);
        std::vector<double> b = uniform(rng, square(n));
        for (int i = 0; i < n; ++i) at(b, n, i, n / 2) *= 0x1p-1040;
        compare(n, n, b);
        std::vector<double> c = uniform(rng, square(n));
        for (int i = 0; i < n; ++i)
            at(c, n, i, 0) = std::numeric_limits<double>::denorm_min() * (i + 1);
        compare(n, n, c);
    }
}

TEST(Lapack, NanInfinityAndNegativeZero) {
    std::mt19937_64 rng(23);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (int n : {1, 2, 3, 8, 65, 100}) {
        for (double special : {nan, -nan, inf, -inf}) {
            for (int where : {0, n / 2, n - 1}) {
                std::vector<double> a = uniform(rng, square(n));
                at(a, n, where, (where * 7) % n) = special;
                compare(n, n, a);
            }
        }
        // Signed zeros: a column of -0.0 (a zero pivot), and -0.0 everywhere
        // off an identity's diagonal.
        std::vector<double> a = uniform(rng, square(n));
        for (int i = 0; i < n; ++i) at(a, n, i, n - 1) = -0.0;
        compare(n, n, a);
        std::vector<double> id(square(n), -0.0);
        for (int i = 0; i < n; ++i) at(id, n, i, i) = 1.0;
        compare(n, n, id);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Lapack, ZeroMultipliersBesideInfinities) {
    // Reference BLAS 3.11 multiplies by a zero in DGEMM and DGEMV (0·inf is
    // NaN) but still skips it in DTRSM, DTRMM and DTRMV: sparse matrices with
    // a few infinities tell the two apart, in the recursive and the blocked
    // factorisation and in the inversion.
    std::mt19937_64 rng(29);
    std::uniform_int_distribution<int> coin(0, 2);
    const double inf = std::numeric_limits<double>::infinity();
    for (int n : {3, 4, 9, 40, 65, 100, 130}) {
        for (int trial = 0; trial < 4; ++trial) {
            std::vector<double> a = uniform(rng, square(n));
            for (double& x : a)
                if (coin(rng) == 0) x = 0.0;
            for (int i = 0; i < n; ++i) at(a, n, i, i) += 4.0;
            const int where = (trial * 13 + 1) % n;
            at(a, n, where, (where * 5 + trial) % n) = trial % 2 == 0 ? inf : -inf;
            compare(n, n, a);
        }
        // Upper triangular with zeros above the diagonal and a few diagonal
        // entries whose reciprocal overflows: inv(U) then holds infinities
        // that only the skips of DTRMV, DTRMM and DTRSM keep out of the rest.
        // One such entry at the end of the first block of 64 leaves the
        // infinities in one column of the block's inverse, where DTRMM's skip
        // is all that keeps them from the block column above the next one.
        for (int spread : {7, n + 64}) {
            std::vector<double> u(square(n), 0.0);
            for (int j = 0; j < n; ++j) {
                for (int i = 0; i < j; ++i)
                    at(u, n, i, j) = coin(rng) == 0 ? 0.0 : uniform(rng, 1)[0];
                const bool tiny = j % spread == 1 || (spread > n && j == std::min(n, 64) - 1);
                at(u, n, j, j) = tiny ? std::numeric_limits<double>::denorm_min() : 2.0;
            }
            compare(n, n, u);
            compare(n, n, u, 64 * n);
        }
    }
}

TEST(Lapack, ArgumentErrorsAsLapackNumbersThem) {
    double a[4] = {1.0, 2.0, 3.0, 4.0}, work[2] = {0.0, 0.0};
    int ipiv[2] = {0, 0};
    EXPECT_EQ(bravolin::lapack::dgetrf(-1, 2, a, 2, ipiv), -1);
    EXPECT_EQ(bravolin::lapack::dgetrf(2, -1, a, 2, ipiv), -2);
    EXPECT_EQ(bravolin::lapack::dgetrf(2, 2, a, 1, ipiv), -4);
    EXPECT_EQ(bravolin::lapack::dgetri(-1, a, 2, ipiv, work, 2), -1);
    EXPECT_EQ(bravolin::lapack::dgetri(2, a, 1, ipiv, work, 2), -3);
    EXPECT_EQ(bravolin::lapack::dgetri(2, a, 2, ipiv, work, 1), -6);
    EXPECT_EQ(bravolin::lapack::dgetri(2, a, 2, ipiv, work, -1), 0);
    EXPECT_EQ(work[0], 128.0);  // the preferred workspace, N·64
}

class CountReport : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        if (compared == 0) return;
        std::printf("matrices compared with the reference LAPACK: %zu (NaNs differing only in "
                    "sign or payload: %zu)\n",
                    compared, nan_payloads_differing);
    }
};

const bool count_report_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CountReport);
    return true;
}();

}  // namespace
