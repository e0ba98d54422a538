#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "strassen/kernel.hpp"

using strassen::KernelFn;
using strassen::detail::KernelIsa;

namespace {

struct Variant {
    const char* name;
    KernelIsa isa;
    KernelFn fn;
};

void PrintTo(const Variant& v, std::ostream* out) { *out << v.name; }

// Each variant is called directly, never through the dispatch.
const Variant VARIANTS[] = {
    {"scalar", KernelIsa::scalar, strassen::detail::kernel_mult_scalar},
    {"sse2", KernelIsa::sse2, strassen::detail::kernel_mult_sse2},
    {"avx2", KernelIsa::avx2, strassen::detail::kernel_mult_avx2},
    {"avx512", KernelIsa::avx512, strassen::detail::kernel_mult_avx512},
};

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

std::string hex(double x) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(bits(x)));
    return text;
}

double from_bits(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// Left in c's gaps between rows; the kernel must never overwrite it.
const std::uint64_t SENTINEL = 0x7ff4'dead'beef'0001;

// The contract, written out once more, independently of the library.
void reference(const double* a, std::size_t a_row, std::size_t a_depth, const double* b,
               std::size_t ldb, double* c, std::size_t ldc, std::size_t m, std::size_t n,
               std::size_t k) {
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = +0.0;
            for (std::size_t p = 0; p < k; ++p) {
                const double product = a[i * a_row + p * a_depth] * b[p * ldb + j];
                s = s + product;
            }
            c[i * ldc + j] = s;
        }
}

// m x k times k x n with leading dimensions lda >= k (>= m for a column-major
// a), ldb >= n, ldc >= n. Each buffer ends exactly at its matrix's last
// element, so that a read or write past an extent lands outside the
// allocation, where AddressSanitizer sees it.
struct Case {
    std::size_t m, n, k;
    bool column_major;
    std::size_t lda, ldb, ldc;
    std::vector<double> a, b;

    template <class Draw>
    Case(std::size_t m_, std::size_t n_, std::size_t k_, std::size_t pad, Draw&& draw,
         bool column_major_ = false)
        : m(m_), n(n_), k(k_), column_major(column_major_),
          lda((column_major_ ? m_ : k_) + pad), ldb(n_ + 2 * pad), ldc(n_ + pad),
          a(column_major_ ? extent(k_, m_, lda) : extent(m_, k_, lda)), b(extent(k_, n_, ldb)) {
        for (double& x : a) x = draw();
        for (double& x : b) x = draw();
    }

    static std::size_t extent(std::size_t rows, std::size_t cols, std::size_t ld) {
        return rows == 0 || cols == 0 ? 1 : (rows - 1) * ld + cols;
    }

    // Whether fn's c equals the reference's bit for bit, gaps untouched.
    testing::AssertionResult check(KernelFn fn) const {
        std::vector<double> got(extent(m, n, ldc), from_bits(SENTINEL));
        std::vector<double> want(got);
        const std::size_t a_row = column_major ? 1 : lda, a_depth = column_major ? lda : 1;
        fn(a.data(), a_row, a_depth, b.data(), ldb, got.data(), ldc, m, n, k);
        reference(a.data(), a_row, a_depth, b.data(), ldb, want.data(), ldc, m, n, k);
        for (std::size_t x = 0; x < got.size(); ++x) {
            if (bits(got[x]) == bits(want[x])) continue;
            return testing::AssertionFailure()
                   << m << "x" << k << " by " << k << "x" << n
                   << (column_major ? ", a column-major" : "") << " (lda " << lda << ", ldb "
                   << ldb << ", ldc " << ldc << "): c(" << x / ldc << ", " << x % ldc
                   << ") has bits " << hex(got[x]) << ", expected " << hex(want[x]);
        }
        return testing::AssertionSuccess();
    }
};

// Finite values of random sign, mantissa and exponent: sums that round at
// almost every step, so that any change of order or fusion shows in the bits.
struct Ordinary {
    std::mt19937_64 rng;
    double operator()() {
        std::uniform_real_distribution<double> mantissa(1.0, 2.0);
        std::uniform_int_distribution<int> exponent(-30, 30);
        const double x = std::ldexp(mantissa(rng), exponent(rng));
        return rng() & 1 ? -x : x;
    }
};

// Mostly ordinary values, often one of the awkward ones. The only NaN is the
// x86 default NaN, the same bits that Inf - Inf and 0 * Inf produce: when two
// NaNs meet, which one survives depends on operand order, which the compiler
// may swap for a commutative IEEE operation, so with one NaN pattern the result
// is fixed. Single NaNs with other payloads are checked separately below.
struct Special {
    Ordinary ordinary;
    double operator()() {
        static const double pool[] = {
            +0.0, -0.0, std::numeric_limits<double>::denorm_min(), -4.9e-320, 2.2e-308,
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            from_bits(0xfff8'0000'0000'0000),
            // Products of these overflow to infinity; sums of them overflow too.
            1e200, -3e250, std::numeric_limits<double>::max(), -1e-200, 1.0, -1.0};
        const auto pick = ordinary.rng() % 48;
        return pick < std::size(pool) ? pool[pick] : ordinary();
    }
};

// Sides that hit every remainder of every variant's blocking (rows: 4, 6, 16;
// columns: 4, 8 and each vector width's lanes).
const std::size_t SIDES[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 31, 32, 33, 47, 48, 63, 64};
const std::size_t DEPTHS[] = {0, 1, 2, 3, 7, 16, 33, 64};

// A suite over variants, each skipped on a CPU that cannot run it.
template <class V>
class OnThisCpu : public testing::TestWithParam<V> {
protected:
    void SetUp() override {
        if (!strassen::detail::kernel_supported(this->GetParam().isa))
            GTEST_SKIP() << this->GetParam().name << " is not supported by this CPU";
    }
};

class KernelVariant : public OnThisCpu<Variant> {};

// Every m and n up to 64, each with one depth; the depths run through 0 to 64.
TEST_P(KernelVariant, EveryRowAndColumnCount) {
    Ordinary draw{std::mt19937_64{1}};
    for (std::size_t m = 1; m <= 64; ++m)
        for (std::size_t n = 1; n <= 64; ++n)
            ASSERT_TRUE(Case(m, n, (7 * m + 3 * n) % 65, 0, draw).check(GetParam().fn));
}

// Also with the left factor read column-major, as the tall products read
// their packed rows.
TEST_P(KernelVariant, SampledShapesWithWideLeadingDimensions) {
    Ordinary draw{std::mt19937_64{2}};
    std::size_t pad = 0;
    for (bool column_major : {false, true})
        for (std::size_t m : SIDES)
            for (std::size_t n : SIDES)
                for (std::size_t k : DEPTHS) {
                    pad = (pad + 1) % 4;  // views into wider matrices as well as tight ones
                    ASSERT_TRUE(Case(m, n, k, pad, draw, column_major).check(GetParam().fn));
                }
}

TEST_P(KernelVariant, SpecialValues) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Special draw{Ordinary{std::mt19937_64{seed}}};
        for (std::size_t m : {1u, 5u, 8u, 13u, 64u})
            for (std::size_t n : {1u, 3u, 9u, 16u, 31u, 64u})
                for (std::size_t k : {1u, 4u, 64u})
                    ASSERT_TRUE(Case(m, n, k, seed % 3, draw, seed % 2 == 1).check(GetParam().fn));
    }
}

// One NaN per row of a, with its own payload (signalling ones too): each sum
// meets at most one NaN, so its payload, quieted, must reach c unchanged.
TEST_P(KernelVariant, NaNPayloadsPropagate) {
    Ordinary draw{std::mt19937_64{3}};
    for (std::size_t k : {1u, 2u, 17u, 64u}) {
        Case product(13, 21, k, 1, draw);
        for (std::size_t i = 0; i < product.m; ++i) {
            const std::uint64_t sign = (i % 2) << 63, quiet = std::uint64_t{i % 3 == 0} << 51;
            const std::uint64_t payload = 0x7ff0'0000'0000'0001 + (i << 40) + i;
            product.a[i * product.lda + (i * 7) % k] = from_bits(payload | sign | quiet);
        }
        ASSERT_TRUE(product.check(GetParam().fn));
    }
}

INSTANTIATE_TEST_SUITE_P(, KernelVariant, testing::ValuesIn(VARIANTS),
                         [](const testing::TestParamInfo<Variant>& param) {
                             return std::string(param.param.name);
                         });

// The elementwise sums of every variant against the scalar loop: each shape
// with both terms, one (the other +0.0, still added), none, and in place.
struct SumVariant {
    const char* name;
    KernelIsa isa;
    strassen::detail::SumFn fn;
};
const SumVariant SUM_VARIANTS[] = {
    {"sse2", KernelIsa::sse2, strassen::detail::sum_elements_sse2},
    {"avx2", KernelIsa::avx2, strassen::detail::sum_elements_avx2},
    {"avx512", KernelIsa::avx512, strassen::detail::sum_elements_avx512},
};
void PrintTo(const SumVariant& v, std::ostream* out) { *out << v.name; }

class ElementwiseSums : public OnThisCpu<SumVariant> {};

TEST_P(ElementwiseSums, EqualTheScalarLoop) {
    const strassen::detail::SumFn fn = GetParam().fn;
    Special draw{Ordinary{std::mt19937_64{6}}};
    for (std::size_t rows : {1u, 2u, 5u})
        for (std::size_t cols = 0; cols <= 19; ++cols)
            for (unsigned terms = 0; terms < 5; ++terms)  // 4: out is x itself
                for (bool subtract : {false, true}) {
                    const std::size_t ld = cols + terms % 3, size = rows * ld;
                    std::vector<double> x(size), y(size), got(size, from_bits(SENTINEL));
                    for (double* v : {x.data(), y.data()})
                        for (std::size_t e = 0; e < size; ++e) v[e] = draw();
                    const bool in_place = terms == 4;
                    if (in_place) got = x;
                    std::vector<double> want(got);
                    const double* xp = in_place ? got.data() : terms & 1 ? x.data() : nullptr;
                    const double* yp = terms & 2 || in_place ? y.data() : nullptr;
                    for (std::size_t i = 0; i < rows; ++i)
                        for (std::size_t j = 0; j < cols; ++j) {
                            const double a = xp != nullptr ? x[i * ld + j] : 0.0;
                            const double b = yp != nullptr ? y[i * ld + j] : 0.0;
                            want[i * ld + j] = subtract ? a - b : a + b;
                        }
                    fn(got.data(), ld, xp, ld, yp, ld, rows, cols, subtract);
                    for (std::size_t e = 0; e < size; ++e)
                        ASSERT_EQ(bits(got[e]), bits(want[e]))
                            << rows << "x" << cols << " terms " << terms << " subtract "
                            << subtract << " at " << e;
                }
}

INSTANTIATE_TEST_SUITE_P(, ElementwiseSums, testing::ValuesIn(SUM_VARIANTS),
                         [](const testing::TestParamInfo<SumVariant>& param) {
                             return std::string(param.param.name);
                         });

TEST(KernelDispatch, SelectsTheMostPreferredSupportedVariant) {
    using strassen::detail::kernel_supported;
    const KernelIsa chosen = strassen::detail::kernel_selected();
    EXPECT_TRUE(kernel_supported(chosen));
    EXPECT_TRUE(kernel_supported(KernelIsa::sse2));
    for (const Variant& v : VARIANTS)
        if (v.isa > chosen) {
            EXPECT_FALSE(kernel_supported(v.isa)) << v.name;
        }
}

TEST(KernelDispatch, EqualsTheReference) {
    Special draw{Ordinary{std::mt19937_64{4}}};
    for (std::size_t side : {1u, 7u, 64u})
        for (bool column_major : {false, true})
            ASSERT_TRUE(Case(side, side, side, 3, draw, column_major)
                            .check(strassen::kernel_mult_strided));
}

// One column goes across the rows, eight per call, the rest by the variant.
TEST(KernelDispatch, OneColumnEqualsTheReference) {
    Special draw{Ordinary{std::mt19937_64{5}}};
    for (std::size_t m = 1; m <= 41; ++m)
        for (std::size_t k : DEPTHS)
            for (std::size_t extra : {std::size_t{0}, std::size_t{3}})
                ASSERT_TRUE(Case(m, 1, k, extra, draw).check(strassen::kernel_mult_strided));
}

}  // namespace
